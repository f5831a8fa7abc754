#include <QApplication>
#include <csignal>

#include "platform/linux/cups_system_printer.h"
#include "platform/linux/device_printer_port.h"
#include "platform/qt/qt_message_box.h"
#include "platform/qt/qt_question_box.h"
#include "platform/qt/qt_url_opener.h"
#include "ui/application.h"
#include "ui/main_window.h"

// The one place where the windows meet the real system.
int main(int argc, char* argv[]) {
    // A printer port that is a pipe whose reader has gone fails its write instead of ending the
    // program.
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    kestrun::prepareApplication();

    kestrun::DevicePrinterPort port;
    kestrun::CupsSystemPrinter printer;
    kestrun::QtQuestionBox questions;
    kestrun::QtMessageBox messages;
    kestrun::QtUrlOpener urls;

    kestrun::MainWindow window({port, printer, questions, messages, urls});
    window.show();
    return QApplication::exec();
}
