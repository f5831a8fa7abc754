#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>

#include "platform/system_printer.h"

namespace kestrun {

// How long one exchange with the print server may take before it counts as not answering.
inline constexpr std::chrono::milliseconds kPrintServerTimeout{5000};

// The default printer of the print system (CUPS), the one `lpstat -d` names: the user's choice
// (PRINTER, LPDEST, `lpoptions -d`) or else the server's. The document is kept here until
// endDocument, which submits it as one job so that the page comes out: blank PDF pages for a
// queue with a driver, which puts them into the printer's language; for a raw queue (no driver)
// one form feed per page, sent as it is.
//
// Nothing talks to the server before the first call; each call that needs the server opens its
// own connection, and every exchange on it is limited to `timeout`. After a stop, a job that the
// server has made but not received whole is left for the server to drop. Safe to call from any
// thread, including one that is not the GUI thread; no QGuiApplication is needed.
class CupsSystemPrinter final : public SystemPrinter {
public:
    explicit CupsSystemPrinter(std::chrono::milliseconds timeout = kPrintServerTimeout);
    ~CupsSystemPrinter() override;

    // The first page picks the default printer; throws PrinterError (NotAnswering, Failed when
    // there is none or it wants a login, Stopped) and leaves no document open then.
    void newPage(std::stop_token stop) override;
    // Submits the open document; afterwards none is open, whether it succeeded or not. Throws
    // PrinterError (NotAnswering, Failed with the server's reason, Stopped); a job that the server
    // made but then refused is cancelled. Does nothing when no document is open.
    void endDocument(std::stop_token stop) override;
    void abortDocument() override;

private:
    struct Document {
        std::string printer;
        int pages = 0;
    };

    const std::chrono::milliseconds timeout_;
    std::mutex mutex_;
    std::optional<Document> document_;
};

}  // namespace kestrun
