// What the command line asks for, and when a Windows console window is kept open.
#include "command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console.h"

namespace {

using img_whiten::command;

TEST(parse_command_line, options_come_first_and_every_later_argument_is_a_path) {
    using paths = std::vector<std::string>;
    const struct {
        std::vector<std::string> args;  // after the program's name
        command what;
        bool dry_run;
        paths expected;
        const char* option;  // the option at fault
    } cases[] = {
        {{}, command::nothing, false, {}, nullptr},
        {{"a.img"}, command::patch, false, {"a.img"}, nullptr},
        {{"a.img", "b.img", "mods"}, command::patch, false, {"a.img", "b.img", "mods"}, nullptr},
        // After the first path nothing is an option.
        {{"a.img", "--help"}, command::patch, false, {"a.img", "--help"}, nullptr},
        {{"a.img", "--dry-run"}, command::patch, false, {"a.img", "--dry-run"}, nullptr},
        {{"--help"}, command::help, false, {}, nullptr},
        {{"-h", "a.img"}, command::help, false, {}, nullptr},
        {{"-n", "--help"}, command::help, true, {}, nullptr},
        {{"--version"}, command::version, false, {}, nullptr},
        {{"--dry-run", "a.img"}, command::patch, true, {"a.img"}, nullptr},
        {{"-n", "a.img", "b.img"}, command::patch, true, {"a.img", "b.img"}, nullptr},
        {{"--dry-run"}, command::no_path, true, {}, "--dry-run"},
        {{"-n", "--"}, command::no_path, true, {}, "-n"},
        // "--" ends the options; "-" and names without a leading dash are paths.
        {{"--", "--help"}, command::patch, false, {"--help"}, nullptr},
        {{"-n", "--", "-n"}, command::patch, true, {"-n"}, nullptr},
        {{"./--help"}, command::patch, false, {"./--help"}, nullptr},
        {{"-"}, command::patch, false, {"-"}, nullptr},
        {{""}, command::patch, false, {""}, nullptr},
        {{"--verbose", "a.img"}, command::bad_option, false, {}, "--verbose"},
        {{"--HELP"}, command::bad_option, false, {}, "--HELP"},
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
        EXPECT_EQ(line.dry_run, c.dry_run);
        EXPECT_EQ(paths(line.paths.begin(), line.paths.end()), c.expected);
        if (c.option != nullptr) {
            ASSERT_NE(line.option, nullptr);
            EXPECT_STREQ(line.option, c.option);
        }
    }
}

TEST(console_closes_with_process, only_a_visible_console_of_its_own_with_no_stream_redirected) {
    const struct {
        const char* situation;
        // Processes on the console, its window visible; stdin, stdout, stderr consoles.
        img_whiten::console_facts facts;
        bool keep_open;
    } cases[] = {
        {"dropped on the exe, or double-clicked", {1, true, true, true, true}, true},
        {"run from cmd or PowerShell", {2, true, true, true, true}, false},
        {"run from a batch file inside cmd", {3, true, true, true, true}, false},
        {"own console, stdin from a file", {1, true, false, true, true}, false},
        {"own console, stdout to a file", {1, true, true, false, true}, false},
        {"own console, stderr to a file", {1, true, true, true, false}, false},
        {"no console at all (DETACHED_PROCESS)", {0, false, false, false, false}, false},
        {"own console, everything redirected", {1, true, false, false, false}, false},
        // Regression: a launcher's CREATE_NO_WINDOW, or a task with nobody logged on,
        // gave a console of its own with no window, and the exe waited on it forever.
        {"own console without a window (CREATE_NO_WINDOW)", {1, false, true, true, true}, false},
        {"wine in a Unix terminal: a hidden stand-in window", {1, false, true, true, true}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(img_whiten::console_closes_with_process(c.facts), c.keep_open) << c.situation;
    }
}

}  // namespace
