// The windows and the dialogs, over fake system services on Qt's offscreen platform, and the Qt
// implementations of those services.
#include <QSpontaneKeyEvent>
#include <QtTest>
#include <QtWidgets>
#include <fstream>

#include "matchers.h"
#include "page_bytes.h"
#include "platform/qt/qt_message_box.h"
#include "platform/qt/qt_question_box.h"
#include "platform/qt/qt_url_opener.h"
#include "scratch_folder.h"
#include "ui/application.h"
#include "ui/fonts.h"
#include "ui/instructions_window.h"
#include "ui/main_window.h"
#include "ui/progress_dialog.h"
#include "ui/twips.h"

namespace kestrun::support {
namespace {

const EventLog kCompletedRun{"open", "bytes", "newPage", "endDocument", "abortDocument", "close"};
const std::string kExitQuestion = "ask 退出确认|确认要退出程序吗？";

template <typename T = QPushButton>
T* part(const QWidget* window, const char* name) {
    return window->findChild<T*>(name);
}

// The desktop's dialogs and browser, writing what they were asked into the port's and printer's
// log, so a test sees every effect of a command, in order, in one place.
struct FakeDesktop final : QuestionBox, MessageBox, UrlOpener {
    explicit FakeDesktop(EventLog& log) : log(log) {}
    Answer ask(const std::string& title, const std::string& text) override {
        log.push_back("ask " + title + "|" + text);
        return answer;
    }
    void show(Kind kind, const std::string& title, const std::string& text) override {
        log.push_back((kind == Kind::Error ? "error " : "info ") + title + "|" + text);
    }
    void open(const std::string& url) override {
        log.push_back("url " + url);
        if (urlFailure) {
            throw *urlFailure;
        }
    }
    EventLog& log;
    Answer answer = Answer::No;
    std::optional<UrlOpenError> urlFailure;
};

// Hands the next modal window to show while `scope` lives to `handle`, from inside the event
// loop the window runs. `handle` should make it go away; if it is still there five seconds later,
// the test fails and the window is closed, so a wrong answer cannot hang the run.
void whenModal(QObject* scope, std::function<void(QWidget*)> handle) {
    QTimer::singleShot(10, scope, [scope, handle = std::move(handle)] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr) {
            return whenModal(scope, handle);  // not shown yet
        }
        handle(modal);
        if (!QTest::qWaitFor([modal] { return !modal->isVisible(); })) {
            ADD_FAILURE() << modal->windowTitle().toStdString() << " did not go away";
            modal->close();
        }
    });
}

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
class WindowsTest : public Test {
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
    // Runs the application's own event loop, as main() does, with `action` as its first event.
    // Returns the loop's exit code, or -1 when nothing ended the loop within ten seconds.
    int execWith(std::function<void()> action) {
        QTimer::singleShot(0, &main, std::move(action));
        QTimer::singleShot(10000, &main, [] { QCoreApplication::exit(-1); });
        return QApplication::exec();
    }
};

// Every control of both windows where the layout puts it (in twips), with its caption, in a bold
// face of the layout's size that is installed: the one asked for, or the stand-in the program
// picked for it. A label's text, wrapped as Qt lays it out, fits the label. The instructions list
// eleven models on a line, then CR LF and one blank, the rest, and "等等" last.
TEST_F(WindowsTest, EveryControlHasItsCaptionPlaceAndFaceFromTheLayout) {
    EXPECT_EQ(main.size(), QSize(639, 287));
    EXPECT_EQ(instructions.size(), QSize(713, 292));
    const QString kai = kKaiFamily, song = kSongFamily, round = kYouYuanFamily, none;
    QWidget* const m = &main;
    QWidget* const i = &instructions;
    // Captions left out are a picture, and the model list.
    // clang-format off
    const std::tuple<QWidget*, const char*, const char*, QRect, QString, qreal> controls[] = {
        {m, "Command2", "24针测试", {3720, 2760, 1695, 495}, kai, 14.25},
        {m, "Command3", "退出", {6360, 2760, 1215, 495}, kai, 14.25},
        {m, "Command1", "9针测试", {1320, 2760, 1575, 495}, kai, 14.25},
        {m, "Label2", "  Bemro制作", {3840, 3720, 1935, 375}, kai, 14.25},
        {m, "Picture2", nullptr, {480, 600, 2535, 855}, none, 0},
        {m, "Command4", "进入Vorna官网", {7920, 3720, 1455, 495}, song, 9},
        {m, "Command5", "使用说明", {120, 3840, 1095, 375}, song, 10.5},
        {i, "Label1", "首先感谢您对本软件的支持", {960, 240, 3255, 255}, song, 10.5},
        {i, "Label2", "24针机型:", {960, 720, 1095, 375}, song, 10.5},
        {i, "Label3", nullptr, {2160, 720, 3255, 2655}, round, 10.5},
        {i, "Label4", "9针机型:", {960, 3480, 1095, 375}, song, 10.5},
        {i, "Label5", "VD-910 VD-920 VD-930 VD-950", {2160, 3480, 3375, 375}, round, 10.5},
        {i, "Label6", "请您务必连接打印机，并安装打印机驱动", {960, 3960, 4335, 375}, round, 10.5},
    };
    // clang-format on
    for (const auto& [window, name, caption, t, face, points] : controls) {
        const auto* control = window->findChild<QWidget*>(name);
        ASSERT_NE(control, nullptr) << name;
        EXPECT_EQ(control->geometry(), twipsRect(t.x(), t.y(), t.width(), t.height())) << name;
        if (caption != nullptr) {
            EXPECT_EQ(control->property("text").toString(), QString::fromUtf8(caption)) << name;
        }
        if (points == 0) {
            continue;
        }
        const QString drawnIn = QFontInfo(control->font()).family();
        EXPECT_TRUE(drawnIn == face ||
                    QFont::substitutes(face).contains(drawnIn, Qt::CaseInsensitive))
            << name << ": " << drawnIn.toStdString();
        EXPECT_EQ(control->font().pointSizeF(), points) << name;
        EXPECT_TRUE(control->font().bold()) << name;
        if (const auto* label = qobject_cast<const QLabel*>(control)) {
            EXPECT_LE(label->heightForWidth(label->width()), label->height()) << name;
            EXPECT_TRUE(label->wordWrap() || label->sizeHint().width() <= label->width()) << name;
        }
    }
    auto* models = part<QLabel>(&instructions, "Label3");
    const QString text = models->text();
    EXPECT_TRUE(text.contains(QRegularExpression("^(\\S+ ){10}\\S+\r\n \\S[^\r]* \\.\\.\\.等等$")));
    // Drawn as it reads: the CR leaves no mark of its own.
    const QImage drawn = models->grab().toImage();
    models->setText(QString(text).replace("\r\n", "\n"));
    EXPECT_EQ(models->grab().toImage(), drawn);
}

// Every text reads dark on its light ground, even under a dark desktop palette. Each is drawn with
// and without its text (and without the 9-pin picture): the pixels that differ are the text, and
// the one that stands out most from its ground stands out enough.
TEST_F(WindowsTest, EveryTextReadsDarkOnItsLightGroundUnderADarkDesktopPalette) {
    const QPalette saved = QApplication::palette();
    for (const char* kind : {"QLabel", "QPushButton", "QWidget"}) {
        QApplication::setPalette(QPalette(QColor(53, 53, 53), QColor(40, 40, 40)), kind);
    }
    QWidgetList texts = main.findChildren<QWidget*>() + instructions.findChildren<QWidget*>();
    texts.removeIf([](QWidget* widget) { return widget->property("text").toString().isEmpty(); });
    EXPECT_EQ(texts.size(), 12);
    for (QWidget* widget : texts) {
        const QVariant text = widget->property("text"), icon = widget->property("icon");
        widget->setProperty("icon", QIcon());
        const QImage with = widget->window()->grab(widget->geometry()).toImage();
        widget->setProperty("text", QString());
        const QImage without = widget->window()->grab(widget->geometry()).toImage();
        widget->setProperty("text", text);
        widget->setProperty("icon", icon);
        double most = 1;
        for (int y = 0; y < with.height(); ++y) {
            for (int x = 0; x < with.width(); ++x) {
                most = std::max(most, contrast(with.pixel(x, y), without.pixel(x, y)));
            }
        }
        EXPECT_GE(most, 4.5) << widget->objectName().toStdString();
    }
    // The credit's own box stays white, as the layout has it.
    EXPECT_EQ(main.grab(part<QLabel>(&main, "Label2")->geometry()).toImage().pixel(1, 1),
              qRgb(255, 255, 255));
    for (const char* kind : {"QLabel", "QPushButton", "QWidget"}) {
        QApplication::setPalette(saved, kind);
    }
}

// Screen readers hear in Chinese what each window, button and picture is.
TEST_F(WindowsTest, ScreenReadersHearWhatEachPartIsInChinese) {
    ProgressDialog progress(nullptr, [] {});
    QWidgetList parts{&main, &instructions, &progress};
    parts += main.findChildren<QWidget*>(QRegularExpression("^(Command.|Picture2)$"));
    for (QWidget* widget : parts) {
        QAccessibleInterface* reader = QAccessible::queryAccessibleInterface(widget);
        const QString said =
            reader->text(QAccessible::Name) + "|" + reader->text(QAccessible::Description);
        EXPECT_TRUE(said.contains(QRegularExpression("\\p{Han}.*\\|.*\\p{Han}")))
            << said.toStdString();
    }
    // A window, not a plain widget that readers skip as filler.
    EXPECT_EQ(QAccessible::queryAccessibleInterface(&main)->role(), QAccessible::Window);
}

// On a screen with twice the pixels (ctest runs this with QT_SCALE_FACTOR=2 too) the pictures
// come from their 2x renders, at the same size in device-independent pixels.
TEST_F(WindowsTest, PicturesSuitTheScreen) {
    const qreal ratio = main.devicePixelRatioF();
    const QImage banner(ratio > 1 ? ":/images/banner@2x.jpg" : ":/images/banner.jpg");
    for (QWidget* window : QWidgetList{&main, &instructions}) {
        const QImage drawn = window->grab(QRect(0, 0, 30, 30)).toImage();
        EXPECT_EQ(drawn.convertToFormat(QImage::Format_RGB32),
                  banner.copy(drawn.rect()).convertToFormat(QImage::Format_RGB32));
    }
    const QPixmap logo = part<QLabel>(&main, "Picture2")->pixmap();
    EXPECT_EQ(logo.devicePixelRatio(), ratio);
    EXPECT_EQ(logo.deviceIndependentSize(), QSizeF(163, 51));
    const QPushButton* ninePin = part(&main, "Command1");
    EXPECT_EQ(ninePin->icon().pixmap(ninePin->iconSize(), ratio).size(),
              ninePin->iconSize() * ratio);
}

// Focus starts on the 24-pin test, shows, and Tab moves it in the layout's order. A click, and
// Space, Enter and keypad Enter through the window onto the focused button, each run that button's
// command and nothing else. The instructions window is modal and made only once.
TEST_F(WindowsTest, TabReachesEachButtonInTurnAndMouseOrKeysRunItsOwnCommand) {
    std::set<QWidget*> shown;
    const Bytes nine = pageBytes(NinePin), twentyFour = pageBytes(TwentyFourPin), none;
    const std::tuple<const char*, EventLog, const Bytes&> buttons[] = {
        {"Command2", kCompletedRun, twentyFour},
        {"Command3", {kExitQuestion}, none},
        {"Command1", kCompletedRun, nine},
        {"Command4", {std::string("url ") + kMakerSiteUrl}, none},
        {"Command5", {"modal 使用说明"}, none},
    };
    for (const auto& [name, effects, page] : buttons) {
        QWidget* focused = QApplication::focusWidget();
        ASSERT_EQ(focused->objectName(), name);
        for (Qt::Key key : {Qt::Key_unknown, Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter}) {
            log.clear();
            port.received.clear();
            QObject scope;  // a window that shows at once, even a progress dialog, is logged
            whenModal(&scope, [&](QWidget* modal) {
                shown.insert(modal);
                log.push_back("modal " + modal->windowTitle().toStdString());
                EXPECT_EQ(modal->windowModality(), Qt::ApplicationModal);
                modal->close();
            });
            const auto modifier = key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier;
            key == Qt::Key_unknown ? QTest::mouseClick(focused, Qt::LeftButton)
                                   : QTest::keyClick(main.windowHandle(), key, modifier);
            EXPECT_EQ(log, effects) << name << " by key " << key;
            EXPECT_EQ(port.received, page) << name << " by key " << key;
        }
        main.activateWindow();  // the instructions window, once closed, leaves it inactive
        ASSERT_TRUE(QTest::qWaitForWindowActive(&main));
        const QImage withFocus = focused->grab().toImage();
        QTest::keyClick(main.windowHandle(), Qt::Key_Tab);
        EXPECT_NE(focused->grab().toImage(), withFocus) << name << ": the focus does not show";
    }
    EXPECT_EQ(QApplication::focusWidget()->objectName(), "Command2");
    EXPECT_EQ(shown.size(), 1u) << "the instructions window is made once and kept";
}

// A failure ends the command at its step, with the port closed, and is shown with its error
// number where the system gave one; not even a failure outside the program's own escapes the
// job's thread. The next test is whole again.
TEST_F(WindowsTest, FailuresEndTheCommandAtTheirStepAndShowTheirErrorNumber) {
    const auto breakTheDriver = [&] {
        port.takes = {0};
        port.idle = [](auto) { throw std::length_error("broken driver"); };
    };
    const auto unplugMidPage = [&] { port.takes.assign({100, RecordingPort::kFail}); };
    const std::tuple<const char*, std::function<void()>, EventLog> cases[] = {
        {"Command2",
         [&] { port.failOpen = PortError(PortError::Kind::Busy, EBUSY, "占用。"); },
         {"open", "error Kestrun|占用。\n\n错误号：16"}},
        {"Command2",
         breakTheDriver,
         {"open", "close", "error Kestrun|测试意外中止（broken driver）。请重新测试。"}},
        {"Command1",
         unplugMidPage,
         {"open", "bytes", "write failed", "close", "error Kestrun|unplugged\n\n错误号：5"}},
        {"Command1",
         [&] { printer.failOn = "newPage"; },
         {"open", "bytes", "newPage", "close", "error Kestrun|no default printer"}},
        {"Command1",
         [&] { printer.failOn = "abortDocument"; },
         {"open", "bytes", "newPage", "endDocument", "abortDocument", "close",
          "error Kestrun|no default printer"}},
        {"Command4",
         [&] { desktop.urlFailure = UrlOpenError(0, "无法打开网址。"); },
         {std::string("url ") + kMakerSiteUrl, "error Kestrun|无法打开网址。"}},
    };
    const auto sleeps = port.idle;
    for (const auto& [button, fail, expected] : cases) {
        log.clear();
        fail();
        part(&main, button)->click();
        EXPECT_EQ(log, expected) << button;
        port.failOpen.reset();
        port.idle = sleeps;
        printer.failOn.reset();
        desktop.urlFailure.reset();
    }
    log.clear();
    port.received.clear();
    part(&main, "Command1")->click();
    EXPECT_EQ(log, kCompletedRun);
    EXPECT_EQ(port.received, pageBytes(NinePin));
}

// A printer that takes nothing: the dialog tells why and how much is to come, and drops the advice
// once bytes flow again; until the test ends, nothing reaches the main window, not even later; Esc
// stops it and the user learns what to do.
TEST_F(WindowsTest, StalledTestTakesNoOtherInputAndEscStopsItWithAdvice) {
    using P = RecordingPort;  // a second's stall, a line, then stalls till the script runs out
    port.takes = {P::kStall, P::kStall, 6, P::kStall, P::kStall, P::kStall, P::kStall, P::kStall};
    port.reportedStatus = PortStatus{.offline = true};
    QTimer::singleShot(0, &main, [&] {
        // The frame's close button, and the exit button, through the window and queued.
        const auto clickAsked = [this] {
            QCloseEvent close;
            QSpontaneKeyEvent::setSpontaneous(&close);
            qApp->notify(main.windowHandle(), &close);  // as the window system delivers it
            const QPoint at = part(&main, "Command3")->geometry().center();
            QTest::mouseClick(main.windowHandle(), Qt::LeftButton, Qt::NoModifier, at);
            QTest::keyClick(main.windowHandle(), Qt::Key_Space);
            for (auto [type, held] : {std::pair{QEvent::MouseButtonPress, Qt::LeftButton},
                                      {QEvent::MouseButtonRelease, Qt::NoButton}}) {
                QCoreApplication::postEvent(main.windowHandle(),
                                            new QMouseEvent(type, at, main.mapToGlobal(at),
                                                            Qt::LeftButton, held, Qt::NoModifier));
            }
        };
        part(&main, "Command3")->setFocus();
        clickAsked();  // before the dialog shows
        QLabel* status = nullptr;
        const auto adviceShown = [&] {
            QWidget* dialog = QApplication::activeModalWidget();
            status = dialog ? part<QLabel>(dialog, "status") : nullptr;
            return status != nullptr && status->isVisible();
        };
        EXPECT_TRUE(QTest::qWaitFor(adviceShown));
        ASSERT_NE(status, nullptr) << "no progress dialog";
        clickAsked();
        EXPECT_EQ(status->text(), stallAdvice(PortStatus{.offline = true}));
        const auto* progress = part<QProgressBar>(status->window(), "progress");
        EXPECT_EQ(progress->text(),
                  QString("已发送 0 / %1 字节").arg(pageBytes(TwentyFourPin).size()));
        EXPECT_TRUE(QTest::qWaitFor([&] { return progress->value() == 6; }));
        EXPECT_FALSE(status->isVisible()) << "the advice stays while the page flows again";
        EXPECT_TRUE(QTest::qWaitFor(adviceShown)) << "the printer stalls again";
        QTest::keyClick(status->window(), Qt::Key_Escape);
    });
    // Should Esc not stop it, the port takes the page once the script ends and the test fails.
    part(&main, "Command2")->click();
    QCoreApplication::processEvents();
    // No second command ran, the window is still there, and the printer was not called.
    EXPECT_TRUE(main.isVisible());
    EXPECT_THAT(log, ElementsAre("open", "bytes", "close",
                                 AllOf(StartsWith("info Kestrun|测试已取消。"),
                                       HasSubstr("关闭打印机电源"))));
}

TEST_F(WindowsTest, OnlyYesToTheExitQuestionOrClosingTheWindowEndsTheProgram) {
    // Had No ended the program, the loop would stop before the event posted after the click ran.
    // It is posted to an object of the test's own, so it cannot outlive the test.
    QObject scope;
    EXPECT_EQ(execWith([&] {
                  part(&main, "Command3")->click();
                  QMetaObject::invokeMethod(
                      &scope, [] { QCoreApplication::exit(7); }, Qt::QueuedConnection);
              }),
              7);
    EXPECT_TRUE(main.isVisible());
    desktop.answer = QuestionBox::Answer::Yes;
    EXPECT_EQ(execWith([this] { part(&main, "Command3")->click(); }), 0);
    // Closing the main window ends the program too (the instructions window is modal in use),
    // without a question.
    instructions.hide();
    EXPECT_EQ(execWith([this] { main.close(); }), 0);
    EXPECT_EQ(log, (EventLog{kExitQuestion, kExitQuestion}));
}

// What the dialog shows for each state of the job, reached from the one before: advice while the
// printer takes nothing, which names each cause it reports; Cancel until the page is out, since
// then it would only leave the sheet in the printer. Cancel or Esc asks the job to stop once, and
// the dialog stays until the job has.
TEST(ProgressDialog, ShowsTheJobsStateAndAsksItToStopOnce) {
    const QRegularExpression none("^$"), general("开机.*联机.*纸.*电缆"),
        each("^打印机缺纸、脱机、报告故障、忙。请装好打印纸.*联机.*故障灯.*稍候");
    // clang-format off
    const std::tuple<JobView, const char*, QRegularExpression, bool, const char*> rows[] = {
        {{}, "已发送 0 字节", none, true, "^正在停止：打印完当前这一行就停止……$"},
        {{40, 900, true, {}, false, false}, "已发送 40 / 900 字节", general, true, "^正在停止……$"},
        {{40, 900, true, PortStatus{true, true, true, true}, false, false}, "已发送 40 / 900 字节", each, true, "^正在停止……$"},
        {{900, 900, false, {}, true, false}, "已发送 900 / 900 字节", none, false, "^测试页已发送，正在让打印机退纸……$"},
    };
    // clang-format on
    JobView before;
    for (const auto& [view, bar, advice, cancellable, afterStop] : rows) {
        SCOPED_TRACE(bar);
        int stops = 0;
        ProgressDialog dialog(nullptr, [&] { ++stops; });
        dialog.setView(std::exchange(before, view));
        dialog.setView(view);
        dialog.show();
        const auto* status = part<QLabel>(&dialog, "status");
        const auto* message = part<QLabel>(&dialog, "message");
        EXPECT_EQ(message->text() == "正在向打印机发送测试页……", !view.ejecting);
        EXPECT_EQ(part<QProgressBar>(&dialog, "progress")->text(), bar);
        EXPECT_GT(part<QProgressBar>(&dialog, "progress")->maximum(), 0) << "0..0 animates as busy";
        EXPECT_EQ(status->isVisible(), view.stalled);
        EXPECT_TRUE(status->text().contains(advice)) << status->text().toStdString();
        EXPECT_EQ(part(&dialog, "cancel")->isEnabled(), cancellable);
        QTest::mouseClick(part(&dialog, "cancel"), Qt::LeftButton);
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QTest::keyClick(&dialog, Qt::Key_Escape);
        EXPECT_EQ(stops, 1);
        EXPECT_TRUE(message->text().contains(QRegularExpression(afterStop)));
        EXPECT_TRUE(dialog.isVisible()) << "the dialog waits for the job to end";
    }
}

TEST(QtServices, QuestionDefaultsToYesTakesEscapeForNoErrorsShowTheirIconAUrlFailureNamesIt) {
    for (const auto& [key, answer] : {std::pair{Qt::Key_Return, QuestionBox::Answer::Yes},
                                      {Qt::Key_Escape, QuestionBox::Answer::No},
                                      {Qt::Key_N, QuestionBox::Answer::No}}) {
        QObject scope;
        whenModal(&scope, [key = key](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            EXPECT_EQ(box->windowTitle() + "|" + box->text(), "退出确认|确认要退出程序吗？");
            EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
            QTest::keyClick(box, key);
        });
        EXPECT_EQ(QtQuestionBox().ask("退出确认", "确认要退出程序吗？"), answer) << key;
    }
    QString shown;
    QObject scope;
    whenModal(&scope, [&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        shown = box->windowTitle() + "|" + box->text() +
                (box->icon() == QMessageBox::Critical ? "|critical" : "");
        box->accept();
    });
    QtMessageBox().show(MessageBox::Kind::Error, "Kestrun", "端口打不开。\n\n错误号：13");
    EXPECT_EQ(shown, "Kestrun|端口打不开。\n\n错误号：13|critical");
    // The URL goes to xdg-open as its one argument, as given: characters a shell would act on
    // stay characters. Without xdg-open the failure names the URL.
    ScratchFolder bin;
    const std::string url = "http://www.vorna-printers.example/a;b&c=$(mkdir$IFS'" +
                            (bin.path / "made").string() + "')";
    std::ofstream(bin.path / "xdg-open") << "#!/bin/sh\nprintf '%s|' \"$#\" \"$@\" >\"$0.args\"\n";
    std::filesystem::permissions(bin.path / "xdg-open", std::filesystem::perms::owner_all);
    const std::string path = getenv("PATH");
    setenv("PATH", (bin.path.string() + ":" + path).c_str(), 1);
    QtUrlOpener().open(url);
    std::string args;
    EXPECT_TRUE(QTest::qWaitFor([&] {
        std::getline(std::ifstream(bin.path / "xdg-open.args"), args);
        return !args.empty();
    }));
    EXPECT_EQ(args, "1|" + url + "|");
    EXPECT_FALSE(std::filesystem::exists(bin.path / "made"));
    setenv("PATH", bin.path.c_str(), 1);
    std::filesystem::remove(bin.path / "xdg-open");
    EXPECT_THAT([&] { QtUrlOpener().open(url); },
                Throws<UrlOpenError>(FailsWith(0, HasSubstr("无法打开网址 " + url + "："))));
    setenv("PATH", path.c_str(), 1);
}

}  // namespace
}  // namespace kestrun::support

// The windows need one QApplication for the whole run. ctest sets the platform; listing the tests
// at build time runs without it, so default to the offscreen one here as well.
int main(int argc, char* argv[]) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    kestrun::prepareApplication();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
