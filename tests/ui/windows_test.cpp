// The windows and the dialogs, over fake system services on Qt's offscreen platform, and the Qt
// implementations of those services. What the windows show, and what each command does, are
// compared with tests/data/windows.txt and tests/data/commands.txt.
#include <QSpontaneKeyEvent>
#include <QtTest>
#include <QtWidgets>
#include <fstream>

#include "golden.h"
#include "matchers.h"
#include "page_bytes.h"
#include "platform/qt/qt_message_box.h"
#include "platform/qt/qt_question_box.h"
#include "platform/qt/qt_url_opener.h"
#include "scratch_folder.h"
#include "ui/application.h"
#include "ui/instructions_window.h"
#include "ui/main_window.h"
#include "ui/pin_test_job.h"
#include "ui/progress_dialog.h"
#include "ui/twips.h"

namespace kestrun::support {
namespace {

template <typename T = QPushButton>
T* part(const QWidget* window, const char* name) {
    return window->findChild<T*>(name);
}

// A text on one line, its line breaks shown as \r and \n.
QString oneLine(QString text) {
    return text.replace('\r', QStringLiteral("\\r")).replace('\n', QStringLiteral("\\n"));
}

template <typename Enum>
const char* nameOf(Enum value) {
    return QMetaEnum::fromType<Enum>().valueToKey(value);
}

// What a screen reader hears of `object`: its role, name and description.
QString heard(QObject* object) {
    QAccessibleInterface* reader = QAccessible::queryAccessibleInterface(object);
    return QStringLiteral("%1 \"%2\" \"%3\"")
        .arg(nameOf(reader->role()), oneLine(reader->text(QAccessible::Name)),
             oneLine(reader->text(QAccessible::Description)));
}

// Whether the whole of a label's text shows as Qt wraps it, or a button's on one line beside its
// picture; nothing for other controls.
const char* fit(const QWidget& control) {
    bool fits = true;
    if (const auto* label = qobject_cast<const QLabel*>(&control)) {
        fits = label->heightForWidth(label->width()) <= label->height() &&
               (label->wordWrap() || label->sizeHint().width() <= label->width());
    } else if (const auto* button = qobject_cast<const QPushButton*>(&control)) {
        const int picture = button->icon().isNull() ? 0 : button->iconSize().width() + 4;
        fits = button->fontMetrics().horizontalAdvance(button->text()) + picture <= button->width();
    } else {
        return "";
    }
    return fits ? ", fits" : ", CUT OFF";
}

// One line for a control: class, name, place and size in twips (for a window's fixed layout),
// caption, the face it is drawn in where the program chose one, its picture, whether its text
// fits, what a screen reader hears, and whether it is hidden or disabled.
QString describeControl(QWidget& control, bool inTwips) {
    QString line;
    QTextStream out(&line);
    out << "  " << control.metaObject()->className() << ' ' << control.objectName();
    const QRect r = control.geometry();
    constexpr int k = kTwipsPerPixel;
    if (inTwips) {
        out << " (" << r.x() * k << ',' << r.y() * k << ' ' << r.width() * k << 'x'
            << r.height() * k << ')';
    }
    if (const QString text = control.property("text").toString(); !text.isEmpty()) {
        out << " \"" << oneLine(text) << '"';
    }
    const QFont font = control.font();
    if (control.testAttribute(Qt::WA_SetFont)) {
        out << ' ' << font.family() << " (drawn in " << QFontInfo(font).family() << ") "
            << font.pointSizeF() << "pt" << (font.bold() ? " bold" : "");
    }
    const auto* label = qobject_cast<QLabel*>(&control);
    const auto* button = qobject_cast<QPushButton*>(&control);
    const QSizeF picture = label ? label->pixmap().deviceIndependentSize()
                           : button && !button->icon().isNull() ? button->iconSize()
                                                                : QSizeF();
    if (!picture.isEmpty()) {
        out << " picture " << picture.width() << 'x' << picture.height();
    }
    if (const auto* bar = qobject_cast<QProgressBar*>(&control)) {
        out << ' ' << bar->value() << " of " << bar->minimum() << ".." << bar->maximum();
    }
    out << fit(control) << "; hears " << heard(&control);
    out << (control.isVisibleTo(control.window()) ? "" : "; hidden");
    out << (control.isEnabled() ? "" : "; disabled") << '\n';
    return line;
}

// A window as text: its own line (title, size, modality, what a reader hears), the Tab chain from
// the focused control, and one line per control, in the order they were made.
QString describeWindow(QWidget& window, bool inTwips) {
    QString text;
    QTextStream out(&text);
    out << window.metaObject()->className() << ' ' << window.objectName() << " \""
        << window.windowTitle() << "\" ";
    if (inTwips) {
        out << window.width() << 'x' << window.height() << ' ';
    }
    out << nameOf(window.windowModality()) << (window.isVisible() ? "" : ", hidden") << "; hears "
        << heard(&window) << '\n';
    if (QWidget* first = window.focusWidget()) {
        out << "  tab:";
        QWidget* next = first;
        do {
            out << ' ' << next->objectName();
            do {
                next = next->nextInFocusChain();
            } while (!(next->focusPolicy() & Qt::TabFocus) && next != first);
        } while (next != first);
        out << '\n';
    }
    for (QWidget* control : window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        out << describeControl(*control, inTwips);
    }
    return text;
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
    // Waits until the command the last input started is over, and returns what it did, each
    // event after a comma, the page as its name.
    std::string effects() {
        EXPECT_TRUE(QTest::qWaitFor([this] { return !main.findChild<PinTestJob*>(); }, 20000));
        std::string said;
        for (const std::string& event : std::exchange(log, {})) {
            const bool page = event == "bytes";
            said += (said.empty() ? "" : ", ") + (page ? pageName() : event);
        }
        port.received.clear();
        return oneLine(QString::fromStdString(said)).toStdString();
    }
    std::string pageName() const {
        const Bytes& got = port.received;
        return got == pageBytes(NinePin)         ? "the 9-pin page"
               : got == pageBytes(TwentyFourPin) ? "the 24-pin page"
                                                 : std::to_string(got.size()) + " bytes";
    }
    // Runs the application's own event loop, as main() does, with `action` as its first event.
    // Returns the loop's exit code, or -1 when nothing ended the loop within ten seconds.
    int execWith(std::function<void()> action) {
        QTimer::singleShot(0, &main, std::move(action));
        QTimer::singleShot(10000, &main, [] { QCoreApplication::exit(-1); });
        return QApplication::exec();
    }
};

// Both windows, and the progress dialog in each state a job goes through, each reached from the
// one before, then after Cancel and two Esc presses (which ask the job to stop once): every
// control's place, caption, face, fit and what a screen reader hears, and every stall advice.
TEST_F(WindowsTest, WindowsAndDialogStatesAreAsCheckedIn) {
    QString text = describeWindow(main, true) + describeWindow(instructions, true);
    using P = PortStatus;
    const JobView views[] = {
        {},
        {40, 900, false, {}, false},
        {40, 900, true, {}, false},
        {40, 900, true, P{.paperOut = true}, false},
        {40, 900, true, P{.offline = true}, false},
        {40, 900, true, P{.error = true}, false},
        {40, 900, true, P{.busy = true}, false},
        {40, 900, true, P{true, true, true, true}, false},
        {900, 900, false, {}, true},
    };
    JobView before;
    for (const JobView& view : views) {
        int stops = 0;
        ProgressDialog dialog(nullptr, [&] { ++stops; });
        dialog.setView(std::exchange(before, view));
        dialog.setView(view);
        dialog.show();
        text += '\n' + describeWindow(dialog, false);
        QTest::mouseClick(part(&dialog, "cancel"), Qt::LeftButton);
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QTest::keyClick(&dialog, Qt::Key_Escape);
        text += QStringLiteral("after Cancel, Esc, Esc: %1 stop asked\n").arg(stops) +
                describeWindow(dialog, false);
    }
    expectGolden("windows.txt", text.toStdString());

    // The model list's CR leaves no mark of its own.
    auto* models = part<QLabel>(&instructions, "Label3");
    const QImage drawn = models->grab().toImage();
    models->setText(models->text().replace("\r\n", "\n"));
    EXPECT_EQ(models->grab().toImage(), drawn);
}

// Tab through the buttons, running each by a click, Space, Enter and keypad Enter; then every
// way a command can fail, and a test that is whole again after them.
TEST_F(WindowsTest, CommandsDoWhatIsCheckedIn) {
    std::string transcript;
    std::vector<QWidget*> modals;
    for (int button = 0; button < 5; ++button) {
        QWidget* focused = QApplication::focusWidget();
        transcript += "focus " + focused->objectName().toStdString() + "\n";
        for (const auto& [key, how] : {std::pair{Qt::Key_unknown, "click"},
                                       {Qt::Key_Space, "Space"},
                                       {Qt::Key_Return, "Return"},
                                       {Qt::Key_Enter, "keypad Enter"}}) {
            QObject scope;  // a window that shows at once, even a progress dialog, is logged
            whenModal(&scope, [&](QWidget* modal) {
                if (std::ranges::find(modals, modal) == modals.end()) {
                    modals.push_back(modal);
                }
                log.push_back(QStringLiteral("modal %1 %2, window %3")
                                  .arg(modal->windowTitle(), nameOf(modal->windowModality()))
                                  .arg(modals.size())
                                  .toStdString());
                modal->close();
            });
            const auto modifier = key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier;
            key == Qt::Key_unknown ? QTest::mouseClick(focused, Qt::LeftButton)
                                   : QTest::keyClick(main.windowHandle(), key, modifier);
            transcript += std::string("  ") + how + ": " + effects() + "\n";
        }
        main.activateWindow();  // the instructions window, once closed, leaves it inactive
        ASSERT_TRUE(QTest::qWaitForWindowActive(&main));
        const QImage withFocus = focused->grab().toImage();
        QTest::keyClick(main.windowHandle(), Qt::Key_Tab);
        EXPECT_NE(focused->grab().toImage(), withFocus) << "the focus does not show";
    }
    transcript += "focus " + QApplication::focusWidget()->objectName().toStdString() + "\n";

    const auto sleeps = port.idle;
    const std::tuple<const char*, const char*, std::function<void()>> failures[] = {
        {"port busy", "Command2", [&] { port.failOpen = PortError(EBUSY, "占用。"); }},
        {"driver throws", "Command2",
         [&] {
             port.takes = {0};
             port.idle = [](auto) { throw std::length_error("broken driver"); };
         }},
        {"driver throws a non-exception", "Command2",
         [&] {
             port.takes = {0};
             port.idle = [](auto) { throw 42; };
         }},
        {"unplugged mid-page", "Command1", [&] { port.takes.assign({100, RecordingPort::kFail}); }},
        {"no printer", "Command1", [&] { printer.failOn = "newPage"; }},
        {"abort fails", "Command1", [&] { printer.failOn = "abortDocument"; }},
        {"no browser", "Command4", [&] { desktop.urlFailure = UrlOpenError(0, "无法打开网址。"); }},
        {"whole again", "Command1", [] {}},
    };
    for (const auto& [what, button, fail] : failures) {
        fail();
        part(&main, button)->click();
        transcript += std::string(what) + ", " + button + ": " + effects() + "\n";
        port.failOpen.reset();
        port.idle = sleeps;
        printer.failOn.reset();
        desktop.urlFailure.reset();
    }
    expectGolden("commands.txt", transcript);
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

// A printer that takes nothing: the dialog tells why and how much is to come, and drops the advice
// once bytes flow again; until the test ends, nothing reaches the main window, not even later, and
// a second test asked for by a program is refused; Esc stops it and the user learns what to do.
TEST_F(WindowsTest, StalledTestTakesNoOtherInputAndEscStopsItWithAdvice) {
    using P = RecordingPort;  // a second's stall, a line, then stalls till the script runs out
    port.takes = {P::kStall, P::kStall, 6, P::kStall, P::kStall, P::kStall, P::kStall, P::kStall};
    port.reportedStatus = PortStatus{.offline = true};
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
            QCoreApplication::postEvent(
                main.windowHandle(), new QMouseEvent(type, at, main.mapToGlobal(at), Qt::LeftButton,
                                                     held, Qt::NoModifier));
        }
    };
    part(&main, "Command2")->click();
    part(&main, "Command3")->setFocus();
    clickAsked();  // before the dialog shows
    QLabel* status = nullptr;
    const auto adviceShown = [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        status = dialog ? part<QLabel>(dialog, "status") : nullptr;
        return status != nullptr && status->isVisible();
    };
    ASSERT_TRUE(QTest::qWaitFor(adviceShown)) << "no advice";
    clickAsked();
    part(&main, "Command1")->click();  // the port sleeps out a stall meanwhile
    EXPECT_EQ(status->text(), stallAdvice(PortStatus{.offline = true}));
    const auto* progress = part<QProgressBar>(status->window(), "progress");
    EXPECT_EQ(progress->text(), QString("已发送 0 / %1 字节").arg(pageBytes(TwentyFourPin).size()));
    EXPECT_TRUE(QTest::qWaitFor([&] { return progress->value() == 6; }));
    EXPECT_FALSE(status->isVisible()) << "the advice stays while the page flows again";
    EXPECT_TRUE(QTest::qWaitFor(adviceShown)) << "the printer stalls again";
    // Should Esc not stop it, the port takes the page once the script ends and the test fails.
    QTest::keyClick(status->window(), Qt::Key_Escape);
    // No second command ran, the window is still there, and the printer was not called.
    EXPECT_EQ(effects(),
              "open, error Kestrun|上一次测试还没有结束。请等它结束后再测试。, 6 bytes, close, "
              "info Kestrun|测试已取消。打印机里可能还留着没打完的数据：请先关闭打印机电源，"
              "再重新打开，然后再进行下一次测试。");
    EXPECT_TRUE(main.isVisible());
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
    EXPECT_EQ(log, EventLog(2, "ask 退出确认|确认要退出程序吗？"));
}

// A window that goes while its test runs stops the test and waits for it, however the printer
// stands: the program can end under a running test.
TEST_F(WindowsTest, AWindowThatGoesStopsItsTest) {
    port.takes = {RecordingPort::kStall, RecordingPort::kStall, RecordingPort::kStall};
    auto window =
        std::make_unique<MainWindow>(MainWindowServices{port, printer, desktop, desktop, desktop});
    part(window.get(), "Command1")->click();
    QTest::qWait(100);
    window.reset();
    EXPECT_EQ(log, (EventLog{"open", "close"}));
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
