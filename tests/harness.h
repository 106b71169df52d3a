// What the programs that run the tool share: which build to run and how,
// files in and out, and the check that a file holds only original or patched bytes. Their common
// main (harness.cpp) reads
//
//   PROGRAM --exe PATH --short-io LIBRARY [--launcher PROGRAM]... [--crlf]
//           [--reference PATH] [--hold-file PATH] [--launch PATH]
//           [--size-mib N] [--trials N] [--seed S]
//
// --launcher runs the tool through another program (such as wine); --crlf
// expects stdout lines to end in "\r\n", as a Windows console's do;
// --reference names another build whose stdout and bytes must match;
// --hold-file names a program, run by the launcher, that holds a file open
// (hold-file.exe, for Windows share modes); --launch names one that starts
// the tool as windowless launchers do (launch.exe); --short-io names the
// library that makes reads and writes short or slow (tests/short_io.cpp);
// --size-mib, --trials and --seed size the interrupted runs.
#ifndef IMG_WHITEN_TESTS_HARNESS_H
#define IMG_WHITEN_TESTS_HARNESS_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

// Skips a test that this machine cannot run; CI must run it, so there it fails.
#define SKIP_UNLESS_CI(why)                         \
    do {                                            \
        if (std::getenv("CI") != nullptr) {         \
            FAIL() << (why) << " (CI must run it)"; \
        }                                           \
        GTEST_SKIP() << (why);                      \
    } while (false)

namespace harness {

using bytes = std::vector<unsigned char>;

struct tool_config {
    std::string exe;
    std::vector<std::string> launcher;
    bool crlf = false;
    std::string reference;  // another build whose stdout and bytes must match
    std::string hold_file;  // a Windows program that holds a file open, for share modes
    std::string launch;     // a Windows program that starts another as launchers and tasks do
    std::string short_io;   // a library that, preloaded, makes reads and writes short or slow
    unsigned long long size_mib = 256, trials = 12, seed = 1;  // the interrupted runs
};
inline tool_config config;  // set once by main, before any test

// Reads `path` into `data`, reusing its memory from one call to the next.
inline void read_file(const std::filesystem::path& path, bytes& data) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    data.resize(in ? static_cast<std::size_t>(in.tellg()) : 0);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline bytes read_file(const std::filesystem::path& path) {
    bytes data;
    read_file(path, data);
    return data;
}

// Writes `data` to `path`, making its folder first if there is none.
inline void write_file(const std::filesystem::path& path, const bytes& data) {
    std::error_code ignored;
    if (path.has_parent_path()) {
        std::filesystem::create_directories(path.parent_path(), ignored);
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    EXPECT_TRUE(out.good()) << path;
}

// Checks that `left` holds only bytes of `before` or `after`, at their places;
// returns how many of the bytes a whole run changes were already changed.
inline std::size_t expect_original_or_patched(const bytes& left, const bytes& before,
                                              const bytes& after,
                                              const std::filesystem::path& path) {
    EXPECT_EQ(left.size(), before.size()) << path;
    std::size_t done = 0, stray = 0;
    constexpr std::size_t block = 4096;  // most blocks are untouched: compare those whole
    for (std::size_t at = 0; at < left.size() && at < before.size(); at += block) {
        const std::size_t end = std::min({at + block, left.size(), before.size()});
        if (std::memcmp(&left[at], &before[at], end - at) == 0) {
            continue;
        }
        for (std::size_t i = at; i < end; ++i) {
            done += left[i] != before[i];
            stray += left[i] != before[i] && left[i] != after[i];
        }
    }
    EXPECT_EQ(stray, 0u) << path << ": bytes that are neither original nor patched";
    return done;
}

}  // namespace harness

#endif
