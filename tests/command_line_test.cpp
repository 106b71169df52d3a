// What the command line asks for, and when a Windows console window is kept open.
#include "command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console.h"

namespace {

using img_whiten::command;

TEST(parse_command_line, options_count_only_as_the_first_argument) {
    const struct {
        std::vector<std::string> args;  // after the program's name
        command what;
        const char* path;
    } cases[] = {
        {{}, command::nothing, nullptr},
        {{"a.img"}, command::patch, "a.img"},
        {{"a.img", "--help"}, command::patch, "a.img"},
        {{"a.img", "--dry-run"}, command::patch, "a.img"},
        {{"--help"}, command::help, nullptr},
        {{"-h", "a.img"}, command::help, nullptr},
        {{"--version"}, command::version, nullptr},
        {{"--dry-run", "a.img"}, command::dry_run, "a.img"},
        {{"-n", "a.img", "b.img"}, command::dry_run, "a.img"},
        {{"-n", "--help"}, command::dry_run, "--help"},
        {{"--dry-run"}, command::missing_path, nullptr},
        {{"-n"}, command::missing_path, nullptr},
        // Anything else is a path, as it always was.
        {{"./--help"}, command::patch, "./--help"},
        {{"--verbose"}, command::patch, "--verbose"},
        {{"-"}, command::patch, "-"},
        {{"--HELP"}, command::patch, "--HELP"},
        {{""}, command::patch, ""},
    };
    for (const auto& c : cases) {
        std::vector<char*> argv{const_cast<char*>("img-whiten")};
        for (const std::string& arg : c.args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        std::string trace;
        for (const std::string& arg : c.args) {
            trace += " '" + arg + "'";
        }
        SCOPED_TRACE("img-whiten" + trace);
        const img_whiten::command_line line =
            img_whiten::parse_command_line(static_cast<int>(argv.size() - 1), argv.data());
        EXPECT_EQ(line.what, c.what);
        EXPECT_EQ(line.path == nullptr ? std::string("(none)") : std::string(line.path),
                  c.path == nullptr ? std::string("(none)") : std::string(c.path));
    }
}

TEST(console_closes_with_process, only_a_console_of_its_own_with_no_stream_redirected) {
    const struct {
        const char* situation;
        // Processes on the console, Wine's terminal; stdin, stdout, stderr consoles.
        img_whiten::console_facts facts;
        bool keep_open;
    } cases[] = {
        {"dropped on the exe, or double-clicked", {1, false, true, true, true}, true},
        {"run from cmd or PowerShell", {2, false, true, true, true}, false},
        {"run from a batch file inside cmd", {3, false, true, true, true}, false},
        {"own console, stdin from a file", {1, false, false, true, true}, false},
        {"own console, stdout to a file", {1, false, true, false, true}, false},
        {"own console, stderr to a file", {1, false, true, true, false}, false},
        {"no console at all", {0, false, false, false, false}, false},
        {"own console, everything redirected", {1, false, false, false, false}, false},
        {"wine in a Unix terminal", {1, true, true, true, true}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(img_whiten::console_closes_with_process(c.facts), c.keep_open) << c.situation;
    }
}

}  // namespace
