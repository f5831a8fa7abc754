#pragma once

#include <stdlib.h>

#include <filesystem>
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

}  // namespace kestrun::support
