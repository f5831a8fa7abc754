#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

namespace kestrun {

// Eats user input for every window but `allowed` (and its children) for as long as it lives, and
// the window manager's close button of every window. The progress dialog's modality alone is not
// enough: it appears only after half a second, and until then the main window would take clicks
// and keys that start a second command. Input eaten here is gone for good.
class InputBlocker final : public QObject {
public:
    explicit InputBlocker(QWidget* allowed);
    ~InputBlocker() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool isAllowed(QObject* target) const;

    QPointer<QWidget> allowed_;
};

}  // namespace kestrun
