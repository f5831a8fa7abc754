#pragma once

#include <gtest/gtest.h>
#include <stdio.h>

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
    const bool page = name.ends_with(".bin");
    const std::string command = (page ? "cmp -l " : "diff -u ") + expected.string() + " " +
                                got.string() + (page ? " | head -n 20" : "") + " 2>&1";
    std::string report;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char chunk[4096];
        for (std::size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
            report.append(chunk, n);
        }
        pclose(pipe);
    }
    ADD_FAILURE() << name << " is not as checked in; what the program made is in " << got << ":\n"
                  << report;
}

}  // namespace kestrun::support
