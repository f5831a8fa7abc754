#include "ui/instructions_window.h"

#include <gtest/gtest.h>

#include <QFontInfo>
#include <QImage>
#include <QLabel>
#include <QStringList>
#include <utility>

#include "ui/fonts.h"

namespace kestrun::testing {
namespace {

TEST(InstructionsWindow, TwelfthModelStartsANewLineIndentedByOneBlank) {
    InstructionsWindow window;
    window.show();
    auto* models = window.findChild<QLabel*>(QStringLiteral("Label3"));
    ASSERT_NE(models, nullptr);
    const QString text = models->text();

    const QStringList lines = text.split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0].split(u' ').size(), 11);
    EXPECT_FALSE(lines[0].endsWith(u' '));
    EXPECT_TRUE(lines[1].startsWith(u' ') && !lines[1].startsWith(QStringLiteral("  ")));
    EXPECT_TRUE(text.endsWith(QStringLiteral(" ...等等")));

    // Drawn that way too: the CR leaves no mark of its own (a plain line feed draws the same), and
    // both the break and the blank show (the label draws differently without either).
    const QImage drawn = models->grab().toImage();
    const auto drawnWith = [&](const char* from, const char* to) {
        models->setText(QString(text).replace(QString::fromLatin1(from), QString::fromLatin1(to)));
        return models->grab().toImage();
    };
    EXPECT_EQ(drawnWith("\r\n", "\n"), drawn);
    EXPECT_NE(drawnWith("\r\n ", " "), drawn);
    EXPECT_NE(drawnWith("\r\n ", "\n"), drawn);
}

TEST(Fonts, ChineseFamiliesResolveToInstalledFaces) {
    const std::pair<QString, QStringList> cases[] = {
        {kKaiFamily, {QStringLiteral("AR PL UKai CN")}},
        {kSongFamily, {QStringLiteral("AR PL UMing CN")}},
        {kYouYuanFamily, {QStringLiteral("Noto Sans CJK SC"), QStringLiteral("WenQuanYi Zen Hei")}},
    };
    for (const auto& [family, faces] : cases) {
        const QString resolved = QFontInfo(captionFont(family, 10.5)).family();
        EXPECT_TRUE(faces.contains(resolved))
            << family.toStdString() << " resolved to " << resolved.toStdString();
    }
}

}  // namespace
}  // namespace kestrun::testing
