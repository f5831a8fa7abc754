#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrun::testing {

// One job as the print server lists it.
struct ServerJob {
    int id = 0;
    std::string printer;
    int state = 0;  // IPP job-state: 3 pending … 9 completed
    int pages = 0;  // job-impressions-completed
};

// A private cupsd made by cupsd-fixture.sh: the folder holds its socket, logs and output.
class PrintServer {
public:
    explicit PrintServer(std::filesystem::path dir) : dir_(std::move(dir)) {}

    const std::filesystem::path& dir() const { return dir_; }
    std::string socket() const { return (dir_ / "cups.sock").string(); }
    // Why no server runs here, when the fixture could not start one on this machine.
    std::optional<std::string> unavailable() const;

    // Every job the server knows, finished or not, on one queue or (empty name) on all of them.
    std::vector<ServerJob> jobs(const std::string& printer = {}) const;
    // Waits until every job on the server has finished; false when some has not within `wait`.
    bool waitUntilIdle(std::chrono::seconds wait) const;
    // The end of the server's error log, for failure messages.
    std::string logTail() const;
    // The PID the fixture recorded.
    int pid() const;

private:
    std::filesystem::path dir_;
};

// Runs a shell command; returns its exit status and puts its output into `output`.
int runCommand(const std::string& command, std::string* output = nullptr);

}  // namespace kestrun::testing
