#include "ui/instructions_window.h"

#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QFontInfo>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QSet>
#include <QStringList>

#include "ui/fonts.h"

namespace kestrun::testing {
namespace {

QLabel* label(const QWidget& window, const char* name) {
    auto* found = window.findChild<QLabel*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
}

QImage asRgb(const QImage& image) {
    return image.convertToFormat(QImage::Format_RGB32);
}

TEST(InstructionsWindow, TwentyFourPinListBreaksAfterTheEleventhName) {
    InstructionsWindow window;
    const QString text = label(window, "Label3")->text();

    const QStringList lines = text.split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0].split(u' ').size(), 11);
    EXPECT_FALSE(lines[0].endsWith(u' '));
    ASSERT_TRUE(lines[1].startsWith(u' '));
    EXPECT_FALSE(lines[1].startsWith(QStringLiteral("  ")));
    EXPECT_TRUE(text.endsWith(QStringLiteral(" ...等等")));

    QString names = text;
    names.replace(QStringLiteral("\r\n "), QStringLiteral(" "));
    names.chop(QStringLiteral(" ...等等").size());
    const QStringList list = names.split(u' ');
    EXPECT_EQ(list.size(), 36);
    EXPECT_EQ(QSet<QString>(list.begin(), list.end()).size(), 35) << "one name appears twice";
    EXPECT_FALSE(list.contains(QString())) << "names are separated by single blanks";
}

TEST(InstructionsWindow, LineBreakIsDrawnAsANewLineIndentedByOneBlank) {
    InstructionsWindow window;
    window.show();
    QLabel* models = label(window, "Label3");
    const QString text = models->text();
    const QImage withCrLf = models->grab().toImage();

    // The same text with a plain line feed, which a label always draws as a new line: the CR must
    // leave no mark of its own (no box glyph, no second line break).
    models->setText(QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    EXPECT_EQ(models->grab().toImage(), withCrLf);

    // And the break is really there: without it the label draws differently.
    models->setText(QString(text).replace(QStringLiteral("\r\n "), QStringLiteral(" ")));
    EXPECT_NE(models->grab().toImage(), withCrLf);

    // The twelfth name starts one blank in from the left edge of the label.
    models->setText(QString(text).replace(QStringLiteral("\r\n "), QStringLiteral("\n")));
    EXPECT_NE(models->grab().toImage(), withCrLf);
}

TEST(InstructionsWindow, LabelsShowTheBannerThrough) {
    InstructionsWindow window;
    window.show();
    const QImage shot = asRgb(window.grab().toImage());
    const QImage banner = asRgb(QImage(QStringLiteral(":/images/banner.jpg")));
    ASSERT_FALSE(banner.isNull());

    for (const char* name : {"Label1", "Label2", "Label3", "Label4", "Label5", "Label6"}) {
        const QRect area = label(window, name)->geometry() & banner.rect();
        int same = 0;
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x) {
                same += shot.pixel(x, y) == banner.pixel(x, y);
            }
        }
        // Glyphs cover the rest; a box of the label's own colour would cover nearly all.
        EXPECT_GT(same * 2, area.width() * area.height()) << name;
    }
}

TEST(InstructionsWindow, EveryLabelKeepsItsTextOnScreen) {
    InstructionsWindow window;
    window.show();
    for (const char* name : {"Label1", "Label2", "Label3", "Label4", "Label5", "Label6"}) {
        QLabel* l = label(window, name);
        const int flags = Qt::AlignLeft | Qt::AlignTop | (l->wordWrap() ? Qt::TextWordWrap : 0);
        const QRect needed = l->fontMetrics().boundingRect(l->contentsRect(), flags, l->text());
        EXPECT_LE(needed.width(), l->width()) << name << " is cut off on the right";
        EXPECT_LE(needed.height(), l->height()) << name << " is cut off at the bottom";
    }
}

TEST(Fonts, ChineseFamiliesResolveToInstalledFaces) {
    const QStringList installed = QFontDatabase::families();
    struct Case {
        QString family;
        QStringList faces;
    };
    const Case cases[] = {
        {kKaiFamily, {QStringLiteral("AR PL UKai CN")}},
        {kSongFamily, {QStringLiteral("AR PL UMing CN")}},
        {kYouYuanFamily, {QStringLiteral("Noto Sans CJK SC"), QStringLiteral("WenQuanYi Zen Hei")}},
    };
    for (const Case& c : cases) {
        QString expected;
        for (const QString& face : c.faces) {
            if (installed.contains(face)) {
                expected = face;
                break;
            }
        }
        if (expected.isEmpty()) {
            ADD_FAILURE() << "none of " << c.faces.join(QStringLiteral(", ")).toStdString()
                          << " is installed";
            continue;
        }
        EXPECT_EQ(QFontInfo(captionFont(c.family, 10.5)).family(), expected)
            << c.family.toStdString();
    }
}

}  // namespace
}  // namespace kestrun::testing
