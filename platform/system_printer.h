#pragma once

#include <stop_token>
#include <string>

#include "platform/error.h"

namespace kestrun {

class PrinterError : public Error {
public:
    // Only what a caller acts on has a kind of its own; the message says the rest.
    enum class Kind {
        NotAnswering,  // the print server could not be reached or did not answer in time
        Failed,        // the print system said no, or anything else went wrong on the way
        Stopped,       // a stop was requested before the print server was done
    };

    PrinterError(Kind kind, int errorNumber, const std::string& message)
        : Error(errorNumber, message), kind_(kind) {}

    Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

// The printer installed on the system through its driver, as opposed to the raw port. A test run
// makes the three calls below, in this order, after its page: the printer's own driver then ejects
// the page. Each call throws PrinterError when the print system fails it. Once `stop` is requested,
// a call that needs the print server asks it nothing more and gives up on the exchange under way
// within a fraction of a second: it throws PrinterError (Stopped) and leaves no document open.
class SystemPrinter {
public:
    SystemPrinter() = default;
    SystemPrinter(const SystemPrinter&) = delete;
    SystemPrinter& operator=(const SystemPrinter&) = delete;
    virtual ~SystemPrinter() = default;

    // Starts a document on the default printer if none is open (its first page is the new page),
    // otherwise adds a page to the open one.
    virtual void newPage(std::stop_token stop) = 0;
    // Hands the open document to the printer as one job.
    virtual void endDocument(std::stop_token stop) = 0;
    // Discards a document that is still open; does nothing when none is.
    virtual void abortDocument() = 0;
};

}  // namespace kestrun
