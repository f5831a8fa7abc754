#include "platform/linux/cups_system_printer.h"

#include <arpa/inet.h>
#include <cups/cups.h>
#include <gtest/gtest.h>
#include <poll.h>
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

// A private cupsd made by cupsd-fixture.sh: the folder holds its socket and logs.
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
        int id;
        ipp_jstate_t state;
        std::string format;
    };
    // The jobs on `queue` (on every queue when null), oldest first, once none of them is still
    // waiting or printing (or after 30 s).
    std::vector<Job> jobs(const char* queue = nullptr) const {
        http_t* http = httpConnect2(socket().c_str(), ippPort(), nullptr, AF_UNSPEC,
                                    HTTP_ENCRYPTION_NEVER, 1, 5000, nullptr);
        EXPECT_NE(http, nullptr) << socket();
        std::vector<Job> jobs;
        for (const auto deadline = Clock::now() + 30s; http != nullptr;) {
            cups_job_t* list = nullptr;
            const int count = cupsGetJobs2(http, &list, queue, 0, CUPS_WHICHJOBS_ALL);
            EXPECT_GE(count, 0) << cupsLastErrorString();
            jobs.clear();
            for (int i = 0; i < count; ++i) {
                jobs.push_back({list[i].id, list[i].state, list[i].format ? list[i].format : ""});
            }
            cupsFreeJobs(count, list);
            if (std::ranges::all_of(jobs,
                                    [](const Job& j) { return j.state >= IPP_JSTATE_STOPPED; }) ||
                Clock::now() > deadline) {
                break;
            }
            std::this_thread::sleep_for(100ms);
        }
        httpClose(http);
        std::ranges::sort(jobs, {}, &Job::id);
        return jobs;
    }

    // Sends what `queue` prints to `port` on this machine.
    void pointAt(const char* queue, int port) const {
        const std::string command = "PATH=$PATH:/usr/sbin lpadmin -h " + socket() + " -p " + queue +
                                    " -v socket://127.0.0.1:" + std::to_string(port) +
                                    "/?snmp=false";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
};

// A network printer as the socket backend reaches one: what each job sends, on a connection of
// its own.
class NetworkPrinter {
public:
    NetworkPrinter() {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof address;
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(listen(fd_, 8), 0);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }
    ~NetworkPrinter() { ::close(fd_); }
    NetworkPrinter(const NetworkPrinter&) = delete;
    NetworkPrinter& operator=(const NetworkPrinter&) = delete;

    int port() const { return port_; }
    // Everything the next job sends; "no job" when none came within 30 s.
    std::string receive() {
        pollfd entry{fd_, POLLIN, 0};
        if (poll(&entry, 1, 30000) != 1) {
            return "no job";
        }
        const int job = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        const timeval limit{30, 0};
        setsockopt(job, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::string data;
        char chunk[65536];
        for (ssize_t n; (n = ::read(job, chunk, sizeof chunk)) > 0;) {
            data.append(chunk, static_cast<std::size_t>(n));
        }
        ::close(job);
        return data;
    }

private:
    int fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port_ = 0;
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

// One 24-pin run against a FIFO standing in for the port, on a thread of its own as the program
// runs it. The page went out whole and the port was closed, whatever the printer did. A run that
// does not come back ends the test program instead of hanging it.
std::optional<PrinterError> runTwentyFourPin(SystemPrinter& printer) {
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
    const Bytes page = testing::pageBytes(TwentyFourPin);
    const Bytes received = fifo.received();
    EXPECT_TRUE(received == page) << testing::hexDiff(page, received);
    EXPECT_TRUE(fifo.writerClosed());
    return result.get();
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

// A driver turns the blank PDF pages into the printer's language; a raw queue would print a PDF
// as text, so it gets the printer's own form feed, one per page and nothing else.
TEST_F(CupsSystemPrinterTest, EachRunHandsTheDefaultPrinterOneJobThatEjectsEachPage) {
    const struct {
        const char* queue;
        const char* format;
        std::string onePage;  // what the printer gets for each page
    } cases[] = {{"kestrun-default", CUPS_FORMAT_PDF, "%%Page:"},
                 {"kestrun-raw", CUPS_FORMAT_RAW, "\f"}};
    for (const auto& queue : cases) {
        SCOPED_TRACE(queue.queue);
        const bool raw = queue.format == std::string(CUPS_FORMAT_RAW);
        if (raw) {
            setenv("PRINTER", queue.queue, 1);  // the server's default has the driver
        }
        NetworkPrinter device;
        main_.pointAt(queue.queue, device.port());
        const std::size_t before = main_.jobs(queue.queue).size();
        const auto expectJob = [&](std::size_t jobs, std::size_t pages) {
            const std::string data = device.receive();
            const auto after = main_.jobs(queue.queue);
            ASSERT_EQ(after.size(), before + jobs) << "jobs on " << queue.queue;
            EXPECT_EQ(after.back().state, IPP_JSTATE_COMPLETED) << main_.logTail();
            EXPECT_EQ(after.back().format, queue.format);
            std::size_t found = 0;
            for (auto at = data.find(queue.onePage); at != std::string::npos;
                 at = data.find(queue.onePage, at + 1)) {
                ++found;
            }
            EXPECT_EQ(found, pages) << data.substr(0, 200);
            EXPECT_TRUE(!raw || data.size() == pages) << "more than form feeds: " << data;
        };
        CupsSystemPrinter printer;  // one object for every run, as in the program
        for (std::size_t round = 1; round <= 2; ++round) {
            SCOPED_TRACE("run " + std::to_string(round));
            const auto error = runTwentyFourPin(printer);
            ASSERT_FALSE(error) << error->what() << "\n" << main_.logTail();
            expectJob(round, 1);
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
        expectJob(3, 2);
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

// The run fails after the page, within the time limit, says why, and leaves no job waiting:
// none is made, or the one made is cancelled. A queue chosen in one of the ways a user can choose
// a default is really used: were the choice ignored, the run would succeed on the server's
// default printer.
TEST_F(CupsSystemPrinterTest, ARunThatTheServerFailsSaysWhyAndLeavesNoJobWaiting) {
    const std::string neverRan = (home_.path() / "never-ran.sock").string();
    const std::string gone = (home_.path() / "gone.sock").string();
    const std::string silent = (home_.path() / "silent.sock").string();
    unixSocket(gone, false);
    const int listening = unixSocket(silent, true);
    const struct {
        const PrintServer* server;
        std::string socket;  // when there is no server
        const char* setBy;
        const char* queue;
        PrinterError::Kind kind;
        int errorNumber;
        std::vector<std::string> words;
        std::size_t cancelledJobs;
    } cases[] = {
        {&main_,
         {},
         "PRINTER",
         "kestrun-refusing",
         PrinterError::Kind::Refused,
         0,
         {"Kestrun test queue: paper jam", "kestrun-refusing", "cupsaccept"},
         0},
        {&main_,
         {},
         "LPDEST",
         "kestrun-stopped",
         PrinterError::Kind::Refused,
         0,
         {"Kestrun test queue: maintenance", "kestrun-stopped", "cupsenable"},
         0},
        {&main_,
         {},
         "lpoptions",
         "kestrun-refusing",
         PrinterError::Kind::Refused,
         0,
         {"Kestrun test queue: paper jam", "kestrun-refusing"},
         0},
        {&bare_,
         {},
         nullptr,
         nullptr,
         PrinterError::Kind::NoDefaultPrinter,
         0,
         {"没有安装默认打印机", "驱动程序"},
         0},
        // The server makes the job, then refuses the document as too big.
        {&bare_,
         {},
         "PRINTER",
         "kestrun-idle",
         PrinterError::Kind::Refused,
         0,
         {"kestrun-idle", "接收测试页失败"},
         1},
        {nullptr,
         neverRan,
         nullptr,
         nullptr,
         PrinterError::Kind::NotAnswering,
         ENOENT,
         {neverRan},
         0},
        {nullptr,
         gone,
         nullptr,
         nullptr,
         PrinterError::Kind::NotAnswering,
         ECONNREFUSED,
         {gone},
         0},
        {nullptr,
         silent,
         nullptr,
         nullptr,
         PrinterError::Kind::NotAnswering,
         ETIMEDOUT,
         {silent},
         0},
    };
    for (const auto& c : cases) {
        const std::string socket = c.server != nullptr ? c.server->socket() : c.socket;
        SCOPED_TRACE(socket + " " + (c.setBy != nullptr ? c.setBy : "no choice"));
        use(socket);
        if (c.setBy != nullptr && std::string_view(c.setBy) == "lpoptions") {
            std::filesystem::create_directories(home_.path() / ".cups");
            std::ofstream(home_.path() / ".cups" / "lpoptions") << "Default " << c.queue << "\n";
        } else if (c.setBy != nullptr) {
            setenv(c.setBy, c.queue, 1);
        }
        const std::size_t before = c.server != nullptr ? c.server->jobs(c.queue).size() : 0;
        CupsSystemPrinter printer;
        const auto start = Clock::now();
        const auto error = runTwentyFourPin(printer);
        // One exchange times out and the call gives up: nothing waits twice.
        EXPECT_LT(Clock::now() - start, 2 * kPrintServerTimeout);
        ASSERT_TRUE(error) << "the run did not fail";
        EXPECT_EQ(error->kind(), c.kind) << error->what();
        EXPECT_EQ(error->errorNumber(), c.errorNumber) << error->what();
        for (const std::string& word : c.words) {
            EXPECT_NE(std::string(error->what()).find(word), std::string::npos) << error->what();
        }
        if (c.server != nullptr) {
            const auto after = c.server->jobs(c.queue);
            ASSERT_EQ(after.size(), before + c.cancelledJobs) << "jobs made";
            for (std::size_t job = before; job < after.size(); ++job) {
                EXPECT_EQ(after[job].state, IPP_JSTATE_CANCELED) << "job " << after[job].id;
            }
        }
        unsetenv("PRINTER");
        unsetenv("LPDEST");
        std::filesystem::remove_all(home_.path() / ".cups");
    }
    ::close(listening);
}

}  // namespace
}  // namespace kestrun
