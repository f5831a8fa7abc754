#pragma once

#include <QWidget>
#include <exception>
#include <optional>

#include "pintest/run_pin_test.h"
#include "platform/message_box.h"
#include "platform/printer_port.h"
#include "platform/question_box.h"
#include "platform/system_printer.h"
#include "platform/url_opener.h"
#include "ui/input_blocker.h"

class QPaintEvent;

namespace kestrun {

class InstructionsWindow;
class PinTestJob;
class ProgressDialog;

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
    // Starts the test and returns; the windows take no input until it has finished.
    void runTest(const PinTestProfile& profile);
    void testFinished(PinTestOutcome outcome, const std::exception_ptr& error);
    void confirmExit();
    void openMakerSite();
    void showInstructions();
    // Every failure of a command comes here: what the user is told, with the system's error
    // number where it gave one.
    void showError(const std::exception_ptr& error);

    MainWindowServices services_;
    // The test under way, if one is, with its progress dialog and what keeps input out.
    PinTestJob* job_ = nullptr;
    ProgressDialog* progress_ = nullptr;
    std::optional<InputBlocker> inputBlocker_;
    InstructionsWindow* instructions_ = nullptr;  // made on first use, then kept
};

}  // namespace kestrun
