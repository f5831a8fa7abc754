#include "ui/main_window.h"

#include <QCoreApplication>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QString>

#include "ui/application.h"
#include "ui/fonts.h"
#include "ui/instructions_window.h"
#include "ui/twips.h"

namespace kestrun {
namespace {

// The buttons' own background, RGB(192, 192, 255), with a raised edge that sinks when pressed and a
// dark frame on the button that has the keyboard focus.
// A style sheet rather than the palette: desktop styles may ignore a palette's button colour.
constexpr const char* kButtonStyle =
    "QPushButton { background-color: rgb(192, 192, 255); border: 2px outset rgb(192, 192, 255);"
    " padding: 0px; }"
    "QPushButton:focus { border: 2px solid rgb(48, 48, 128); }"
    "QPushButton:pressed { border-style: inset; }";

QPushButton* addButton(QWidget* parent, const char* name, const QString& caption,
                       const QRect& geometry, const QFont& font) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setFont(font);
    button->setGeometry(geometry);
    button->setStyleSheet(QString::fromLatin1(kButtonStyle));
    return button;
}

QIcon ninePinIcon() {
    QIcon icon;
    for (int size : {16, 25, 32, 48}) {
        icon.addFile(QStringLiteral(":/icons/nine-pin-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

}  // namespace

MainWindow::MainWindow(const MainWindowServices& services, QWidget* parent)
    : QWidget(parent),
      services_(services),
      runner_(services.port, services.printer, this),
      banner_(QStringLiteral(":/images/banner.jpg")) {
    setObjectName(QStringLiteral("Kestrun"));
    setWindowTitle(QStringLiteral("Kestrun"));
    setWindowIcon(programIcon());
    setFixedSize(twipsToPixels(9585), twipsToPixels(4305));

    const QFont kai = captionFont(kKaiFamily, 14.25);

    // Created in tab order.
    QPushButton* twentyFourPin = addButton(this, "Command2", QStringLiteral("24针测试"),
                                           twipsRect(3720, 2760, 1695, 495), kai);
    QPushButton* exit =
        addButton(this, "Command3", QStringLiteral("退出"), twipsRect(6360, 2760, 1215, 495), kai);
    QPushButton* ninePin = addButton(this, "Command1", QStringLiteral("9针测试"),
                                     twipsRect(1320, 2760, 1575, 495), kai);
    ninePin->setIcon(ninePinIcon());
    ninePin->setIconSize(QSize(25, 25));

    auto* credit = new QLabel(QStringLiteral("  Bemro制作"), this);
    credit->setObjectName(QStringLiteral("Label2"));
    credit->setTextFormat(Qt::PlainText);
    credit->setFont(kai);
    credit->setGeometry(twipsRect(3840, 3720, 1935, 375));
    credit->setAutoFillBackground(true);
    QPalette creditPalette = credit->palette();
    creditPalette.setColor(QPalette::Window, Qt::white);
    credit->setPalette(creditPalette);

    auto* logo = new QLabel(this);
    logo->setObjectName(QStringLiteral("Picture2"));
    logo->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    logo->setPixmap(QPixmap(QStringLiteral(":/images/logo.jpg")));
    logo->setGeometry(twipsRect(480, 600, 2535, 855));

    QPushButton* site = addButton(this, "Command4", QStringLiteral("进入Vorna官网"),
                                  twipsRect(7920, 3720, 1455, 495), captionFont(kSongFamily, 9));
    QPushButton* instructions =
        addButton(this, "Command5", QStringLiteral("使用说明"), twipsRect(120, 3840, 1095, 375),
                  captionFont(kSongFamily, 10.5));

    setTabOrder(twentyFourPin, exit);
    setTabOrder(exit, ninePin);
    setTabOrder(ninePin, site);
    setTabOrder(site, instructions);
    twentyFourPin->setFocus();

    connect(ninePin, &QPushButton::clicked, this, [this] { runTest(NinePin); });
    connect(twentyFourPin, &QPushButton::clicked, this, [this] { runTest(TwentyFourPin); });
    connect(exit, &QPushButton::clicked, this, &MainWindow::confirmExit);
    connect(site, &QPushButton::clicked, this, &MainWindow::openMakerSite);
    connect(instructions, &QPushButton::clicked, this, &MainWindow::showInstructions);
}

MainWindow::~MainWindow() = default;

void MainWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    painter.drawPixmap(0, 0, banner_);
}

void MainWindow::runTest(const PinTestProfile& profile) {
    const PinTestRunner::Result result = runner_.run(profile);
    if (result.errorText) {
        showError(*result.errorText, result.errorNumber);
    } else if (result.outcome == PinTestOutcome::CancelledWhileStalled) {
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
    } catch (const Error& e) {
        showError(QString::fromStdString(e.what()), e.errorNumber());
    }
}

void MainWindow::showInstructions() {
    if (instructions_ == nullptr) {
        instructions_ = new InstructionsWindow(this);
    }
    instructions_->exec();
}

void MainWindow::showError(const QString& text, int errorNumber) {
    QString message = text;
    if (errorNumber != 0) {
        message += QStringLiteral("\n\n错误号：%1").arg(errorNumber);
    }
    services_.messages.show(MessageBox::Kind::Error, "Kestrun", message.toStdString());
}

}  // namespace kestrun
