#include "platform/linux/cups_system_printer.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "fifo.h"
#include "page_bytes.h"
#include "pintest/pin_test.h"
#include "platform/linux/device_printer_port.h"
#include "print_server.h"

namespace kestrun {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kJobCompleted = 9;  // IPP job-state "completed"

// Runs `work` on a thread of its own, as the program runs a test off its UI thread. A call that
// does not come back ends the test program with a message instead of hanging it.
template <class Work>
auto onWorker(Work work) {
    auto result = std::async(std::launch::async, std::move(work));
    if (result.wait_for(60s) != std::future_status::ready) {
        ADD_FAILURE() << "the call did not come back within 60 s";
        std::fflush(nullptr);
        std::_Exit(1);
    }
    return result.get();
}

// Passes the calls on to the real printer and notes what the port had received at each.
class WatchedPrinter final : public SystemPrinter {
public:
    struct Call {
        std::string name;
        bool pageReceived;  // the whole page had reached the printer end of the port
        bool portOpen;
    };

    WatchedPrinter(SystemPrinter& printer, testing::FifoReader& fifo, std::size_t pageSize)
        : printer_(printer), fifo_(fifo), pageSize_(pageSize) {}

    void newPage() override {
        note("newPage");
        printer_.newPage();
    }
    void endDocument() override {
        note("endDocument");
        printer_.endDocument();
    }
    void abortDocument() override {
        note("abortDocument");
        printer_.abortDocument();
    }

    std::vector<Call> calls;

private:
    void note(const char* name) {
        // The writer is blocked in this call, so the reader gets the whole page now only if it
        // was all written before the call.
        const auto deadline = Clock::now() + 2s;
        while (fifo_.count() < pageSize_ && Clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        calls.push_back({name, fifo_.count() == pageSize_, !fifo_.writerClosed()});
    }

    SystemPrinter& printer_;
    testing::FifoReader& fifo_;
    std::size_t pageSize_;
};

// One 24-pin run against a FIFO standing in for the port, on a worker thread.
struct RunResult {
    std::exception_ptr failure;
    std::vector<WatchedPrinter::Call> calls;
    Bytes received;
    bool portClosed = false;

    PrinterError printerError() const {
        try {
            if (failure) {
                std::rethrow_exception(failure);
            }
        } catch (const PrinterError& error) {
            return error;
        } catch (const std::exception& error) {
            ADD_FAILURE() << "the run failed with something else: " << error.what();
        }
        ADD_FAILURE() << "the run did not fail";
        return PrinterError(PrinterError::Kind::Failed, 0, "");
    }
};

RunResult runTwentyFourPin(SystemPrinter& printer) {
    const Bytes page = testing::pageBytes(TwentyFourPin);
    testing::FifoReader fifo;
    DevicePrinterPort port(fifo.path());
    WatchedPrinter watched(printer, fifo, page.size());
    RunResult run;
    run.failure = onWorker([&]() -> std::exception_ptr {
        try {
            EXPECT_EQ(runPinTest(TwentyFourPin, port, watched), PinTestOutcome::Completed);
            return nullptr;
        } catch (...) {
            return std::current_exception();
        }
    });
    run.received = fifo.received();
    run.portClosed = fifo.writerClosed();
    run.calls = watched.calls;
    return run;
}

std::string describe(const std::exception_ptr& failure) {
    try {
        if (failure) {
            std::rethrow_exception(failure);
        }
    } catch (const std::exception& error) {
        return error.what();
    }
    return "no failure";
}

int highestJob(const std::vector<testing::ServerJob>& jobs) {
    int id = 0;
    for (const auto& job : jobs) {
        id = std::max(id, job.id);
    }
    return id;
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
        const std::filesystem::path mainDir = std::filesystem::path(mainSocket).parent_path();
        main_.emplace(mainDir);
        bare_.emplace(mainDir.parent_path() / "bare");
        if (auto reason = main_->unavailable()) {
            skipOrFail(*reason);
            return;
        }
        ASSERT_TRUE(std::filesystem::exists(main_->socket()))
            << "the private print server is not running: " << main_->logTail();
        ASSERT_TRUE(std::filesystem::exists(bare_->socket()))
            << "the private print server without a default is not running: " << bare_->logTail();
        use(*main_);
    }

    void skipOrFail(const std::string& reason) {
        if (std::getenv("KESTRUN_REQUIRE_CUPSD") != nullptr) {
            FAIL() << "KESTRUN_REQUIRE_CUPSD is set, but " << reason;
        }
        GTEST_SKIP() << reason;
    }

    // libcups reads CUPS_SERVER afresh on every new thread, and each call runs on a new one.
    static void use(const std::string& socket) { setenv("CUPS_SERVER", socket.c_str(), 1); }
    static void use(const testing::PrintServer& server) { use(server.socket()); }

    void chooseInLpoptions(const std::string& printer) {
        std::filesystem::create_directories(home_.path() / ".cups");
        std::ofstream(home_.path() / ".cups" / "lpoptions") << "Default " << printer << "\n";
    }

    testing::TempDir home_;
    testing::TempDir clientRoot_;
    std::optional<testing::PrintServer> main_;
    std::optional<testing::PrintServer> bare_;
};

TEST_F(CupsSystemPrinterTest, EachRunHandsTheDefaultPrinterOneJobOfOneBlankPageAfterThePage) {
    const auto before = main_->jobs("kestrun-default");
    const Bytes page = testing::pageBytes(TwentyFourPin);
    CupsSystemPrinter printer;  // one object for both runs, as in the program

    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE("run " + std::to_string(round));
        const RunResult run = runTwentyFourPin(printer);
        ASSERT_FALSE(run.failure) << describe(run.failure) << "\n" << main_->logTail();
        EXPECT_TRUE(run.received == page) << testing::hexDiff(page, run.received);
        EXPECT_TRUE(run.portClosed);
        ASSERT_EQ(run.calls.size(), 3u);
        const char* const order[] = {"newPage", "endDocument", "abortDocument"};
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(run.calls[i].name, order[i]);
            EXPECT_TRUE(run.calls[i].pageReceived) << run.calls[i].name << " before the page";
            EXPECT_TRUE(run.calls[i].portOpen) << run.calls[i].name << " after the port closed";
        }

        ASSERT_TRUE(main_->waitUntilIdle(30s)) << main_->logTail();
        const auto after = main_->jobs("kestrun-default");
        ASSERT_EQ(after.size(), before.size() + round) << "jobs on the default printer";
        const auto job = std::find_if(after.begin(), after.end(),
                                      [&](const auto& j) { return j.id == highestJob(after); });
        EXPECT_EQ(job->state, kJobCompleted) << main_->logTail();
        EXPECT_EQ(job->pages, 1) << "pages printed by the job";
    }
    // The driver really turned the job into printer data.
    EXPECT_GT(std::filesystem::file_size(main_->dir() / "out" / "default.prn"), 0u);
}

TEST_F(CupsSystemPrinterTest, PagesOfOneDocumentMakeOneJobAndAnAbortedDocumentMakesNone) {
    const auto before = main_->jobs("kestrun-pages");
    chooseInLpoptions("kestrun-pages");
    CupsSystemPrinter printer;
    onWorker([&] {
        printer.newPage();
        printer.newPage();
        printer.endDocument();
        printer.abortDocument();  // after the end nothing is open: does nothing

        printer.newPage();
        printer.abortDocument();
        printer.endDocument();  // nothing open any more: no job
    });
    ASSERT_TRUE(main_->waitUntilIdle(30s)) << main_->logTail();
    const auto after = main_->jobs("kestrun-pages");
    ASSERT_EQ(after.size(), before.size() + 1);
    for (const auto& job : after) {
        if (job.id == highestJob(after)) {
            EXPECT_EQ(job.state, kJobCompleted) << main_->logTail();
            EXPECT_EQ(job.pages, 2);
        }
    }
}

TEST_F(CupsSystemPrinterTest, TheUsersChoiceOfDefaultPrinterWins) {
    const struct {
        const char* variable;
        const char* printer;
    } choices[] = {{"PRINTER", "kestrun-other"}, {"LPDEST", "kestrun-other"}};
    for (const auto& choice : choices) {
        SCOPED_TRACE(choice.variable);
        const auto before = main_->jobs("kestrun-other").size();
        setenv(choice.variable, choice.printer, 1);
        CupsSystemPrinter printer;
        onWorker([&] {
            printer.newPage();
            printer.endDocument();
        });
        unsetenv(choice.variable);
        EXPECT_EQ(main_->jobs("kestrun-other").size(), before + 1);
    }
}

TEST_F(CupsSystemPrinterTest, WithoutADefaultPrinterTheRunFailsAfterThePageAndNoJobIsMade) {
    use(*bare_);
    CupsSystemPrinter printer;
    const RunResult run = runTwentyFourPin(printer);

    const PrinterError error = run.printerError();
    EXPECT_EQ(error.kind(), PrinterError::Kind::NoDefaultPrinter) << error.what();
    EXPECT_NE(std::string(error.what()).find("没有安装默认打印机"), std::string::npos)
        << error.what();
    EXPECT_NE(std::string(error.what()).find("驱动程序"), std::string::npos) << error.what();
    EXPECT_TRUE(run.received == testing::pageBytes(TwentyFourPin));
    ASSERT_EQ(run.calls.size(), 1u);
    EXPECT_TRUE(run.calls[0].pageReceived);
    EXPECT_TRUE(run.portClosed);
    EXPECT_TRUE(bare_->jobs().empty()) << "a job appeared on the server without a default";
}

TEST_F(CupsSystemPrinterTest, AQueueThatRejectsJobsFailsTheRunWithTheServersReason) {
    chooseInLpoptions("kestrun-refusing");  // also shows that `lpoptions -d` is honoured
    const auto before = main_->jobs("kestrun-refusing").size();
    CupsSystemPrinter printer;
    const RunResult run = runTwentyFourPin(printer);

    const PrinterError error = run.printerError();
    EXPECT_EQ(error.kind(), PrinterError::Kind::Refused) << error.what();
    EXPECT_EQ(error.errorNumber(), 0);
    EXPECT_NE(std::string(error.what()).find("Kestrun test queue: paper jam"), std::string::npos)
        << error.what();
    EXPECT_NE(std::string(error.what()).find("kestrun-refusing"), std::string::npos);
    EXPECT_TRUE(run.portClosed);
    EXPECT_EQ(main_->jobs("kestrun-refusing").size(), before);
}

TEST_F(CupsSystemPrinterTest, AStoppedQueueIsRefusedBeforeAJobWaitsInItForever) {
    setenv("LPDEST", "kestrun-stopped", 1);
    const auto before = main_->jobs("kestrun-stopped").size();
    CupsSystemPrinter printer;
    const RunResult run = runTwentyFourPin(printer);

    const PrinterError error = run.printerError();
    EXPECT_EQ(error.kind(), PrinterError::Kind::Refused) << error.what();
    EXPECT_NE(std::string(error.what()).find("Kestrun test queue: maintenance"), std::string::npos)
        << error.what();
    EXPECT_EQ(main_->jobs("kestrun-stopped").size(), before);
}

TEST_F(CupsSystemPrinterTest, NoPrintServerAtAllIsReportedAsNotAnswering) {
    // A server that never ran leaves no socket; one that has gone leaves its socket behind.
    const std::string neverRan = (home_.path() / "never-ran.sock").string();
    const std::string gone = (home_.path() / "gone.sock").string();
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, gone.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);

    const struct {
        std::string socket;
        int errorNumber;
    } cases[] = {{neverRan, ENOENT}, {gone, ECONNREFUSED}};
    for (const auto& server : cases) {
        SCOPED_TRACE(server.socket);
        use(server.socket);
        CupsSystemPrinter printer;  // makes no connection yet
        try {
            onWorker([&] { printer.newPage(); });
            ADD_FAILURE() << "newPage succeeded without a print server";
        } catch (const PrinterError& error) {
            EXPECT_EQ(error.kind(), PrinterError::Kind::NotAnswering) << error.what();
            EXPECT_EQ(error.errorNumber(), server.errorNumber) << error.what();
            EXPECT_NE(std::string(error.what()).find(server.socket), std::string::npos);
        }
        // No document was opened, so ending one has nothing to send and does not fail.
        EXPECT_NO_THROW(onWorker([&] { printer.endDocument(); }));
    }
}

// A Unix socket that is listened on but never accepted: the kernel completes the connection and
// takes the request, and no answer ever comes.
class SilentSocket {
public:
    explicit SilentSocket(std::string path) : path_(std::move(path)) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(fd_, 8) != 0) {
            ADD_FAILURE() << "cannot listen on " << path_ << ": " << std::strerror(errno);
        }
    }
    ~SilentSocket() {
        ::close(fd_);
        unlink(path_.c_str());
    }
    SilentSocket(const SilentSocket&) = delete;
    SilentSocket& operator=(const SilentSocket&) = delete;

private:
    std::string path_;
    int fd_ = -1;
};

TEST_F(CupsSystemPrinterTest, AServerThatNeverAnswersFailsTheRunWithinTheTimeLimit) {
    const std::string socket = (home_.path() / "silent.sock").string();
    SilentSocket silent(socket);
    use(socket);
    CupsSystemPrinter printer;

    const auto start = Clock::now();
    const RunResult run = runTwentyFourPin(printer);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    RecordProperty("run_ms", static_cast<int>(took.count()));
    std::cout << "run against a silent socket failed after " << took.count() << " ms\n";

    const PrinterError error = run.printerError();
    EXPECT_EQ(error.kind(), PrinterError::Kind::NotAnswering) << error.what();
    EXPECT_EQ(error.errorNumber(), ETIMEDOUT);
    EXPECT_TRUE(run.portClosed);
    // One exchange times out and the call gives up: nothing waits twice.
    EXPECT_LT(took, 2 * kPrintServerTimeout);
}

TEST_F(CupsSystemPrinterTest, AStoppedPrintServerIsAnErrorAndTheNextCallWorksAgain) {
    const std::string fixture = KESTRUN_CUPSD_FIXTURE;
    testing::TempDir dir;
    const std::string serverDir = (dir.path() / "cupsd").string();
    std::string output;
    ASSERT_EQ(testing::runCommand(fixture + " start " + serverDir + " single", &output), 0)
        << output;
    const testing::PrintServer server(serverDir);
    struct StopServer {
        std::string command;
        ~StopServer() { testing::runCommand(command); }
    } stopServer{fixture + " stop " + serverDir};
    const int pid = server.pid();
    ASSERT_GT(pid, 0);
    use(server);
    CupsSystemPrinter printer;

    const auto failsNotAnswering = [&](auto call, const char* name) {
        SCOPED_TRACE(name);
        ASSERT_EQ(kill(pid, SIGSTOP), 0);
        const auto start = Clock::now();
        try {
            onWorker(call);
            ADD_FAILURE() << name << " succeeded on a stopped server";
        } catch (const PrinterError& error) {
            EXPECT_EQ(error.kind(), PrinterError::Kind::NotAnswering) << error.what();
            EXPECT_EQ(error.errorNumber(), ETIMEDOUT);
        }
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        std::cout << name << " against a stopped cupsd failed after " << took.count() << " ms\n";
        RecordProperty(std::string(name) + "_ms", static_cast<int>(took.count()));
        EXPECT_LT(took, 2 * kPrintServerTimeout);
        ASSERT_EQ(kill(pid, SIGCONT), 0);
    };

    failsNotAnswering([&] { printer.newPage(); }, "newPage");
    onWorker([&] { printer.newPage(); });  // the server answers again
    failsNotAnswering([&] { printer.endDocument(); }, "endDocument");

    // The failed end discarded the document, and no half-made job turned up once the server went
    // on with the requests it had been sent.
    ASSERT_TRUE(server.waitUntilIdle(30s)) << server.logTail();
    EXPECT_TRUE(server.jobs().empty());
    EXPECT_NO_THROW(onWorker([&] { printer.endDocument(); }));
    EXPECT_TRUE(server.jobs().empty());
}

}  // namespace
}  // namespace kestrun
