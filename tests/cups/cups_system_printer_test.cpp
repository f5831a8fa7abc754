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
#include <fstream>
#include <future>
#include <regex>
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
using Call = void (SystemPrinter::*)();
constexpr Call kNewPage = &SystemPrinter::newPage, kEnd = &SystemPrinter::endDocument,
               kAbort = &SystemPrinter::abortDocument;

// A print server folder: the private cupsd that cupsd-fixture.sh made there, or a socket alone.
struct PrintServer {
    std::filesystem::path dir;

    std::string socket() const { return (dir / "cups.sock").string(); }
    // The jobs on `queue` (on every queue when null), oldest first, as "state format", once none
    // of them is still waiting or printing (or after 30 s).
    std::vector<std::string> jobs(const char* queue = nullptr) const {
        cupsSetServer(socket().c_str());
        for (const auto deadline = Clock::now() + 30s;; std::this_thread::sleep_for(100ms)) {
            cups_job_t* list = nullptr;
            const int count = cupsGetJobs2(CUPS_HTTP_DEFAULT, &list, queue, 0, CUPS_WHICHJOBS_ALL);
            EXPECT_GE(count, 0) << socket() << ": " << cupsLastErrorString();
            std::sort(list, list + std::max(count, 0),
                      [](auto& a, auto& b) { return a.id < b.id; });
            std::vector<std::string> jobs;
            bool done = true;
            for (int i = 0; i < count; ++i) {
                jobs.push_back(ippEnumString("job-state", list[i].state) +
                               (" " + std::string(list[i].format)));
                done = done && list[i].state >= IPP_JSTATE_STOPPED;
            }
            cupsFreeJobs(count, list);
            if (done || Clock::now() > deadline) {
                return jobs;
            }
        }
    }
};

// A network printer on this machine that `queue` prints to: each job comes on a connection of
// its own.
struct NetworkPrinter {
    NetworkPrinter(const PrintServer& server, const char* queue) {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof address;
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(listen(fd, 8), 0);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        const std::string lpadmin =
            "PATH=$PATH:/usr/sbin lpadmin -h " + server.socket() + " -p " + queue +
            " -v socket://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/?snmp=false";
        EXPECT_EQ(std::system(lpadmin.c_str()), 0) << lpadmin;
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

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

// Runs `calls` on a thread of its own, as the program does; libcups reads CUPS_SERVER afresh on
// every new thread. Calls that do not come back end the test program instead of hanging it.
template <typename Calls>
std::optional<PrinterError> onNewThread(const Calls& calls) {
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

std::optional<PrinterError> call(SystemPrinter& printer, std::initializer_list<Call> calls) {
    return onNewThread([&] {
        for (const Call call : calls) {
            (printer.*call)();
        }
    });
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
        const char* root = std::getenv("KESTRUN_CUPSD_ROOT");
        std::string skip =
            "no private print server: run these tests through ctest, which starts one";
        if (root != nullptr) {
            main_.dir = std::filesystem::path(root) / "main";
            bare_.dir = std::filesystem::path(root) / "bare";
            skip.clear();
            std::getline(std::ifstream(main_.dir / "skip"), skip);
        }
        if (!skip.empty() && std::getenv("KESTRUN_REQUIRE_CUPSD") != nullptr) {
            FAIL() << "KESTRUN_REQUIRE_CUPSD is set, but " << skip;
        } else if (!skip.empty()) {
            GTEST_SKIP() << skip;
        }
        for (const PrintServer* server : {&main_, &bare_}) {
            ASSERT_TRUE(std::filesystem::exists(server->socket())) << "no print server running";
        }
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
        std::string format;
        const char* onePage;  // what the printer gets for each page
    } cases[] = {{"kestrun-default", CUPS_FORMAT_PDF, "%%Page:"},
                 {"kestrun-raw", CUPS_FORMAT_RAW, "\f"}};
    setenv("CUPS_SERVER", main_.socket().c_str(), 1);
    for (const auto& queue : cases) {
        SCOPED_TRACE(queue.queue);
        const bool raw = queue.format == CUPS_FORMAT_RAW;
        if (raw) {
            setenv("PRINTER", queue.queue, 1);  // the server's default has the driver
        }
        const NetworkPrinter device(main_, queue.queue);
        const std::size_t before = main_.jobs(queue.queue).size();
        const auto expectJob = [&](std::size_t jobs, long pages) {
            const std::string data = device.receive();
            const auto after = main_.jobs(queue.queue);
            ASSERT_EQ(after.size(), before + jobs) << "jobs on " << queue.queue;
            EXPECT_EQ(after.back(), "completed " + queue.format);
            const std::regex page(queue.onePage);
            EXPECT_EQ(std::distance(std::sregex_iterator(data.begin(), data.end(), page), {}),
                      pages);
            EXPECT_TRUE(!raw || data.size() == static_cast<std::size_t>(pages)) << data;
        };
        // A test run, as the program makes it, then a second document of two pages on the same
        // object; an aborted document makes no job.
        CupsSystemPrinter printer;
        testing::FifoReader fifo;
        DevicePrinterPort port(fifo.path());
        const auto error = onNewThread([&] { runPinTest(TwentyFourPin, port, printer); });
        ASSERT_FALSE(error) << error->what();
        EXPECT_TRUE(fifo.received() == testing::pageBytes(TwentyFourPin));
        expectJob(1, 1);
        EXPECT_FALSE(call(printer, {kNewPage, kNewPage, kEnd, kNewPage, kAbort, kEnd}));
        expectJob(2, 2);
    }
}

// A Unix socket at `path`, listened on but never accepted (the kernel takes the request and no
// answer comes), or else closed again, which leaves the socket file of a server that has gone.
int unixSocket(const std::string& path, bool listening) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
    EXPECT_EQ(listening ? listen(fd, 8) : ::close(fd), 0) << path;
    return fd;
}

// The calls fail within the time limit, say why, and leave no job waiting: none is made, or the
// one made is cancelled. A queue chosen in one of the ways a user can choose a default is really
// used: were the choice ignored, the calls would succeed on the server's default printer.
TEST_F(CupsSystemPrinterTest, CallsThatTheServerFailsSayWhyAndLeaveNoJobWaiting) {
    const PrintServer neverRan{home_.path()}, gone{home_.path() / "gone"},
        silent{home_.path() / "silent"};
    std::filesystem::create_directories(gone.dir);
    std::filesystem::create_directories(silent.dir);
    unixSocket(gone.socket(), false);
    const int listening = unixSocket(silent.socket(), true);
    using enum PrinterError::Kind;
    const struct {
        const PrintServer& server;
        const char* setBy;
        const char* queue;
        PrinterError::Kind kind;
        int errorNumber;
        std::vector<std::string> words;
        std::size_t cancelledJobs = 0;
    } cases[] = {
        {main_,
         "PRINTER",
         "kestrun-refusing",
         Refused,
         0,
         {"Kestrun test queue: paper jam", "kestrun-refusing", "cupsaccept"}},
        {main_,
         "LPDEST",
         "kestrun-stopped",
         Refused,
         0,
         {"Kestrun test queue: maintenance", "kestrun-stopped", "cupsenable"}},
        {main_, "lpoptions", "kestrun-refusing", Refused, 0, {"paper jam", "kestrun-refusing"}},
        {bare_, "PRINTER", nullptr, NoDefaultPrinter, 0, {"没有安装默认打印机", "驱动程序"}},
        // The server makes the job, then refuses the document as too big.
        {bare_, "PRINTER", "kestrun-idle", Refused, 0, {"kestrun-idle", "接收测试页"}, 1},
        {neverRan, "PRINTER", nullptr, NotAnswering, ENOENT, {neverRan.socket()}},
        {gone, "PRINTER", nullptr, NotAnswering, ECONNREFUSED, {gone.socket()}},
        {silent, "PRINTER", nullptr, NotAnswering, ETIMEDOUT, {silent.socket(), "5 秒"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.server.socket() + " " + c.setBy + " " + (c.queue ? c.queue : "unset"));
        setenv("CUPS_SERVER", c.server.socket().c_str(), 1);
        if (c.queue != nullptr && c.setBy == std::string("lpoptions")) {
            std::filesystem::create_directories(home_.path() / ".cups");
            std::ofstream(home_.path() / ".cups" / "lpoptions") << "Default " << c.queue << "\n";
        } else if (c.queue != nullptr) {
            setenv(c.setBy, c.queue, 1);
        }
        const bool answers = c.kind != NotAnswering;
        const std::size_t before = answers ? c.server.jobs(c.queue).size() : 0;
        CupsSystemPrinter printer;
        const auto start = Clock::now();
        const auto error = call(printer, {kNewPage, kEnd, kAbort});
        // One exchange times out and the call gives up: nothing waits twice.
        EXPECT_LT(Clock::now() - start, 2 * kPrintServerTimeout);
        ASSERT_TRUE(error) << "the calls did not fail";
        EXPECT_EQ(error->kind(), c.kind) << error->what();
        EXPECT_EQ(error->errorNumber(), c.errorNumber) << error->what();
        for (const std::string& word : c.words) {
            EXPECT_NE(std::string(error->what()).find(word), std::string::npos) << error->what();
        }
        const auto after = answers ? c.server.jobs(c.queue) : std::vector<std::string>();
        EXPECT_EQ(after.size(), before + c.cancelledJobs) << "jobs made";
        for (std::size_t job = before; job < after.size(); ++job) {
            EXPECT_EQ(after[job].substr(0, 8), "canceled");
        }
        unsetenv(c.setBy);
        std::filesystem::remove_all(home_.path() / ".cups");
    }
    ::close(listening);
}

}  // namespace
}  // namespace kestrun
