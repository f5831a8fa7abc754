#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

namespace kestrun::testing {

// A scratch folder, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestrun-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A FIFO standing in for the printer device, and a thread reading it like a printer would, until
// the writer closes it. The read end is opened first: the port opens without blocking and would
// find no reader otherwise. A FIFO reports hang-up only once a writer has come and gone, so the
// reader waits for the port to open instead of taking the empty FIFO for the end of the page.
class FifoReader {
public:
    explicit FifoReader(int pipeSize = 0) : path_((dir_.path() / "lp0").string()) {
        mkfifo(path_.c_str(), 0600);
        fd_ = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        fcntl(fd_, F_SETPIPE_SZ, pipeSize > 0 ? pipeSize : 65536);
        thread_ = std::thread([this] { readAll(); });
    }
    ~FifoReader() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        ::close(fd_);
    }

    const std::string& path() const { return path_; }
    // Waits until the writer has closed the FIFO and gives everything read.
    std::vector<std::uint8_t> received() {
        thread_.join();
        return data_;
    }
    // True once the writer has closed the FIFO after writing.
    bool writerClosed() const { return closed_; }
    // Bytes read so far.
    std::size_t count() const { return count_; }

    // While paused the reader takes nothing: the pipe fills and the writer stalls.
    std::atomic<bool> paused{false};

private:
    void readAll() {
        std::vector<std::uint8_t> chunk(65536);
        for (ssize_t n = -1; n != 0 && !stop_;) {
            pollfd entry{fd_, POLLIN, 0};
            n = paused || poll(&entry, 1, 20) <= 0 ? -1 : ::read(fd_, chunk.data(), chunk.size());
            data_.insert(data_.end(), chunk.begin(), chunk.begin() + std::max<ssize_t>(n, 0));
            count_ += static_cast<std::size_t>(std::max<ssize_t>(n, 0));
            closed_ = n == 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(paused ? 2 : 0));
        }
    }

    TempDir dir_;
    std::string path_;
    int fd_ = -1;
    std::vector<std::uint8_t> data_;
    std::atomic<std::size_t> count_{0};
    std::atomic<bool> closed_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace kestrun::testing
