#pragma once

#include <QWidget>

#include "platform/message_box.h"
#include "platform/printer_port.h"
#include "platform/question_box.h"
#include "platform/system_printer.h"
#include "platform/url_opener.h"
#include "ui/pin_test_runner.h"

class QPaintEvent;

namespace kestrun {

class InstructionsWindow;

// The maker's web site, opened by the "进入Vorna官网" button.
inline constexpr const char* kMakerSiteUrl = "http://www.vorna-printers.example/";

// What the main window takes from the system. Everything here outlives the window.
struct MainWindowServices {
    PrinterPort& port;
    SystemPrinter& printer;
    QuestionBox& questions;
    MessageBox& messages;
    UrlOpener& urls;
};

// The program's start-up window: the banner, the logo, the author credit and the five commands.
// Closing it ends the program.
class MainWindow final : public QWidget {
    Q_OBJECT
public:
    explicit MainWindow(const MainWindowServices& services, QWidget* parent = nullptr);
    ~MainWindow() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void runTest(const PinTestProfile& profile);
    void confirmExit();
    void openMakerSite();
    void showInstructions();
    void showError(const QString& text, int errorNumber);

    MainWindowServices services_;
    PinTestRunner runner_;
    InstructionsWindow* instructions_ = nullptr;  // made on first use, then kept
};

}  // namespace kestrun
