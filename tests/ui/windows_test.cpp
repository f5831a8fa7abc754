#include <gtest/gtest.h>

#include <QAccessible>
#include <QFontInfo>
#include <QIcon>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <tuple>

#include "desktop_fakes.h"
#include "page_bytes.h"
#include "ui/instructions_window.h"
#include "ui/main_window.h"
#include "ui/progress_dialog.h"

namespace kestrun::testing {
namespace {

const EventLog kCompletedRun{"open", "bytes", "newPage", "endDocument", "abortDocument", "close"};
const std::string kExitQuestion = "ask 退出确认|确认要退出程序吗？";

// WCAG's contrast ratio of two colours.
double contrast(QRgb a, QRgb b) {
    const auto luminance = [](QRgb c) {
        const auto linear = [](int v) {
            return v <= 10 ? v / 255.0 / 12.92 : std::pow((v / 255.0 + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(qRed(c)) + 0.7152 * linear(qGreen(c)) + 0.0722 * linear(qBlue(c));
    };
    const double x = luminance(a), y = luminance(b);
    return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
}

// Both windows as the user meets them, the main one active, over fake services.
class WindowsTest : public ::testing::Test {
protected:
    EventLog log;
    RecordingPort port{log};
    RecordingPrinter printer{log};
    FakeDesktop desktop{log};
    MainWindow main{{port, printer, desktop, desktop, desktop}};
    InstructionsWindow instructions;

    void SetUp() override {
        instructions.show();
        main.show();
        main.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&main));
    }
    template <typename T = QPushButton>
    T* part(QWidget& window, const char* name) {
        return window.findChild<T*>(QString::fromLatin1(name));
    }
    // Runs the application's own event loop, as main() does, with `action` as its first event.
    // Returns the loop's exit code, or -1 when nothing ended the loop within ten seconds.
    int execWith(std::function<void()> action) {
        QTimer::singleShot(0, &main, std::move(action));
        QTimer::singleShot(10000, &main, [] { QCoreApplication::exit(-1); });
        return QApplication::exec();
    }
};

TEST_F(WindowsTest, EveryTextReadsDarkOnItsLightGroundUnderADarkDesktopPalette) {
    // Dark grounds and light grey text for every kind of widget, as a dark desktop style has.
    const QPalette saved = QApplication::palette();
    const QColor text(220, 220, 220), ground(40, 40, 40), button(53, 53, 53);
    QPalette dark(text, button, button.lighter(), ground, ground, text, Qt::white, ground, ground);
    dark.setColor(QPalette::ButtonText, text);
    const auto setEverywhere = [](const QPalette& palette) {
        for (const char* kind : {"QLabel", "QPushButton", "QDialog", "QWidget"}) {
            QApplication::setPalette(palette, kind);
        }
        QApplication::setPalette(palette);
    };
    setEverywhere(dark);
    std::vector<QWidget*> texts;
    for (QWidget* window : {static_cast<QWidget*>(&main), static_cast<QWidget*>(&instructions)}) {
        for (QWidget* widget : window->findChildren<QWidget*>()) {
            if (!widget->property("text").toString().isEmpty()) {
                texts.push_back(widget);
            }
        }
    }
    ASSERT_EQ(texts.size(), 12u);
    for (QWidget* widget : texts) {
        // Drawn with and without its text (and the 9-pin picture, which moves with the text but
        // is not under it): the pixels that differ are the text. The one that differs most from
        // its ground gives the text's colour, which must stand out on every pixel of ground it
        // covers.
        const QVariant text = widget->property("text"), icon = widget->property("icon");
        widget->setProperty("icon", QIcon());
        const QImage with = widget->window()->grab(widget->geometry()).toImage();
        widget->setProperty("text", QString());
        const QImage without = widget->window()->grab(widget->geometry()).toImage();
        widget->setProperty("text", text);
        widget->setProperty("icon", icon);
        QRgb ink = 0;
        double strongest = 0, worst = 21;
        for (int pass = 0; pass < 2; ++pass) {
            for (int y = 0; y < with.height(); ++y) {
                for (int x = 0; x < with.width(); ++x) {
                    const QRgb drawn = with.pixel(x, y), ground = without.pixel(x, y);
                    if (drawn != ground && pass == 0 && contrast(drawn, ground) > strongest) {
                        strongest = contrast(drawn, ground);
                        ink = drawn;
                    } else if (drawn != ground && pass == 1) {
                        worst = std::min(worst, contrast(ink, ground));
                    }
                }
            }
        }
        EXPECT_GE(worst, 4.5) << widget->objectName().toStdString() << " "
                              << text.toString().toStdString();
    }
    // The credit's own box stays white, as the layout has it.
    const QImage credit = main.grab(part<QLabel>(main, "Label2")->geometry()).toImage();
    EXPECT_EQ(credit.pixel(1, 1), qRgb(255, 255, 255));
    setEverywhere(saved);
}

// Each label's whole text, wrapped as Qt lays it out in the label, fits the label, in a face that
// is installed, at the size the layout asks for: the program picks a face that fits.
TEST_F(WindowsTest, EveryLabelShowsItsWholeTextAtTheLayoutsSize) {
    QList<QLabel*> labels = instructions.findChildren<QLabel*>();
    labels.push_back(part<QLabel>(main, "Label2"));
    ASSERT_EQ(labels.size(), 7u);
    for (QLabel* label : labels) {
        const std::string name = label->objectName().toStdString();
        const QFontInfo face(label->font());
        EXPECT_EQ(face.family().compare(label->font().family(), Qt::CaseInsensitive), 0)
            << name << ": " << face.family().toStdString() << " is not what it asked for";
        EXPECT_EQ(label->font().pointSizeF(), label->window() == &main ? 14.25 : 10.5) << name;
        EXPECT_TRUE(face.bold()) << name;
        EXPECT_LE(label->heightForWidth(label->width()), label->height()) << name;
        EXPECT_TRUE(label->wordWrap() || label->sizeHint().width() <= label->width()) << name;
    }
}

TEST_F(WindowsTest, ScreenReadersHearWhatEachPartIsInChinese) {
    const auto chinese = [](const QString& text) {
        return std::any_of(text.begin(), text.end(), [](QChar c) { return c.unicode() >= 0x4e00; });
    };
    ProgressDialog progress(nullptr, [] {});
    std::vector<std::pair<QWidget*, QAccessible::Role>> parts = {
        {&main, QAccessible::Window},
        {&instructions, QAccessible::Dialog},
        {&progress, QAccessible::Dialog},
        {part<QLabel>(main, "Picture2"), QAccessible::Graphic}};
    for (QPushButton* button : main.findChildren<QPushButton*>()) {
        parts.emplace_back(button, QAccessible::Button);
    }
    for (const auto& [widget, role] : parts) {
        QAccessibleInterface* reader = QAccessible::queryAccessibleInterface(widget);
        EXPECT_EQ(reader->role(), role) << widget->objectName().toStdString();
        EXPECT_TRUE(chinese(reader->text(QAccessible::Name))) << widget->objectName().toStdString();
        EXPECT_TRUE(chinese(reader->text(QAccessible::Description)))
            << widget->objectName().toStdString();
    }
    // The 9-pin button's picture only decorates: the name is the caption alone.
    EXPECT_EQ(
        QAccessible::queryAccessibleInterface(part(main, "Command1"))->text(QAccessible::Name),
        QStringLiteral("9针测试"));
}

// On a screen with twice the pixels (ctest runs this with QT_SCALE_FACTOR=2 too) the pictures
// come from their 2x renders, at the same size in device-independent pixels.
TEST_F(WindowsTest, PicturesUseTheRenderForTheScreensPixelDensity) {
    const qreal ratio = main.devicePixelRatioF();
    const QString banner = ratio > 1 ? ":/images/banner@2x.jpg" : ":/images/banner.jpg";
    for (QWidget* window : {static_cast<QWidget*>(&main), static_cast<QWidget*>(&instructions)}) {
        const QImage drawn = window->grab(QRect(0, 0, 30, 30)).toImage();
        EXPECT_EQ(drawn.convertToFormat(QImage::Format_RGB32),
                  QImage(banner).copy(drawn.rect()).convertToFormat(QImage::Format_RGB32));
    }
    const QPixmap logo = part<QLabel>(main, "Picture2")->pixmap();
    EXPECT_EQ(logo.devicePixelRatio(), ratio);
    EXPECT_EQ(logo.deviceIndependentSize(), QSizeF(163, 51));
    const QPushButton* ninePin = part(main, "Command1");
    EXPECT_EQ(ninePin->icon().pixmap(ninePin->iconSize(), ratio).size(),
              ninePin->iconSize() * ratio);
}

TEST_F(WindowsTest, TwelfthModelStartsANewLineIndentedByOneBlank) {
    auto* models = part<QLabel>(instructions, "Label3");
    const QString text = models->text();
    const QStringList lines = text.split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0].split(u' ').size(), 11);
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

// A click, and Space, Enter and keypad Enter through the window onto the focused button, each run
// that button's command and nothing else.
TEST_F(WindowsTest, EachButtonRunsItsOwnCommandByMouseAndByKeyboard) {
    std::set<QWidget*> shown;
    ModalWatcher watcher([&](QWidget* modal) {
        shown.insert(modal);
        log.push_back("modal " + modal->windowTitle().toStdString());
        EXPECT_EQ(modal->windowModality(), Qt::ApplicationModal);
        modal->close();
    });
    const Bytes nine = pageBytes(NinePin), twentyFour = pageBytes(TwentyFourPin), none;
    const std::tuple<const char*, EventLog, const Bytes&> buttons[] = {
        {"Command1", kCompletedRun, nine},
        {"Command2", kCompletedRun, twentyFour},
        {"Command3", {kExitQuestion}, none},
        {"Command4", {std::string("url ") + kMakerSiteUrl}, none},
        {"Command5", {"modal 使用说明"}, none},
    };
    for (const auto& [name, effects, page] : buttons) {
        for (Qt::Key key : {Qt::Key_unknown, Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter}) {
            log.clear();
            port.received.clear();
            part(main, name)->setFocus();
            if (key == Qt::Key_unknown) {
                QTest::mouseClick(part(main, name), Qt::LeftButton);
            } else {
                QTest::keyClick(main.windowHandle(), key,
                                key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
            }
            EXPECT_EQ(log, effects) << name << " by key " << key;
            EXPECT_EQ(port.received, page) << name << " by key " << key;
        }
    }
    EXPECT_EQ(shown.size(), 1u) << "the instructions window is made once and kept";
}

TEST_F(WindowsTest, FailuresShowTheirErrorNumberAndTheNextTestOpensThePortAgain) {
    port.failOpen = PortError(PortError::Kind::Busy, EBUSY, "打印机端口正被别的程序占用。");
    part(main, "Command2")->click();
    desktop.urlFailure = UrlOpenError(0, "无法打开网址。");  // no system error number: none shown
    part(main, "Command4")->click();
    port.failOpen.reset();
    part(main, "Command1")->click();
    EventLog expected{"open", "error Kestrun|打印机端口正被别的程序占用。\n\n错误号：16",
                      "error Kestrun|无法打开网址。"};
    expected.insert(expected.end(), kCompletedRun.begin(), kCompletedRun.end());
    EXPECT_EQ(log, expected);
    EXPECT_EQ(port.received, pageBytes(NinePin));
}

// A printer that takes nothing: the dialog tells why and how much is to come; until the test ends,
// nothing reaches the main window, not even later; Esc stops it and the user learns what to do.
TEST_F(WindowsTest, StalledTestTakesNoOtherInputAndEscStopsItWithAdvice) {
    port.stallWrites = std::numeric_limits<int>::max();
    port.reportedStatus = PortStatus{.offline = true};
    QString advice, bar;
    QTimer::singleShot(0, &main, [&] {
        const auto clickAsked = [this] {  // the exit button, through the window and queued
            const QPoint at = part(main, "Command3")->geometry().center();
            QTest::mouseClick(main.windowHandle(), Qt::LeftButton, Qt::NoModifier, at);
            QTest::keyClick(main.windowHandle(), Qt::Key_Space);
            for (auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
                QCoreApplication::postEvent(
                    main.windowHandle(),
                    new QMouseEvent(
                        type, at, main.mapToGlobal(at), Qt::LeftButton,
                        type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                        Qt::NoModifier));
            }
        };
        part(main, "Command3")->setFocus();
        clickAsked();  // before the dialog shows
        QLabel* status = nullptr;
        EXPECT_TRUE(QTest::qWaitFor([&] {
            QWidget* dialog = QApplication::activeModalWidget();
            status = dialog ? part<QLabel>(*dialog, "status") : nullptr;
            return status != nullptr && status->isVisible();
        }));
        ASSERT_NE(status, nullptr) << "no progress dialog";
        clickAsked();
        advice = status->text();
        bar = part<QProgressBar>(*status->window(), "progress")->text();
        QTest::keyClick(status->window(), Qt::Key_Escape);
    });
    // Should Esc not stop it, the port takes the page after a while and the test fails.
    QTimer::singleShot(5000, &main, [this] { port.stallWrites = 0; });
    part(main, "Command2")->click();
    QCoreApplication::processEvents();
    EXPECT_EQ(advice.toStdString(), describePortStatus(PortStatus{.offline = true}));
    EXPECT_EQ(bar, QStringLiteral("已发送 0 / %1 字节").arg(pageBytes(TwentyFourPin).size()));
    ASSERT_EQ(log.size(), 3u) << "a second command ran, or the printer was called";
    EXPECT_EQ(log[1], "close");
    EXPECT_NE(log[2].find("info Kestrun|测试已取消。"), std::string::npos) << log[2];
    EXPECT_NE(log[2].find("关闭打印机电源"), std::string::npos);
}

TEST_F(WindowsTest, OnlyYesToTheExitQuestionOrClosingTheWindowEndsTheProgram) {
    // Had No ended the program, the loop would stop before the event posted after the click ran.
    // It is posted to an object of the test's own, so it cannot outlive the test.
    QObject scope;
    EXPECT_EQ(execWith([&] {
                  part(main, "Command3")->click();
                  QMetaObject::invokeMethod(
                      &scope, [] { QCoreApplication::exit(7); }, Qt::QueuedConnection);
              }),
              7);
    EXPECT_TRUE(main.isVisible());
    desktop.answer = QuestionBox::Answer::Yes;
    EXPECT_EQ(execWith([this] { part(main, "Command3")->click(); }), 0);
    // Closing the main window ends the program too (the instructions window is modal in use),
    // without a question.
    instructions.hide();
    EXPECT_EQ(execWith([this] { main.close(); }), 0);
    EXPECT_EQ(log, (EventLog{kExitQuestion, kExitQuestion}));
}

TEST_F(WindowsTest, FocusStartsOnTheTwentyFourPinTestShowsAndTabFollowsTheLayout) {
    std::vector<QString> order;
    for (int i = 0; i < 6; ++i) {
        QWidget* focused = QApplication::focusWidget();
        order.push_back(focused->objectName());
        const QImage withFocus = focused->grab().toImage();
        QTest::keyClick(main.windowHandle(), Qt::Key_Tab);
        EXPECT_NE(focused->grab().toImage(), withFocus) << order.back().toStdString();
    }
    EXPECT_EQ(order, (std::vector<QString>{"Command2", "Command3", "Command1", "Command4",
                                           "Command5", "Command2"}));
}

}  // namespace
}  // namespace kestrun::testing
