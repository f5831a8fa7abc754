#include "platform/linux/cups_system_printer.h"

#include <cups/cups.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "fifo.h"
#include "page_bytes.h"
#include "pintest/run_pin_test.h"
#include "platform/linux/device_printer_port.h"

namespace kestrun {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A private cupsd made by cupsd-fixture.sh: the folder holds its socket, logs and output.
struct PrintServer {
    std::filesystem::path dir;

    std::string socket() const { return (dir / "cups.sock").string(); }
    std::string read(const char* name) const {
        std::stringstream text;
        text << std::ifstream(dir / name).rdbuf();
        return text.str();
    }
    std::string logTail() const {
        const std::string log = read("log/error_log");
        return log.substr(log.size() - std::min<std::size_t>(log.size(), 4000));
    }

    struct Job {
        int id = 0;
        int state = 0;  // IPP job-state
        int pages = 0;  // job-impressions-completed
    };
    // The jobs on `queue` (on every queue when empty), oldest first, once none of them is still
    // waiting or printing (or after 30 s).
    std::vector<Job> jobs(const std::string& queue = {}) const {
        for (const auto deadline = Clock::now() + 30s;; std::this_thread::sleep_for(100ms)) {
            std::vector<Job> jobs = query(queue);
            const auto done = [](const Job& job) { return job.state >= IPP_JSTATE_STOPPED; };
            if (std::ranges::all_of(jobs, done) || Clock::now() > deadline) {
                return jobs;
            }
        }
    }
    std::vector<Job> query(const std::string& queue) const {
        http_t* http = httpConnect2(socket().c_str(), ippPort(), nullptr, AF_UNSPEC,
                                    HTTP_ENCRYPTION_NEVER, 1, 5000, nullptr);
        if (http == nullptr) {
            throw std::runtime_error("cannot connect to the test print server at " + socket());
        }
        ipp_t* request = ippNewRequest(IPP_OP_GET_JOBS);
        const std::string uri = "ipp://localhost/" + (queue.empty() ? "" : "printers/" + queue);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "all");
        static const char* const wanted[] = {"job-id", "job-state", "job-impressions-completed"};
        ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 3,
                      nullptr, wanted);
        ipp_t* response = cupsDoRequest(http, request, "/");
        httpClose(http);
        if (response == nullptr || (cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE &&
                                    cupsLastError() != IPP_STATUS_ERROR_NOT_FOUND)) {
            ippDelete(response);
            throw std::runtime_error("Get-Jobs failed on " + socket() + ": " +
                                     cupsLastErrorString());
        }
        std::vector<Job> jobs(1);  // a nameless attribute separates one job from the next
        for (ipp_attribute_t* attr = ippFirstAttribute(response); attr != nullptr;
             attr = ippNextAttribute(response)) {
            const std::string name = ippGetName(attr) != nullptr ? ippGetName(attr) : "";
            if (name.empty() && jobs.back().id != 0) {
                jobs.emplace_back();
            } else if (name == "job-id") {
                jobs.back().id = ippGetInteger(attr, 0);
            } else if (name == "job-state") {
                jobs.back().state = ippGetInteger(attr, 0);
            } else if (name == "job-impressions-completed") {
                jobs.back().pages = ippGetInteger(attr, 0);
            }
        }
        ippDelete(response);
        if (jobs.back().id == 0) {
            jobs.pop_back();
        }
        std::ranges::sort(jobs, {}, &Job::id);
        return jobs;
    }
};

// The writer is blocked in the first printer call, so the reader at the far end of the port has
// the whole page by now only if it was all sent before the call.
struct PageFirst final : SystemPrinter {
    PageFirst(SystemPrinter& printer, testing::FifoReader& fifo) : printer(printer), fifo(fifo) {}
    void newPage() override {
        const std::size_t size = testing::pageBytes(TwentyFourPin).size();
        for (const auto deadline = Clock::now() + 2s;
             fifo.count() < size && Clock::now() < deadline;) {
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_EQ(fifo.count(), size) << "the printer was called before the page had gone out";
        printer.newPage();
    }
    void endDocument() override { printer.endDocument(); }
    void abortDocument() override { printer.abortDocument(); }

    SystemPrinter& printer;
    testing::FifoReader& fifo;
};

struct RunResult {
    std::optional<PrinterError> error;
    Bytes received;
    bool portClosed = false;
};

// One 24-pin run against a FIFO standing in for the port, on a thread of its own as the program
// runs it. A run that does not come back ends the test program instead of hanging it.
RunResult runTwentyFourPin(SystemPrinter& printer) {
    testing::FifoReader fifo;
    DevicePrinterPort port(fifo.path());
    PageFirst watched(printer, fifo);
    auto result = std::async(std::launch::async, [&]() -> std::optional<PrinterError> {
        try {
            EXPECT_EQ(runPinTest(TwentyFourPin, port, watched), PinTestOutcome::Completed);
        } catch (const PrinterError& error) {
            return error;
        }
        return std::nullopt;
    });
    if (result.wait_for(60s) != std::future_status::ready) {
        ADD_FAILURE() << "the run did not come back within 60 s";
        std::fflush(nullptr);
        std::_Exit(1);
    }
    return RunResult{result.get(), fifo.received(), fifo.writerClosed()};
}

// The page went out whole, the printer failed as expected, and the port was closed.
void expectFailure(const RunResult& run, PrinterError::Kind kind, int errorNumber,
                   std::initializer_list<std::string> words) {
    ASSERT_TRUE(run.error) << "the run did not fail";
    EXPECT_EQ(run.error->kind(), kind) << run.error->what();
    EXPECT_EQ(run.error->errorNumber(), errorNumber) << run.error->what();
    for (const std::string& word : words) {
        EXPECT_NE(std::string(run.error->what()).find(word), std::string::npos)
            << run.error->what();
    }
    EXPECT_TRUE(run.received == testing::pageBytes(TwentyFourPin));
    EXPECT_TRUE(run.portClosed);
}

// The user's and the machine's printer choices stay out: every test has its own HOME (with its
// own ~/.cups/lpoptions) and CUPS_SERVERROOT, and no PRINTER or LPDEST.
class CupsSystemPrinterTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("PRINTER");
        unsetenv("LPDEST");
        setenv("HOME", home_.path().c_str(), 1);
        setenv("CUPS_SERVERROOT", clientRoot_.path().c_str(), 1);

        // Taken once: the tests point CUPS_SERVER elsewhere as they go.
        static const char* const fromCtest = std::getenv("CUPS_SERVER");
        static const std::string mainSocket = fromCtest != nullptr ? fromCtest : "";
        if (mainSocket.empty() || mainSocket.front() != '/') {
            skipOrFail("no private print server: run these tests through ctest, which starts one");
            return;
        }
        main_.dir = std::filesystem::path(mainSocket).parent_path();
        bare_.dir = main_.dir.parent_path() / "bare";
        if (std::filesystem::exists(main_.dir / "skip")) {
            skipOrFail(main_.read("skip"));
            return;
        }
        for (const PrintServer* server : {&main_, &bare_}) {
            ASSERT_TRUE(std::filesystem::exists(server->socket()))
                << "the private print server is not running: " << server->logTail();
        }
        use(main_.socket());
    }

    void skipOrFail(const std::string& reason) {
        if (std::getenv("KESTRUN_REQUIRE_CUPSD") != nullptr) {
            FAIL() << "KESTRUN_REQUIRE_CUPSD is set, but " << reason;
        }
        GTEST_SKIP() << reason;
    }

    // libcups reads CUPS_SERVER afresh on every new thread, and each run has a new one.
    static void use(const std::string& socket) { setenv("CUPS_SERVER", socket.c_str(), 1); }

    testing::TempDir home_;
    testing::TempDir clientRoot_;
    PrintServer main_;
    PrintServer bare_;
};

TEST_F(CupsSystemPrinterTest, EachRunHandsTheDefaultPrinterOneJobOfOneBlankPageAfterThePage) {
    const auto before = main_.jobs("kestrun-default");
    CupsSystemPrinter printer;  // one object for both runs, as in the program
    for (std::size_t round = 1; round <= 2; ++round) {
        SCOPED_TRACE("run " + std::to_string(round));
        const RunResult run = runTwentyFourPin(printer);
        ASSERT_FALSE(run.error) << run.error->what() << "\n" << main_.logTail();
        const Bytes page = testing::pageBytes(TwentyFourPin);
        EXPECT_TRUE(run.received == page) << testing::hexDiff(page, run.received);

        const auto after = main_.jobs("kestrun-default");
        ASSERT_EQ(after.size(), before.size() + round) << "jobs on the default printer";
        EXPECT_EQ(after.back().state, IPP_JSTATE_COMPLETED) << main_.logTail();
        EXPECT_EQ(after.back().pages, 1) << "pages printed by the job";
    }
    // Pages of one document make one job, and an aborted document none.
    std::async(std::launch::async, [&] {
        printer.newPage();
        printer.newPage();
        printer.endDocument();
        printer.newPage();
        printer.abortDocument();
        printer.endDocument();
    }).get();
    const auto after = main_.jobs("kestrun-default");
    ASSERT_EQ(after.size(), before.size() + 3) << "jobs on the default printer";
    EXPECT_EQ(after.back().pages, 2) << main_.logTail();
}

TEST_F(CupsSystemPrinterTest, WithoutADefaultPrinterTheRunFailsAfterThePageAndNoJobIsMade) {
    use(bare_.socket());
    CupsSystemPrinter printer;
    expectFailure(runTwentyFourPin(printer), PrinterError::Kind::NoDefaultPrinter, 0,
                  {"没有安装默认打印机", "驱动程序"});
    EXPECT_TRUE(bare_.jobs().empty()) << "a job appeared on the server without a default";
}

// Queues that refuse, chosen each in one of the ways a user can choose a default: were the choice
// ignored, the run would go to the server's default printer and succeed.
TEST_F(CupsSystemPrinterTest, AQueueThatRejectsJobsOrIsStoppedFailsTheRunWithTheServersReason) {
    const struct {
        const char* setBy;
        const char* queue;
        const char* reason;
    } cases[] = {{"PRINTER", "kestrun-refusing", "Kestrun test queue: paper jam"},
                 {"LPDEST", "kestrun-stopped", "Kestrun test queue: maintenance"},
                 {"lpoptions", "kestrun-refusing", "Kestrun test queue: paper jam"}};
    for (const auto& choice : cases) {
        SCOPED_TRACE(choice.setBy);
        const auto before = main_.jobs(choice.queue).size();
        if (std::string(choice.setBy) == "lpoptions") {
            std::filesystem::create_directories(home_.path() / ".cups");
            std::ofstream(home_.path() / ".cups" / "lpoptions")
                << "Default " << choice.queue << "\n";
        } else {
            setenv(choice.setBy, choice.queue, 1);
        }
        CupsSystemPrinter printer;
        expectFailure(runTwentyFourPin(printer), PrinterError::Kind::Refused, 0,
                      {choice.reason, choice.queue});
        unsetenv(choice.setBy);
        EXPECT_EQ(main_.jobs(choice.queue).size(), before) << "a job was made on " << choice.queue;
    }
}

// A Unix socket at `path`, listened on but never accepted (the kernel takes the request and no
// answer comes), or else closed again, which leaves the socket file of a server that has gone.
int unixSocket(const std::string& path, bool listening) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
    EXPECT_EQ(listening ? listen(fd, 8) : ::close(fd), 0) << std::strerror(errno);
    return fd;
}

TEST_F(CupsSystemPrinterTest, AServerThatIsNotThereOrNeverAnswersFailsTheRunWithinTheTimeLimit) {
    const std::string neverRan = (home_.path() / "never-ran.sock").string();
    const std::string gone = (home_.path() / "gone.sock").string();
    const std::string silent = (home_.path() / "silent.sock").string();
    unixSocket(gone, false);
    const int listening = unixSocket(silent, true);
    const struct {
        std::string socket;
        int errorNumber;
    } cases[] = {{neverRan, ENOENT}, {gone, ECONNREFUSED}, {silent, ETIMEDOUT}};
    for (const auto& server : cases) {
        SCOPED_TRACE(server.socket);
        use(server.socket);
        CupsSystemPrinter printer;
        const auto start = Clock::now();
        const RunResult run = runTwentyFourPin(printer);
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        // One exchange times out and the call gives up: nothing waits twice.
        EXPECT_LT(took, 2 * kPrintServerTimeout);
        expectFailure(run, PrinterError::Kind::NotAnswering, server.errorNumber, {server.socket});
    }
    ::close(listening);
}

}  // namespace
}  // namespace kestrun
