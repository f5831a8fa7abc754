#pragma once

#include <QRect>

namespace kestrun {

// The window layouts are measured in twips, drawn at 15 twips per pixel. The pixels here are
// device-independent: Qt's high-DPI scaling maps them to the screen.
inline constexpr int kTwipsPerPixel = 15;

constexpr int twipsToPixels(int twips) {
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}

constexpr QRect twipsRect(int left, int top, int width, int height) {
    return QRect(twipsToPixels(left), twipsToPixels(top), twipsToPixels(width),
                 twipsToPixels(height));
}

}  // namespace kestrun
