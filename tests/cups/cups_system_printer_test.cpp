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
#include <functional>
#include <future>
#include <optional>
#include <regex>
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

    struct Job {
        int id;
        ipp_jstate_t state;
        std::string format;
    };
    // The jobs on `queue` (on every queue when null), oldest first, once none of them is still
    // waiting or printing (or after 30 s).
    std::vector<Job> jobs(const char* queue = nullptr) const {
        cupsSetServer(socket().c_str());
        for (const auto deadline = Clock::now() + 30s;; std::this_thread::sleep_for(100ms)) {
            cups_job_t* list = nullptr;
            const int count = cupsGetJobs2(CUPS_HTTP_DEFAULT, &list, queue, 0, CUPS_WHICHJOBS_ALL);
            EXPECT_GE(count, 0) << socket() << ": " << cupsLastErrorString();
            std::vector<Job> jobs;
            for (int i = 0; i < count; ++i) {
                jobs.push_back({list[i].id, list[i].state, list[i].format});
            }
            cupsFreeJobs(count, list);
            std::ranges::sort(jobs, {}, &Job::id);
            if (std::ranges::all_of(jobs,
                                    [](auto& job) { return job.state >= IPP_JSTATE_STOPPED; }) ||
                Clock::now() > deadline) {
                return jobs;
            }
        }
    }

    // Sends what `queue` prints to `port` on this machine, as to a network printer.
    void pointAt(const char* queue, int port) const {
        const std::string command = "PATH=$PATH:/usr/sbin lpadmin -h " + socket() + " -p " + queue +
                                    " -v socket://127.0.0.1:" + std::to_string(port) +
                                    "/?snmp=false";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
};

// A network printer on this machine: each job comes on a connection of its own.
struct NetworkPrinter {
    NetworkPrinter() {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof address;
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(listen(fd, 8), 0);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
    }
    ~NetworkPrinter() { ::close(fd); }

    // Everything the next job sends; "no job" when none came within 30 s.
    std::string receive() const {
        pollfd entry{fd, POLLIN, 0};
        const int job = poll(&entry, 1, 30000) == 1 ? accept(fd, nullptr, nullptr) : -1;
        std::string data = job < 0 ? "no job" : "";
        char chunk[65536];
        for (ssize_t n; (n = ::read(job, chunk, sizeof chunk)) > 0;) {
            data.append(chunk, static_cast<std::size_t>(n));
        }
        ::close(job);
        return data;
    }

    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port = 0;
};

// Makes `calls` on a thread of its own, as the program does; libcups reads CUPS_SERVER afresh on
// every new thread. Calls that do not come back end the test program instead of hanging it.
std::optional<PrinterError> onNewThread(const std::function<void()>& calls) {
    auto result = std::async(std::launch::async, [&]() -> std::optional<PrinterError> {
        try {
            calls();
        } catch (const PrinterError& error) {
            return error;
        }
        return std::nullopt;
    });
    if (result.wait_for(60s) != std::future_status::ready) {
        ADD_FAILURE() << "the calls did not come back within 60 s";
        std::fflush(nullptr);
        std::_Exit(1);
    }
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
                << "the private print server is not running";
        }
    }

    void skipOrFail(const std::string& reason) {
        if (std::getenv("KESTRUN_REQUIRE_CUPSD") != nullptr) {
            FAIL() << "KESTRUN_REQUIRE_CUPSD is set, but " << reason;
        }
        GTEST_SKIP() << reason;
    }

    testing::TempDir home_;
    testing::TempDir clientRoot_;
    PrintServer main_;
    PrintServer bare_;
};

// A driver turns blank PDF pages into the printer's language; a raw queue would print a PDF as
// lines of text, so it gets the printer's own form feed, one per page and nothing else.
TEST_F(CupsSystemPrinterTest, EachRunHandsTheDefaultPrinterOneJobThatEjectsEachPage) {
    const struct {
        const char* queue;
        const char* format;
        const char* onePage;  // what the printer gets for each page
    } cases[] = {{"kestrun-default", CUPS_FORMAT_PDF, "%%Page:"},
                 {"kestrun-raw", CUPS_FORMAT_RAW, "\f"}};
    setenv("CUPS_SERVER", main_.socket().c_str(), 1);
    for (const auto& queue : cases) {
        SCOPED_TRACE(queue.queue);
        const bool raw = queue.format == std::string(CUPS_FORMAT_RAW);
        if (raw) {
            setenv("PRINTER", queue.queue, 1);  // the server's default has the driver
        }
        NetworkPrinter device;
        main_.pointAt(queue.queue, device.port);
        const std::size_t before = main_.jobs(queue.queue).size();
        const auto expectJob = [&](std::size_t jobs, long pages) {
            const std::string data = device.receive();
            const auto after = main_.jobs(queue.queue);
            ASSERT_EQ(after.size(), before + jobs) << "jobs on " << queue.queue;
            EXPECT_EQ(after.back().state, IPP_JSTATE_COMPLETED);
            EXPECT_EQ(after.back().format, queue.format);
            const std::regex page(queue.onePage);
            EXPECT_EQ(std::distance(std::sregex_iterator(data.begin(), data.end(), page), {}),
                      pages);
            EXPECT_TRUE(!raw || data.size() == static_cast<std::size_t>(pages)) << data;
        };
        CupsSystemPrinter printer;  // one object for every run, as in the program
        for (std::size_t round = 1; round <= 2; ++round) {
            testing::FifoReader fifo;
            DevicePrinterPort port(fifo.path());
            const auto error = onNewThread([&] { runPinTest(TwentyFourPin, port, printer); });
            ASSERT_FALSE(error) << error->what();
            EXPECT_TRUE(fifo.received() == testing::pageBytes(TwentyFourPin));
            expectJob(round, 1);
        }
        // Pages of one document make one job, and an aborted document none.
        onNewThread([&] {
            printer.newPage();
            printer.newPage();
            printer.endDocument();
            printer.newPage();
            printer.abortDocument();
            printer.endDocument();
        });
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

// The calls fail within the time limit, say why, and leave no job waiting: none is made, or the
// one made is cancelled. A queue chosen in one of the ways a user can choose a default is really
// used: were the choice ignored, the calls would succeed on the server's default printer.
TEST_F(CupsSystemPrinterTest, CallsThatTheServerFailsSayWhyAndLeaveNoJobWaiting) {
    const std::string neverRan = (home_.path() / "never-ran.sock").string();
    const std::string gone = (home_.path() / "gone.sock").string();
    const std::string silent = (home_.path() / "silent.sock").string();
    unixSocket(gone, false);
    const int listening = unixSocket(silent, true);
    using enum PrinterError::Kind;
    const struct {
        const PrintServer* server;
        std::string socket;  // when there is no server
        const char* setBy;
        const char* queue;
        PrinterError::Kind kind;
        int errorNumber;
        std::vector<std::string> words;
        std::size_t cancelledJobs = 0;
    } cases[] = {
        {&main_,
         {},
         "PRINTER",
         "kestrun-refusing",
         Refused,
         0,
         {"Kestrun test queue: paper jam", "kestrun-refusing", "cupsaccept"}},
        {&main_,
         {},
         "LPDEST",
         "kestrun-stopped",
         Refused,
         0,
         {"Kestrun test queue: maintenance", "kestrun-stopped", "cupsenable"}},
        {&main_,
         {},
         "lpoptions",
         "kestrun-refusing",
         Refused,
         0,
         {"paper jam", "kestrun-refusing"}},
        {&bare_, {}, nullptr, nullptr, NoDefaultPrinter, 0, {"没有安装默认打印机", "驱动程序"}},
        // The server makes the job, then refuses the document as too big.
        {&bare_, {}, "PRINTER", "kestrun-idle", Refused, 0, {"kestrun-idle", "接收测试页"}, 1},
        {nullptr, neverRan, nullptr, nullptr, NotAnswering, ENOENT, {neverRan}},
        {nullptr, gone, nullptr, nullptr, NotAnswering, ECONNREFUSED, {gone}},
        {nullptr, silent, nullptr, nullptr, NotAnswering, ETIMEDOUT, {silent, "5 秒"}},
    };
    for (const auto& c : cases) {
        const std::string socket = c.server != nullptr ? c.server->socket() : c.socket;
        SCOPED_TRACE(socket + " " + (c.setBy != nullptr ? c.setBy : "no choice"));
        setenv("CUPS_SERVER", socket.c_str(), 1);
        if (c.setBy != nullptr && c.setBy == std::string("lpoptions")) {
            std::filesystem::create_directories(home_.path() / ".cups");
            std::ofstream(home_.path() / ".cups" / "lpoptions") << "Default " << c.queue << "\n";
        } else if (c.setBy != nullptr) {
            setenv(c.setBy, c.queue, 1);
        }
        const std::size_t before = c.server != nullptr ? c.server->jobs(c.queue).size() : 0;
        CupsSystemPrinter printer;
        const auto start = Clock::now();
        const auto error = onNewThread([&] {
            printer.newPage();
            printer.endDocument();
            printer.abortDocument();
        });
        // One exchange times out and the call gives up: nothing waits twice.
        EXPECT_LT(Clock::now() - start, 2 * kPrintServerTimeout);
        ASSERT_TRUE(error) << "the calls did not fail";
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
        unsetenv(c.setBy != nullptr ? c.setBy : "PRINTER");
        std::filesystem::remove_all(home_.path() / ".cups");
    }
    ::close(listening);
}

}  // namespace
}  // namespace kestrun
