#include "platform/linux/cups_system_printer.h"

#include <arpa/inet.h>
#include <cups/cups.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <regex>

#include "matchers.h"
#include "scratch_folder.h"

namespace kestrun::support {
namespace {

using namespace std::chrono_literals;
using Call = void (*)(SystemPrinter&, std::stop_token);
constexpr Call kNewPage = [](SystemPrinter& p, std::stop_token s) { p.newPage(s); },
               kEnd = [](SystemPrinter& p, std::stop_token s) { p.endDocument(s); },
               kAbort = [](SystemPrinter& p, std::stop_token) { p.abortDocument(); };

// The jobs on `queue` (on every queue when null) of the print server at `server`, a line "state
// format" each as the server lists them, once none is still waiting or printing (or after 30 s).
std::string jobs(const std::filesystem::path& server, const char* queue = nullptr) {
    cupsSetServer(server.c_str());
    std::string jobs = "pending";
    for (int tries = 0; tries < 300 && std::regex_search(jobs, std::regex("pending|processing"));
         ++tries, std::this_thread::sleep_for(100ms)) {
        cups_job_t* list = nullptr;
        const int count = cupsGetJobs2(CUPS_HTTP_DEFAULT, &list, queue, 0, CUPS_WHICHJOBS_ALL);
        jobs.clear();
        for (int i = 0; i < count; ++i) {
            jobs += ippEnumString("job-state", list[i].state) + std::string(" ") + list[i].format +
                    "\n";
        }
        cupsFreeJobs(count, list);
    }
    return jobs;
}

// How often `mark` occurs in `data`.
long count(const std::string& data, const char* mark) {
    const std::regex pattern(mark);
    return std::distance(std::sregex_iterator(data.begin(), data.end(), pattern), {});
}

// A network printer on this machine that `queue` prints to: each job comes on a connection of
// its own.
struct NetworkPrinter {
    NetworkPrinter(const std::filesystem::path& server, const char* queue) {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof address;
        bind(fd, reinterpret_cast<sockaddr*>(&address), size);
        listen(fd, 8);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        const timeval limit{30, 0};  // for a job to come, and for its data
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        const std::string lpadmin =
            "PATH=$PATH:/usr/sbin lpadmin -h " + server.string() + " -p " + queue +
            " -v socket://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/?snmp=false";
        EXPECT_EQ(std::system(lpadmin.c_str()), 0) << lpadmin;
    }
    ~NetworkPrinter() { ::close(fd); }

    // Everything the next job sends, up to far more than any job here.
    std::string receive() const {
        const int job = accept(fd, nullptr, nullptr);
        std::string data(1 << 24, '\0');
        data.resize(std::max<ssize_t>(recv(job, data.data(), data.size(), MSG_WAITALL), 0));
        ::close(job);
        return data;
    }

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

// Makes the calls on a thread of its own, as the program does; libcups reads CUPS_SERVER afresh
// on every new thread. With `stopAfter`, a stop is requested that long after they begin. Calls
// that never come back meet ctest's time limit.
std::optional<PrinterError> call(SystemPrinter& printer, const std::vector<Call>& calls,
                                 std::optional<std::chrono::milliseconds> stopAfter = {}) {
    std::stop_source stop;
    const auto calling = [&]() -> std::optional<PrinterError> {
        try {
            std::ranges::for_each(calls, [&](Call call) { call(printer, stop.get_token()); });
        } catch (const PrinterError& error) {
            return error;
        }
        return std::nullopt;
    };
    auto running = std::async(std::launch::async, calling);
    if (stopAfter && running.wait_for(*stopAfter) == std::future_status::timeout) {
        stop.request_stop();
    }
    return running.get();
}

// The user's and the machine's printer choices stay out: every test has its own HOME (with its
// own ~/.cups/lpoptions) and CUPS_SERVERROOT, and no PRINTER or LPDEST. The tests reach the
// fixture's two servers, one with a default printer and one without, through their sockets.
class CupsSystemPrinterTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("PRINTER");
        unsetenv("LPDEST");
        setenv("HOME", home_.path.c_str(), 1);
        setenv("CUPS_SERVERROOT", home_.path.c_str(), 1);
        const char* root = std::getenv("KESTRUN_CUPSD_ROOT");
        main_ = std::filesystem::path(root != nullptr ? root : "/none") / "main" / "cups.sock";
        bare_ = main_.parent_path().parent_path() / "bare" / "cups.sock";
        std::string skip = root != nullptr ? "" : "no private print server: run through ctest";
        // Why the fixture started none.
        std::getline(std::ifstream(main_.parent_path() / "skip"), skip);
        if (!skip.empty()) {
            ASSERT_EQ(std::getenv("KESTRUN_REQUIRE_CUPSD"), nullptr)
                << "KESTRUN_REQUIRE_CUPSD is set, but " << skip;
            GTEST_SKIP() << skip;
        }
    }

    ScratchFolder home_;  // also the client's configuration folder
    std::filesystem::path main_;
    std::filesystem::path bare_;
};

// A driver turns blank PDF pages into the printer's language; a raw queue would print a PDF as
// lines of text, so it gets the printer's own form feed, one per page and nothing else. One
// object serves every document, as it serves every run in the program: first a run's three
// calls, then two pages followed by a document that is aborted and so makes no job.
TEST_F(CupsSystemPrinterTest, EachDocumentIsOneJobThatEjectsEachPage) {
    // The queue, the document format it gets and what its printer gets for each page.
    const std::tuple<const char*, std::string, const char*> queues[] = {
        {"kestrun-default", CUPS_FORMAT_PDF, "%%Page:"}, {"kestrun-raw", CUPS_FORMAT_RAW, "\f"}};
    const std::pair<std::vector<Call>, long> documents[] = {
        {{kNewPage, kEnd, kAbort}, 1}, {{kNewPage, kNewPage, kEnd, kNewPage, kAbort, kEnd}, 2}};
    setenv("CUPS_SERVER", main_.c_str(), 1);
    for (const auto& [queue, format, onePage] : queues) {
        SCOPED_TRACE(queue);
        const bool raw = format == CUPS_FORMAT_RAW;
        if (raw) {
            setenv("PRINTER", queue, 1);  // the server's default has the driver
        }
        const NetworkPrinter device(main_, queue);
        std::string expected = jobs(main_, queue);
        CupsSystemPrinter printer;
        for (const auto& [calls, pages] : documents) {
            const auto error = call(printer, calls);
            ASSERT_FALSE(error) << error->what();
            const std::string data = device.receive();
            expected += "completed " + format + "\n";
            EXPECT_EQ(jobs(main_, queue), expected);
            EXPECT_EQ(count(data, onePage), pages);
            EXPECT_TRUE(!raw || data.size() == static_cast<std::size_t>(pages)) << data;
        }
    }
}

// A Unix socket at `path`, listened on but never accepted (the kernel takes the request and no
// answer comes), or else closed again, which leaves the socket file of a server that has gone.
int unixSocket(const std::filesystem::path& path, bool listening) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    path.string().copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
    EXPECT_EQ(listening ? listen(fd, 8) : ::close(fd), 0) << path;
    return fd;
}

// The calls fail within the time limit, say why, and leave no job waiting: none is made, or the
// one made is cancelled. A queue chosen in one of the ways a user can choose a default is really
// used: were the choice ignored, the calls would succeed on the server's default printer.
TEST_F(CupsSystemPrinterTest, CallsThatTheServerFailsSayWhyAndLeaveNoJobWaiting) {
    unixSocket(home_.path / "gone.sock", false);
    const int listening = unixSocket(home_.path / "silent.sock", true);
    using enum PrinterError::Kind;
    const struct {
        const std::filesystem::path server;
        std::string how;    // the user's choice of default: PRINTER, LPDEST, lpoptions or none
        const char* queue;  // the queue chosen; null for none
        PrinterError::Kind kind;
        int errorNumber;
        std::string says;  // a pattern the message matches
        bool cancelsAJob = false;
        std::optional<std::chrono::milliseconds> stopAfter = {};
    } cases[] = {
        {main_, "PRINTER", "kestrun-refusing", Refused, 0, "jam.*cupsaccept kestrun-refusing"},
        {main_, "LPDEST", "kestrun-stopped", Refused, 0, "maintenance.*cupsenable kestrun-stopped"},
        {main_, "lpoptions", "kestrun-refusing", Refused, 0, "jam.*cupsaccept kestrun-refusing"},
        {bare_, "", nullptr, NoDefaultPrinter, 0, "没有安装默认打印机.*驱动程序"},
        // The server makes the job, then refuses the document as too big.
        {bare_, "PRINTER", "kestrun-idle", Refused, 0, "kestrun-idle.*接收测试页", true},
        {home_.path / "never-ran.sock", "", nullptr, NotAnswering, ENOENT, "never-ran.sock"},
        {home_.path / "gone.sock", "", nullptr, NotAnswering, ECONNREFUSED, "gone.sock"},
        {home_.path / "silent.sock", "", nullptr, NotAnswering, ETIMEDOUT, "silent.sock.*5 秒"},
        {home_.path / "silent.sock", "", nullptr, Stopped, 0, "silent.sock.*进纸键", false, 300ms},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.server.string() + " " + c.how);
        setenv("CUPS_SERVER", c.server.c_str(), 1);
        if (c.how == "lpoptions") {
            std::filesystem::create_directories(home_.path / ".cups");
            std::ofstream(home_.path / ".cups" / "lpoptions") << "Default " << c.queue << "\n";
        } else if (!c.how.empty()) {
            setenv(c.how.c_str(), c.queue, 1);
        }
        const bool answers = c.kind != NotAnswering && c.kind != Stopped;
        const std::string before = answers ? jobs(c.server, c.queue) : "";
        CupsSystemPrinter printer;
        const auto start = std::chrono::steady_clock::now();
        const auto error = call(printer, {kNewPage, kEnd, kAbort}, c.stopAfter);
        // One exchange times out, after the whole limit, and the call gives up: nothing waits
        // twice. A stop ends the calls well within a second.
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, c.stopAfter ? *c.stopAfter + 500ms : 2 * kPrintServerTimeout);
        EXPECT_TRUE(c.errorNumber != ETIMEDOUT || took >= kPrintServerTimeout);
        EXPECT_THAT(error, Optional(FailsAs(c.kind, c.errorNumber, ContainsRegex(c.says))));
        EXPECT_EQ(answers ? jobs(c.server, c.queue) : "",
                  before + (c.cancelsAJob ? "canceled application/octet-stream\n" : ""));
        unsetenv(c.how.c_str());
        std::filesystem::remove_all(home_.path / ".cups");
    }
    ::close(listening);

    // A document the server refused is dropped: the next one on the same printer object goes to
    // the default printer as one page, not as the refused one with a page more.
    setenv("CUPS_SERVER", main_.c_str(), 1);
    const NetworkPrinter device(main_, "kestrun-default");
    CupsSystemPrinter printer;
    setenv("PRINTER", "kestrun-refusing", 1);
    EXPECT_TRUE(call(printer, {kNewPage, kEnd}));
    unsetenv("PRINTER");
    ASSERT_FALSE(call(printer, {kNewPage, kEnd, kAbort}));
    EXPECT_EQ(count(device.receive(), "%%Page:"), 1);
}

}  // namespace
}  // namespace kestrun::support
