#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace kestrun::support {

// Compares `actual` with the file `name` in tests/data/ and shows a difference readably: `diff -u`
// of the lines, or for a page (.bin) its first differing bytes. With KESTRUN_WRITE_GOLDEN set it
// writes the file anew first (tests/data/README.md).
inline void expectGolden(const std::string& name, const std::string& actual) {
    const std::filesystem::path expected = std::filesystem::path(KESTRUN_TEST_DATA) / name;
    if (std::getenv("KESTRUN_WRITE_GOLDEN") != nullptr) {
        std::ofstream(expected, std::ios::binary) << actual;
    }
    std::ifstream in(expected, std::ios::binary);
    if (std::string(std::istreambuf_iterator<char>(in), {}) == actual) {
        return;
    }
    const std::filesystem::path got = std::filesystem::temp_directory_path() / ("new-" + name);
    std::ofstream(got, std::ios::binary) << actual;
    ADD_FAILURE() << name << " is not as checked in; what the program made is in " << got
                  << ", and the difference follows";
    const bool page = name.ends_with(".bin");
    std::system(((page ? "cmp -l " : "diff -u ") + expected.string() + " " + got.string() +
                 (page ? " | head -n 20" : "") + " >&2")
                    .c_str());
}

}  // namespace kestrun::support
