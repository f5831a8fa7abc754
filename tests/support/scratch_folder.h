#pragma once

#include <stdlib.h>

#include <cstddef>
#include <filesystem>
#include <iterator>
#include <string>

namespace kestrun::support {

// A scratch folder, removed with everything in it.
struct ScratchFolder {
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestrun-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~ScratchFolder() { std::filesystem::remove_all(path); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::filesystem::path path;
};

// How many descriptors this process has open: a port or a run must leave none behind.
inline std::size_t openDescriptors() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

}  // namespace kestrun::support
