// What the command line asks for, the patterns of --exclude, the lists of
// --files-from, and when a Windows console window is kept open.
#include "command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "console.h"
#include "drop_run.h"
#include "exclude.h"
#include "harness.h"
#include "path_list.h"
#include "wildcards.h"

namespace {

using img_whiten::command;

TEST(parse_command_line, options_anywhere_before_a_double_dash) {
    using paths = std::vector<std::string>;
    using patterns = std::vector<std::string>;
    const struct {
        std::vector<std::string> args;  // after the program's name
        command what;
        bool dry_run;
        paths expected;
        const char* fault;  // "option: problem", for bad_option
        patterns excludes = {};
        const char* files_from = nullptr;
        bool null_separated = false;
        bool windows = false;
    } cases[] = {
        {{}, command::no_path, false, {}, nullptr},
        {{"a.img"}, command::patch, false, {"a.img"}, nullptr},
        {{"a.img", "b.img", "mods"}, command::patch, false, {"a.img", "b.img", "mods"}, nullptr},
        // Options after and between paths.
        {{"a.img", "--dry-run"}, command::patch, true, {"a.img"}, nullptr},
        {{"mods", "-n", "b.img"}, command::patch, true, {"mods", "b.img"}, nullptr},
        {{"a.img", "--help"}, command::help, false, {"a.img"}, nullptr},
        {{"--help"}, command::help, false, {}, nullptr},
        {{"-h", "a.img"}, command::help, false, {}, nullptr},
        {{"-n", "--help"}, command::help, true, {}, nullptr},
        {{"--version"}, command::version, false, {}, nullptr},
        {{"--version", "-h"}, command::version, false, {}, nullptr},
        {{"--dry-run", "a.img"}, command::patch, true, {"a.img"}, nullptr},
        {{"--dry-run"}, command::no_path, true, {}, nullptr},
        {{"-n", "--"}, command::no_path, true, {}, nullptr},
        {{"-0"}, command::no_path, false, {}, nullptr, {}, nullptr, true},
        // Bundled short options.
        {{"-nh"}, command::help, true, {}, nullptr},
        // Regression: -0 without a list to read was taken silently.
        {{"-n0", "a"},
         command::bad_option,
         true,
         {"a"},
         "--null: is only for the list of --files-from",
         {},
         nullptr,
         true},
        {{"-nx", "a"}, command::bad_option, true, {}, "-x: unknown option"},
        {{"-n-"}, command::bad_option, true, {}, "-n-: unknown option"},
        // Long options shortened; the whole name only as it is spelled.
        {{"--dry", "a"}, command::patch, true, {"a"}, nullptr},
        {{"--d", "a"}, command::patch, true, {"a"}, nullptr},
        {{"--vers"}, command::version, false, {}, nullptr},
        {{"--dry-runs", "a"}, command::bad_option, false, {}, "--dry-runs: unknown option"},
        {{"--verbose=3"}, command::bad_option, false, {}, "--verbose=3: unknown option"},
        {{"--HELP"}, command::bad_option, false, {}, "--HELP: unknown option"},
        {{"--=x"}, command::bad_option, false, {}, "--=x: unknown option"},
        // Values: --opt=VALUE or --opt VALUE, whatever the next argument looks like.
        {{"--exclude", "*.bak", "a"}, command::patch, false, {"a"}, nullptr, {"*.bak"}},
        {{"--exclude=*.bak", "a", "--excl", "backup/"},
         command::patch,
         false,
         {"a"},
         nullptr,
         {"*.bak", "backup/"}},
        {{"--exclude", "--help", "a"}, command::patch, false, {"a"}, nullptr, {"--help"}},
        {{"--exclude=a=b", "a"}, command::patch, false, {"a"}, nullptr, {"a=b"}},
        {{"--exclude=", "a"}, command::bad_option, false, {}, "--exclude: needs a value"},
        // A pattern that could match nothing is a mistake, not a way to exclude nothing.
        {{"--exclude=[[:digits:]]*", "a"},
         command::bad_option,
         false,
         {},
         "--exclude: '[[:digits:]]*' can match nothing: an unknown class [:name:]"},
        {{"--exclude=*\\", "a"},
         command::bad_option,
         false,
         {},
         "--exclude: '*\\' can match nothing: a lone \\ at its end"},
        {{"--exclude=x\\", "a"}, command::patch, false, {"a"}, nullptr, {"x\\"}},
        {{"--files-from", "list"}, command::patch, false, {}, nullptr, {}, "list"},
        {{"b", "--files-from=-", "-0", "a"},
         command::patch,
         false,
         {"b", "a"},
         nullptr,
         {},
         "-",
         true},
        {{"--null", "--files", "-"}, command::patch, false, {}, nullptr, {}, "-", true},
        // --undo takes a journal and no path; --undo-log only a real run. Each kind of
        // fault, run whole: a_usage_fault_exits_2_and_touches_no_file.
        {{"--undo", "j.log", "-n"}, command::undo, true, {}, nullptr},
        {{"--undo-log", "j.log", "a"}, command::patch, false, {"a"}, nullptr},
        // "--" ends the options; "-" and names without a leading dash are paths.
        {{"--", "--help"}, command::patch, false, {"--help"}, nullptr},
        {{"-n", "--", "-n"}, command::patch, true, {"-n"}, nullptr},
        {{"a", "--", "-n", "--"}, command::patch, false, {"a", "-n", "--"}, nullptr},
        {{"./--help"}, command::patch, false, {"./--help"}, nullptr},
        {{"-"}, command::patch, false, {"-"}, nullptr},
        {{"-n", "-"}, command::patch, true, {"-"}, nullptr},
        {{""}, command::patch, false, {""}, nullptr},
        // "/?" is --help under Windows' rules only, and only before "--".
        {{"a.img", "/?"}, command::help, false, {"a.img"}, nullptr, {}, nullptr, false, true},
        {{"/?"}, command::patch, false, {"/?"}, nullptr},
        {{"--", "/?"}, command::patch, false, {"/?"}, nullptr, {}, nullptr, false, true},
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
        SCOPED_TRACE("img-whiten" + trace + (c.windows ? " (Windows)" : ""));
        const img_whiten::command_line line = img_whiten::parse_command_line(
            static_cast<int>(argv.size() - 1), argv.data(), c.windows);
        EXPECT_EQ(line.what, c.what);
        EXPECT_EQ(line.dry_run, c.dry_run);
        EXPECT_EQ(paths(line.paths.begin(), line.paths.end()), c.expected);
        if (c.fault != nullptr) {
            EXPECT_EQ(line.option + ": " + line.problem, c.fault);
        }
        EXPECT_EQ(line.excludes, c.excludes);
        EXPECT_STREQ(line.files_from, c.files_from);
        EXPECT_EQ(line.null_separated, c.null_separated);
    }
}

TEST(find_long_option, an_exact_name_or_the_only_one_a_prefix_begins) {
    const std::vector<const char*> names{"exclude", "extra", "null", "nullify"};
    const struct {
        const char* given;
        int index;
        const char* candidates;
    } cases[] = {
        {"exc", 0, ""},
        {"extra", 1, ""},
        {"ex", -1, "--exclude or --extra"},
        {"e", -1, "--exclude or --extra"},
        {"null", 2, ""},
        {"nul", -1, "--null or --nullify"},
        {"nullif", 3, ""},
        {"x", -1, ""},
        {"", -1, ""},
        {"excluded", -1, ""},
    };
    for (const auto& c : cases) {
        std::string candidates = "stale";
        EXPECT_EQ(img_whiten::find_long_option(c.given, names, &candidates), c.index) << c.given;
        EXPECT_EQ(candidates, c.candidates) << c.given;
    }
}

TEST(glob_match, stars_classes_and_escapes) {
    const std::string as(60, 'a');
    std::string slashes;
    for (int i = 0; i < 30; ++i) {
        slashes += "a/";
    }
    const std::string hostile_star = "*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b";
    const std::string hostile_any = "**a**a**a**a**a**a**a**a**a**a**a**a**a**a**b";
    const std::string hostile_mixed = "**/*a*a*a*a*a*a*a*a*a*a*a*a*b";
    const struct {
        const char* pattern;
        const char* text;
        bool matches;
    } cases[] = {
        {"*.dff", "a.dff", true},
        {"*.dff", "a/b.dff", false},
        {"**.dff", "a/b.dff", true},
        {"*", "", true},
        {"", "", true},
        {"", "a", false},
        {"*x", "a/x", false},
        {"*/*", "a/b/c", false},
        {"**/*.dff", "x/y/z.dff", true},
        {"a/**/b", "a/x/y/b", true},
        {"a/**/b", "a/b", false},
        {"**/a*x", "b/ay/ax", true},  // the '*' cannot take "y/a": the "**" must
        {"a?c", "abc", true},
        {"a?c", "a/c", false},
        {"?", "\xC3\xA9", true},  // one character, two bytes
        {"??", "\xC3\xA9", false},
        {"*[!\xC3\xA9]", "\xC3\xA9", false},
        {"[\xC3\xA0-\xC3\xBF]", "\xC3\xA9", true},
        {"[a-c]x", "bx", true},
        {"[!a-c]x", "bx", false},
        {"[^a-c]x", "dx", true},
        {"[]]", "]", true},
        {"[!]]", "a", true},
        {"[a-]", "-", true},
        {"[\\]a]", "]", true},
        {"[/]", "/", false},
        {"[!a]", "/", false},
        {"[ab", "[ab", false},  // no closing ']': matches nothing, as in rsync
        // Regression: named classes were not known.
        {"[[:digit:]]*.dff", "1car.dff", true},
        {"[[:digit:]]*.dff", "car.dff", false},
        {"[![:digit:][:upper:]]", "a", true},
        {"[![:digit:][:upper:]]", "A", false},
        {"[[:alpha:]-]", "-", true},
        {"[[:alpha:]]", "\xC3\xA9", false},  // ASCII classes
        {"[[:nope:]]", "n", false},
        {"[[:a]", ":", true},  // no ":]": '[' and ':' are members
        {"*\\", "a\\", false},
        {"\\*", "*", true},
        {"\\*", "a", false},
        {"a\\?", "a?", true},
        {"a\\", "a\\", true},
        {"*.DFF", "a.dff", false},
        {hostile_star.c_str(), as.c_str(), false},
        {hostile_any.c_str(), as.c_str(), false},
        {hostile_mixed.c_str(), slashes.c_str(), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(img_whiten::glob_match(c.pattern, c.text), c.matches)
            << "'" << c.pattern << "' on '" << c.text << "'";
    }
}

TEST(exclude_rules, names_paths_tails_anchors_and_folders) {
    const struct {
        std::vector<std::string> patterns;
        const char* relative;
        bool is_folder;
        bool excluded;
    } cases[] = {
        {{}, "a.dff", false, false},
        {{"*.bak"}, "Peds/a.bak", false, true},
        {{"backup"}, "Peds/backup", true, true},
        {{"backup/"}, "Peds/backup", false, false},
        {{"backup/"}, "Peds/backup", true, true},
        {{"Peds/backup"}, "Peds/backup", true, true},
        {{"Peds/backup"}, "x/Peds/backup", true, true},
        {{"Peds/backup"}, "xPeds/backup", true, false},
        {{"Peds/*.dff"}, "x/Peds/a.dff", false, true},
        {{"Peds/*.dff"}, "Peds/sub/a.dff", false, false},
        {{"/Peds"}, "Peds", true, true},
        {{"/Peds"}, "x/Peds", true, false},
        {{"/Peds/*.dff"}, "x/Peds/a.dff", false, false},
        {{"a.dff", "b/"}, "x/b", true, true},
        // Regression: "**/" did not match at the top of the folder given.
        {{"**/backup/"}, "backup", true, true},
        {{"**/backup/"}, "Peds/backup", true, true},
        {{"/**/backup/"}, "backup", true, false},  // anchored: as rsync, only below the top
        // Regression: with "**" and no '/', only the name was matched.
        {{"Peds**"}, "Peds/a.dff", false, true},
        // Regression: a '\' was an escape in a pattern without wildcards.
        {{"x\\y.dff"}, "x\\y.dff", false, true},
        {{"x\\y.dff"}, "xy.dff", false, false},
        {{"*\\?.dff"}, "a?.dff", false, true},
        {{"*\\?.dff"}, "ab.dff", false, false},
        {{"a/**/b"}, "x/a/y/z/b", false, true},
        {{"a/**/b"}, "a/b", false, false},
        {{"dir/***"}, "dir", true, true},
        {{"dir/***"}, "dir", false, false},
        {{"dir/***"}, "x/dir/y/z.dff", false, true},
        {{"Peds/*"}, "Peds/sub/a.dff", false, false},
    };
    for (const auto& c : cases) {
        img_whiten::exclude_rules rules;
        for (const std::string& pattern : c.patterns) {
            rules.add(pattern);
        }
        EXPECT_EQ(rules.empty(), c.patterns.empty());
        EXPECT_EQ(rules.excludes(c.relative, c.is_folder), c.excluded)
            << c.relative << (c.patterns.empty() ? "" : " by " + c.patterns[0]);
    }
}

TEST(read_path_list, newline_or_nul_separated_bytes) {
    const std::string file = testing::TempDir() + "img-whiten-path-list";
    const struct {
        std::string text;
        bool nul_separated;
        std::vector<std::string> listed;
    } cases[] = {
        {"a.img\r\n\r\n\nmods/\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD.dff\nlast",
         false,
         {"a.img", "mods/\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD.dff", "last"}},
        // Regression: the "\r" of a last line without a newline was kept.
        {"\xEF\xBB\xBF"
         "a\rb\nc\r",
         false,
         {"a\rb", "c"}},
        {std::string("a\nb\0\0c\r\n\0", 10), true, {"a\nb", "c\r\n"}},
        {"", false, {}},
    };
    for (const auto& c : cases) {
        std::ofstream(file, std::ios::binary) << c.text;
        std::vector<std::string> paths{"named"};
        std::string reason;
        EXPECT_TRUE(img_whiten::read_path_list(file.c_str(), c.nul_separated, &paths, &reason))
            << reason;
        std::vector<std::string> expected{"named"};
        expected.insert(expected.end(), c.listed.begin(), c.listed.end());
        EXPECT_EQ(paths, expected);
    }
    // NUL bytes in a newline-separated list: a list for -0, or UTF-16.
    std::ofstream(file, std::ios::binary) << std::string("a\0b\0", 4);
    std::vector<std::string> paths;
    std::string reason;
    EXPECT_FALSE(img_whiten::read_path_list(file.c_str(), false, &paths, &reason));
    EXPECT_NE(reason.find("-0"), std::string::npos) << reason;
    std::remove(file.c_str());
    EXPECT_FALSE(img_whiten::read_path_list(file.c_str(), false, &paths, &reason));
    EXPECT_EQ(reason, std::strerror(ENOENT));
    EXPECT_TRUE(paths.empty());
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

// Wildcards as cmd users type them; a Windows build expands its path arguments with these.
TEST(wildcards, names_matched_in_the_folder_typed_in_name_order) {
    const struct {
        const char* pattern;
        const char* name;
        bool matches;
    } cases[] = {
        {"*.img", "main.img", true},
        {"*.img", "main.IMG", true},    // names compare ignoring case
        {"*.img", "main.img2", false},  // never through an 8.3 short name (MAIN~1.IMG)
        {"*.img", ".img", true},
        {"?.img", "ab.img", false},
        {"??.img", "ab.img", true},
        {"?", "\xC3\xA9", true},          // one character, two bytes
        {"?", "\xF0\x9F\x9A\x97", true},  // one character, a surrogate pair on Windows
        {"*.*", "models", true},          // as in cmd: every name
        {"a*b*c", "aXbYbZc", true},
        {"a*b*c", "aXbYc", true},
        {"a*b*c", "aXcYb", false},
        {"*", "", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(img_whiten::wildcard_matches(c.pattern, c.name), c.matches)
            << "'" << c.pattern << "' on '" << c.name << "'";
    }
    const std::string root = testing::TempDir() + "img-whiten-wildcards";
    std::filesystem::remove_all(root);
    for (const char* name : {"b.img", "a.img", "a.IMG", "mods.img/inside.img", "notes.txt"}) {
        harness::write_file(root + "/" + name, {});
    }
    const struct {
        std::string pattern;
        bool listed;
        std::vector<std::string> matches;
    } listings[] = {
        // Folders match too, and the folder part stays as typed.
        {root + "/*.img",
         true,
         {root + "/a.IMG", root + "/a.img", root + "/b.img", root + "/mods.img"}},
        {root + "//?.img", true, {root + "//a.IMG", root + "//a.img", root + "//b.img"}},
        {root + "/*",
         true,
         {root + "/a.IMG", root + "/a.img", root + "/b.img", root + "/mods.img",
          root + "/notes.txt"}},
        {root + "/*.dff", true, {}},
        {root + "/none/*.img", false, {}},
        {root + "/notes.txt/*", false, {}},
    };
    for (const auto& c : listings) {
        EXPECT_TRUE(img_whiten::has_wildcard(c.pattern.c_str())) << c.pattern;
        std::vector<std::string> matches;
        EXPECT_EQ(img_whiten::expand_wildcard(c.pattern.c_str(), &matches), c.listed) << c.pattern;
        EXPECT_EQ(matches, c.matches) << c.pattern;
    }
    EXPECT_FALSE(img_whiten::has_wildcard("mods*/a.img"));  // only in the last component
    std::filesystem::remove_all(root);
}

TEST(drop_keeps_journal, only_a_real_run_over_paths_that_names_no_journal) {
    const struct {
        std::vector<const char*> args;
        bool keeps;
    } cases[] = {
        {{"a.img", "mods"}, true},
        {{"--jobs", "2", "a.img"}, true},
        {{"--undo-log", "mine.log", "a.img"}, false},
        {{"--dry-run", "a.img"}, false},
        {{"--check", "a.img"}, false},
        {{"--undo", "mine.log"}, false},
        {{"--help", "a.img"}, false},
        {{"--bogus", "a.img"}, false},
    };
    for (const auto& c : cases) {
        std::vector<char*> argv{const_cast<char*>("img-whiten")};
        for (const char* arg : c.args) {
            argv.push_back(const_cast<char*>(arg));
        }
        const int argc = static_cast<int>(argv.size());
        EXPECT_EQ(img_whiten::drop_keeps_journal(img_whiten::parse_command_line(argc, argv.data())),
                  c.keeps)
            << c.args[0];
    }
}

// The drop session itself, on a model, with the answers typed at its prompts.
TEST(run_dropped, keeps_a_journal_of_its_own_and_offers_to_put_back_what_it_whitened) {
    using img_whiten::build::bytes;
    const std::string root = testing::TempDir() + "img-whiten-drop";
    const std::string model = root + "/car.dff", named_journal = root + "/mine.log";
    const std::string
        temp = root + "/temp",
        offer = "\nPress U then Enter to put back what this run changed, or Enter to close.\n";
    const std::string close = "\nPress Enter to close this window.\n";
    const bytes grey = img_whiten::build::material(img_whiten::build::grey);
    const bytes white = img_whiten::build::material(img_whiten::build::white);
    const char* const previous_tmpdir = std::getenv("TMPDIR");
    const struct {
        const char* situation;
        std::vector<std::string> options;
        bytes before;
        const char* answers;
        bool temp_exists;
        std::string prompts;  // all of them, or with `said` a message first
        bytes after;
        const char* said = "";
    } cases[] = {
        {"U: the run is put back", {}, grey, "U\r\n\n", true, offer + close, grey},
        {"u, and the end of input", {}, grey, "u\n", true, offer + close, grey},
        {"Enter: the run stays", {}, grey, "\n", true, offer, white},
        {"anything but U: the run stays", {}, grey, "no\n", true, offer, white},
        {"end of input at the offer", {}, grey, "", true, offer, white},
        {"nothing whitened: no offer", {}, white, "U\n", true, close, white},
        {"a dry run: no journal, no offer", {"--dry-run"}, grey, "U\n", true, close, grey},
        {"a journal named: that one, no offer",
         {"--undo-log", named_journal},
         grey,
         "U\n",
         true,
         close,
         white},
        {"no temporary folder: said, and run without a journal",
         {},
         grey,
         "U\n",
         false,
         close,
         white,
         "cannot create a journal for this run: No such file or directory; running "
         "without one\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.situation);
        std::filesystem::remove_all(root);
        harness::write_file(model, c.before);
        if (c.temp_exists) {
            std::filesystem::create_directories(temp);
        }
        setenv("TMPDIR", temp.c_str(), 1);
        std::vector<std::string> args{"img-whiten"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(model);
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(&arg[0]);
        }
        std::FILE* answers = std::tmpfile();
        std::FILE* prompts = std::tmpfile();
        ASSERT_TRUE(answers != nullptr && prompts != nullptr);
        std::fputs(c.answers, answers);
        std::rewind(answers);
        EXPECT_EQ(
            img_whiten::run_dropped(static_cast<int>(argv.size()), argv.data(), answers, prompts),
            0);
        std::rewind(prompts);
        std::string said;
        for (int ch; (ch = std::fgetc(prompts)) != EOF;) {
            said += static_cast<char>(ch);
        }
        std::fclose(answers);
        std::fclose(prompts);
        const std::string first =
            said.substr(0, said.size() - std::min(said.size(), c.prompts.size()));
        EXPECT_EQ(said, first + c.prompts);
        if (*c.said == '\0') {
            EXPECT_EQ(first, "");
        } else {
            EXPECT_EQ(first.rfind("img-whiten: " + temp + "/img-whiten-", 0), 0u) << first;
            EXPECT_EQ(first.substr(first.size() - std::min(first.size(), std::strlen(c.said))),
                      c.said);
        }
        EXPECT_TRUE(harness::read_file(model) == c.after);
        // The journal of its own is gone, whatever was answered.
        EXPECT_TRUE(!c.temp_exists || std::filesystem::is_empty(temp));
    }
    if (previous_tmpdir != nullptr) {
        setenv("TMPDIR", previous_tmpdir, 1);
    } else {
        unsetenv("TMPDIR");
    }
    std::filesystem::remove_all(root);
}

}  // namespace
