#include "platform/linux/cups_system_printer.h"

#include <cups/cups.h>

#include <QBuffer>
#include <QByteArray>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <cerrno>
#include <iterator>
#include <string>
#include <utility>

#include "platform/linux/cups_connection.h"

namespace kestrun {
namespace {

// libcups's words say why: none chosen at all, or PRINTER, LPDEST or lpoptions naming a printer
// that does not exist.
std::string noDefaultPrinter() {
    return "系统没有安装默认打印机（打印系统的回答：" + serverAnswer() +
           "），测试页无法从打印机送出。请连接打印机，安装它的驱动程序并把它设为默认打印机，"
           "然后重新测试。";
}

// The name of the default printer, for a message, when the server would not describe it: libcups
// does not say which one it asked for. The list of printers says, and the server gives it to all.
std::string chosenDefault(const PrintServerConnection& connection) {
    cups_dest_t* dests = nullptr;
    const int count = cupsGetDests2(connection.get(), &dests);
    const cups_dest_t* dest = cupsGetDest(nullptr, nullptr, count, dests);
    std::string name = dest != nullptr ? dest->name : "默认打印机";
    cupsFreeDests(count, dests);
    return name;
}

std::string findDefaultPrinter(const PrintServerConnection& connection) {
    // With no name, CUPS looks where its users expect: PRINTER and LPDEST, then `lpoptions -d`,
    // then the server's default.
    cups_dest_t* dest = cupsGetNamedDest(connection.get(), nullptr, nullptr);
    if (dest == nullptr) {
        // A printer that wants a login is one that "does not exist" to libcups.
        if (const auto refusal = connection.accessRefusal()) {
            connection.skipIfStopped();
            throw accessError(*refusal, "查找默认打印机", chosenDefault(connection));
        }
        const ipp_status_t status = cupsLastError();
        if (httpError(connection.get()) == 0 &&
            (status <= IPP_STATUS_OK_EVENTS_COMPLETE || status == IPP_STATUS_ERROR_NOT_FOUND)) {
            throw PrinterError(PrinterError::Kind::Failed, 0, noDefaultPrinter());
        }
        throw connection.failure("查找默认打印机", "", "请检查打印系统的设置，然后重新测试。");
    }
    std::string name = dest->name;
    cupsFreeDests(1, dest);
    return name;
}

std::string printerUri(const std::string& printer) {
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0,
                     "/printers/%s", printer.c_str());
    return uri;
}

// What the print server says of a queue.
struct QueueState {
    // No driver: the queue hands documents to the printer unfiltered, so a PDF would come out as
    // lines of text. The server names such a queue's make and model so.
    bool raw = false;
    bool refuses = false;  // not accepting jobs
    bool stopped = false;  // a job would wait there and never print
    std::string reason;    // what the administrator gave as the reason, if anything
};

QueueState queryQueue(const PrintServerConnection& connection, const std::string& printer) {
    ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 printerUri(printer).c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    static const char* const wanted[] = {"printer-is-accepting-jobs", "printer-state",
                                         "printer-state-message", "printer-make-and-model"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  static_cast<int>(std::size(wanted)), nullptr, wanted);
    ipp_t* response = cupsDoRequest(connection.get(), request, "/");
    if (response == nullptr || cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE) {
        ippDelete(response);
        throw connection.failure("查询打印机“" + printer + "”的状态", printer,
                                 "请检查打印机的安装，然后重新测试。");
    }
    ipp_attribute_t* accepting =
        ippFindAttribute(response, "printer-is-accepting-jobs", IPP_TAG_BOOLEAN);
    ipp_attribute_t* state = ippFindAttribute(response, "printer-state", IPP_TAG_ENUM);
    const auto text = [response](const char* name) {
        ipp_attribute_t* attribute = ippFindAttribute(response, name, IPP_TAG_TEXT);
        const char* value = attribute != nullptr ? ippGetString(attribute, 0, nullptr) : nullptr;
        return std::string(value != nullptr ? value : "");
    };
    const QueueState queue{
        .raw = text("printer-make-and-model") == "Local Raw Printer",
        .refuses = accepting != nullptr && !ippGetBoolean(accepting, 0),
        .stopped = state != nullptr && ippGetInteger(state, 0) == IPP_PSTATE_STOPPED,
        .reason = text("printer-state-message"),
    };
    ippDelete(response);
    return queue;
}

// Whether the queue is raw. Throws when the job would be refused, or would wait in a stopped queue
// and never print: say so before it is made, with the administrator's reason.
bool inspectQueue(const PrintServerConnection& connection, const std::string& printer) {
    const QueueState queue = queryQueue(connection, printer);
    const std::string answer =
        "（打印系统的回答：" + (queue.reason.empty() ? "没有说明原因" : queue.reason) + "）";
    if (queue.refuses) {
        throw PrinterError(PrinterError::Kind::Failed, 0,
                           "打印机“" + printer + "”不接受打印作业" + answer +
                               "。请在打印机设置中让它重新接受作业（cupsaccept " + printer +
                               "），然后重新测试。");
    }
    if (queue.stopped) {
        throw PrinterError(PrinterError::Kind::Failed, 0,
                           "打印机“" + printer + "”已停用，作业不会被打印" + answer +
                               "。请排除故障后在打印机设置中恢复它（cupsenable " + printer +
                               "），然后重新测试。");
    }
    return queue.raw;
}

// Blank pages, one per newPage, as PDF: every CUPS driver takes PDF and turns it into its
// printer's language.
QByteArray blankPdf(int pages) {
    QByteArray pdf;
    QBuffer buffer(&pdf);
    buffer.open(QIODevice::WriteOnly);
    {
        QPdfWriter writer(&buffer);
        writer.setCreator(QStringLiteral("Kestrun"));
        writer.setTitle(QStringLiteral("Kestrun 打印头测试"));
        writer.setPageSize(QPageSize(QPageSize::A4));
        QPainter painter;
        if (!painter.begin(&writer)) {
            return {};
        }
        for (int page = 1; page < pages; ++page) {
            writer.newPage();
        }
        painter.end();
    }
    return pdf;
}

// What the job carries: its bytes, the name shown in the queue and their format.
struct Payload {
    QByteArray data;
    const char* name;
    const char* format;
};

void submit(const PrintServerConnection& connection, const std::string& printer,
            const Payload& document) {
    connection.skipIfStopped();
    http_t* http = connection.get();
    const int job = cupsCreateJob(http, printer.c_str(), "Kestrun 打印头测试", 0, nullptr);
    if (job == 0) {
        throw connection.failure("在打印机“" + printer + "”上建立作业", printer,
                                 "请检查打印机的状态和设置，然后重新测试。");
    }
    // A job whose document never arrived would wait in the queue until the server gives up on it.
    // Take it back, on a fresh connection since this one may be stuck in the middle of a request;
    // a server that has stopped answering would not take that either, and after a stop nothing
    // more is asked.
    const auto cancelAndThrow = [&](const PrinterError& error) {
        if (error.kind() != PrinterError::Kind::NotAnswering &&
            error.kind() != PrinterError::Kind::Stopped) {
            try {
                PrintServerConnection fresh(connection.timeout(), connection.stop());
                cupsCancelJob2(fresh.get(), printer.c_str(), job, 0);
            } catch (const PrinterError&) {
            }
        }
        throw error;
    };
    if (cupsStartDocument(http, printer.c_str(), job, document.name, document.format, 1) !=
        HTTP_STATUS_CONTINUE) {
        cancelAndThrow(connection.failure("向打印机“" + printer + "”发送测试页", printer,
                                          "请检查打印机的状态和设置，然后重新测试。"));
    }
    if (cupsWriteRequestData(http, document.data.constData(),
                             static_cast<size_t>(document.data.size())) != HTTP_STATUS_CONTINUE) {
        cancelAndThrow(connection.failure("向打印机“" + printer + "”发送测试页", printer,
                                          "请检查打印服务，然后重新测试。"));
    }
    if (cupsFinishDocument(http, printer.c_str()) > IPP_STATUS_OK_EVENTS_COMPLETE) {
        cancelAndThrow(connection.failure("打印机“" + printer + "”接收测试页", printer,
                                          "请检查打印机的状态和驱动程序，然后重新测试。"));
    }
}

}  // namespace

CupsSystemPrinter::CupsSystemPrinter(std::chrono::milliseconds timeout) : timeout_(timeout) {}

CupsSystemPrinter::~CupsSystemPrinter() = default;

void CupsSystemPrinter::newPage(std::stop_token stop) {
    std::lock_guard lock(mutex_);
    if (document_) {
        ++document_->pages;
        return;
    }
    PrintServerConnection connection(timeout_, std::move(stop));
    document_ = Document{findDefaultPrinter(connection), 1};
}

void CupsSystemPrinter::endDocument(std::stop_token stop) {
    std::lock_guard lock(mutex_);
    if (!document_) {
        return;
    }
    const auto [printer, pages] = *std::exchange(document_, std::nullopt);

    PrintServerConnection connection(timeout_, std::move(stop));
    if (inspectQueue(connection, printer)) {
        // The printer's own "new page": it ejects the sheet and prints nothing.
        submit(connection, printer,
               {QByteArray(pages, '\f'), "pin-test-eject.prn", CUPS_FORMAT_RAW});
        return;
    }
    const QByteArray pdf = blankPdf(pages);
    if (pdf.isEmpty()) {
        throw PrinterError(PrinterError::Kind::Failed, 0,
                           "无法生成要交给打印机“" + printer +
                               "”的页面（PDF）。请重新测试；问题依旧时请重新安装本程序。");
    }
    submit(connection, printer, {pdf, "pin-test.pdf", CUPS_FORMAT_PDF});
}

void CupsSystemPrinter::abortDocument() {
    std::lock_guard lock(mutex_);
    document_.reset();
}

}  // namespace kestrun
