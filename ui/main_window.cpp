#include "ui/main_window.h"

#include <QCoreApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <chrono>

#include "ui/application.h"
#include "ui/fonts.h"
#include "ui/instructions_window.h"
#include "ui/pin_test_job.h"
#include "ui/progress_dialog.h"
#include "ui/twips.h"

namespace kestrun {
namespace {

// A printer that takes the page at once should not flash a dialog at the user.
constexpr std::chrono::milliseconds kDialogAfter{500};

// The buttons' own background, RGB(192, 192, 255), and black text whatever the desktop's palette,
// with a raised edge that sinks when pressed and a dark frame on the button that has the keyboard
// focus. A style sheet rather than the palette: desktop styles may ignore a palette's button
// colour.
constexpr const char* kButtonStyle =
    "QPushButton { background-color: rgb(192, 192, 255); color: black;"
    " border: 2px outset rgb(192, 192, 255); padding: 0px; }"
    "QPushButton:focus { border: 2px solid rgb(48, 48, 128); }"
    "QPushButton:pressed { border-style: inset; }";

QPushButton* addButton(QWidget* parent, const char* name, const QString& caption,
                       const QRect& geometry, const QFont& font, const QString& description) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAccessibleName(caption);
    button->setAccessibleDescription(description);
    button->setFont(font);
    button->setGeometry(geometry);
    button->setStyleSheet(QString::fromLatin1(kButtonStyle));
    return button;
}

QIcon ninePinIcon() {
    QIcon icon;
    for (int size : {16, 25, 32, 48, 50}) {
        icon.addFile(QStringLiteral(":/icons/nine-pin-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

}  // namespace

MainWindow::MainWindow(const MainWindowServices& services, QWidget* parent)
    : QWidget(parent), services_(services) {
    setObjectName(QStringLiteral("Kestrun"));
    setWindowTitle(QStringLiteral("Kestrun"));
    setAccessibleName(QStringLiteral("Kestrun 针式打印机测试"));
    setAccessibleDescription(
        QStringLiteral("向接在打印机端口上的针式打印机发送 9 针或 24 针测试页"));
    useFixedColours(*this, Qt::white);
    setWindowIcon(programIcon());
    setFixedSize(twipsToPixels(9585), twipsToPixels(4305));

    const QFont kai = captionFont(kKaiFamily, 14.25);

    // The controls' object names (Command1 to Command5, Label2, Picture2) are those of the
    // window's layout, in which every place and size is given in twips. Created in tab order.
    QPushButton* twentyFourPin =
        addButton(this, "Command2", QStringLiteral("24针测试"), twipsRect(3720, 2760, 1695, 495),
                  kai, QStringLiteral("向 24 针打印机发送测试页，再让打印机退纸"));
    QPushButton* exit =
        addButton(this, "Command3", QStringLiteral("退出"), twipsRect(6360, 2760, 1215, 495), kai,
                  QStringLiteral("确认后退出程序"));
    // The picture only decorates: the button's name is its caption alone.
    QPushButton* ninePin =
        addButton(this, "Command1", QStringLiteral("9针测试"), twipsRect(1320, 2760, 1575, 495),
                  kai, QStringLiteral("向 9 针打印机发送测试页，再让打印机退纸"));
    ninePin->setIcon(ninePinIcon());
    ninePin->setIconSize(QSize(25, 25));

    auto* credit = new QLabel(QStringLiteral("  Bemro制作"), this);
    credit->setObjectName(QStringLiteral("Label2"));
    credit->setTextFormat(Qt::PlainText);
    credit->setGeometry(twipsRect(3840, 3720, 1935, 375));
    fitCaption(*credit, kKaiFamily, 14.25);
    // White like the window itself, so the box shows only where it covers the banner.
    credit->setAutoFillBackground(true);

    auto* logo = new QLabel(this);
    logo->setObjectName(QStringLiteral("Picture2"));
    logo->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    logo->setPixmap(picture("logo", *this));
    logo->setGeometry(twipsRect(480, 600, 2535, 855));
    logo->setAccessibleName(QStringLiteral("Vorna 标志"));
    logo->setAccessibleDescription(QStringLiteral("打印机制造商 Vorna 的标志"));

    QPushButton* site = addButton(this, "Command4", QStringLiteral("进入Vorna官网"),
                                  twipsRect(7920, 3720, 1455, 495), captionFont(kSongFamily, 9),
                                  QStringLiteral("在网页浏览器里打开 Vorna 官网"));
    QPushButton* instructions =
        addButton(this, "Command5", QStringLiteral("使用说明"), twipsRect(120, 3840, 1095, 375),
                  captionFont(kSongFamily, 10.5), QStringLiteral("打开使用说明窗口"));

    setTabOrder(twentyFourPin, exit);
    setTabOrder(exit, ninePin);
    setTabOrder(ninePin, site);
    setTabOrder(site, instructions);
    twentyFourPin->setFocus();

    for (QPushButton* button : {twentyFourPin, exit, ninePin, site, instructions}) {
        button->installEventFilter(this);
    }
    connect(ninePin, &QPushButton::clicked, this, [this] { runTest(NinePin); });
    connect(twentyFourPin, &QPushButton::clicked, this, [this] { runTest(TwentyFourPin); });
    connect(exit, &QPushButton::clicked, this, &MainWindow::confirmExit);
    connect(site, &QPushButton::clicked, this, &MainWindow::openMakerSite);
    connect(instructions, &QPushButton::clicked, this, &MainWindow::showInstructions);
}

MainWindow::~MainWindow() = default;

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    // Enter presses the button that has the focus, as Space does; buttons outside a dialog
    // ignore it otherwise. Key events reach only the focused button, so no other can start.
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const auto modifiers = key->modifiers() & ~Qt::KeypadModifier;
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            modifiers == Qt::NoModifier && !key->isAutoRepeat()) {
            static_cast<QPushButton*>(watched)->click();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void MainWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    painter.drawPixmap(0, 0, picture("banner", *this));
}

void MainWindow::runTest(const PinTestProfile& profile) {
    // The windows take no input while a test runs: only a program could ask for a second one.
    if (job_ != nullptr) {
        showError(std::make_exception_ptr(Error(0, "上一次测试还没有结束。请等它结束后再测试。")));
        return;
    }
    job_ = new PinTestJob(profile, services_.port, services_.printer, this);
    progress_ = new ProgressDialog(this, [job = job_] { job->stop(); });
    inputBlocker_.emplace(progress_);
    connect(job_, &PinTestJob::viewChanged, progress_, &ProgressDialog::setView);
    connect(job_, &PinTestJob::finished, this, &MainWindow::testFinished);
    QTimer::singleShot(kDialogAfter, progress_, &QWidget::show);
    job_->start();
}

void MainWindow::testFinished(PinTestOutcome outcome, const std::exception_ptr& error) {
    // Gone before anything is said about the run.
    delete std::exchange(progress_, nullptr);
    inputBlocker_.reset();
    std::exchange(job_, nullptr)->deleteLater();
    if (error) {
        showError(error);
    } else if (outcome == PinTestOutcome::CancelledWhileStalled) {
        // The printer was stopped in the middle of a line and may still hold part of it.
        services_.messages.show(MessageBox::Kind::Information, "Kestrun",
                                "测试已取消。打印机里可能还留着没打完的数据：请先关闭打印机电源，"
                                "再重新打开，然后再进行下一次测试。");
    }
}

void MainWindow::confirmExit() {
    if (services_.questions.ask("退出确认", "确认要退出程序吗？") == QuestionBox::Answer::Yes) {
        QCoreApplication::exit(0);
    }
}

void MainWindow::openMakerSite() {
    try {
        services_.urls.open(kMakerSiteUrl);
    } catch (...) {
        showError(std::current_exception());
    }
}

void MainWindow::showInstructions() {
    if (instructions_ == nullptr) {
        instructions_ = new InstructionsWindow(this);
    }
    instructions_->exec();
}

void MainWindow::showError(const std::exception_ptr& error) {
    QString message;
    try {
        std::rethrow_exception(error);
    } catch (const Error& e) {
        message = QString::fromStdString(e.what());
        if (e.errorNumber() != 0) {
            message += QStringLiteral("\n\n错误号：%1").arg(e.errorNumber());
        }
    } catch (const std::exception& e) {
        message = QStringLiteral("测试意外中止（%1）。请重新测试。")
                      .arg(QString::fromStdString(e.what()));
    } catch (...) {
        message = QStringLiteral("测试意外中止。请重新测试。");
    }
    services_.messages.show(MessageBox::Kind::Error, "Kestrun", message.toStdString());
}

}  // namespace kestrun
