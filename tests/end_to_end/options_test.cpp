// End to end: the options, the dry run, other programs holding the archive,
// and paths in any script.
#include "support.h"

#include "json_oracle.h"

#include <pty.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <thread>

namespace {

using namespace e2e;

// --- Options: --help, --version, --dry-run ---

TEST_F(end_to_end, help_and_version_open_nothing) {
    // An archive named like each option sits in the working directory and must stay as it is.
    const bytes before = archive({{"car.dff", material(grey)}});
    const std::string previous = std::filesystem::current_path().string();
    std::filesystem::current_path(dir_);
    for (const char* name : {"--help", "-h", "--version"}) {
        write_file(path(name), before);
    }
    const struct {
        std::vector<std::string> args;
        const char* starts;
    } cases[] = {
        {{"--help"}, "Usage: img-whiten [OPTION]... [--] PATH...\n"},
        {{"-h", "--version"}, "Usage: img-whiten [OPTION]... [--] PATH...\n"},
        {{"-nh"}, "Usage: img-whiten [OPTION]... [--] PATH...\n"},
        {{"--version", "--dry-run"}, "img-whiten " IMG_WHITEN_VERSION "\n"},
        {{"--version"}, "img-whiten " IMG_WHITEN_VERSION "\n"},
        {{"--version", "-h"}, "img-whiten " IMG_WHITEN_VERSION "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        const process_result result = run(c.args);
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out.rfind(lines(c.starts), 0), 0u) << result.out;
    }
    const process_result help = run({"--help"});
    for (const char* mention : {"--dry-run", "-n,", "--version", "--exclude=PATTERN",
                                "--files-from=FILE", "-0,", "./--help", "Exit status:"}) {
        EXPECT_NE(help.out.find(mention), std::string::npos) << mention;
    }
    // Regression: on Windows the example's single quotes, pasted into cmd, reached --exclude.
    const char* example = config.launcher.empty() ? "img-whiten --exclude 'backup/' --exclude"
                                                  : "img-whiten --exclude \"backup/\" --exclude";
    EXPECT_NE(help.out.find(example), std::string::npos) << example;
    EXPECT_EQ(run({"--version"}).out, lines("img-whiten " IMG_WHITEN_VERSION "\n"));
    for (const char* name : {"--help", "-h", "--version"}) {
        EXPECT_TRUE(read_file(path(name)) == before) << name;
    }
    // Reached as a path, the file named like an option is patched.
    const process_result patched = run({"./--help"});
    std::filesystem::current_path(previous);
    expect_clean(patched, progress({{"car.dff", 1}}), read_file(path("--help")),
                 whitened(before, {sector + 28}));
}

// One row per kind of usage fault: exit 2, one message, nothing on stdout, and
// no file patched, appended to or created.
TEST_F(end_to_end, a_usage_fault_exits_2_and_touches_no_file) {
    const bytes before = archive({{"car.dff", material(grey)}});
    const std::string file = path("a.img"), journal = path("whiten.log");
    // Files no journal may be appended to, and that no refused run may patch.
    const std::string model = path("m.dff"), notes = path("notes.txt");
    const bytes model_before = material(grey), notes_before = {'h', 'i', '\n'};
    std::filesystem::create_directory(path("folder"));
    // A device is never opened as a journal: on Windows, a reserved name.
    const std::string device = config.launcher.empty() ? "/dev/null" : "COM1";
    const struct {
        std::vector<std::string> args;
        const char* err;  // after "img-whiten: "
    } cases[] = {
        // the journal appended to an archive, to a model, to any other file
        {{"--undo-log", file, model},
         "a.img: not an undo journal (it does not begin with one): refusing to append to it; "
         "name a new file for --undo-log"},
        {{"--undo-log", model, file}, "m.dff: not an undo journal (it does not begin with one)"},
        {{"--undo-log", notes, file},
         "notes.txt: not an undo journal (it does not begin with one)"},
        {{"--undo-log", file, file}, "a.img: not an undo journal (it does not begin with one)"},
        // the journal patched as a path, or made and left behind by a refused run
        {{"--undo-log", journal, file, journal},
         "whiten.log: the undo journal of this run: refusing to patch it; name another file for "
         "--undo-log"},
        // another kind of file undone as a journal
        {{"--undo", notes},
         "notes.txt: not an undo journal (it does not begin with one, and holds no record): "
         "nothing put back"},
        {{"--undo", file}, "a.img: not an undo journal (it does not begin with one"},
        {{"--json", "--undo", file}, "a.img: not an undo journal (it does not begin with one"},
        // the command line itself
        {{}, "no path given; see img-whiten --help"},
        {{"--verbose", file}, "--verbose: unknown option; see img-whiten --help"},
        {{"--und", journal}, "--und: ambiguous option: --undo or --undo-log"},
        {{file, "--exclude"}, "--exclude: needs a value"},
        {{"--dry-run=yes", file}, "--dry-run: takes no value"},
        {{"--exclude=[ab", file}, "--exclude: '[ab' can match nothing: a [ that no ] closes"},
        {{"--files-from", notes, "--files-from", notes, file},
         "--files-from: given more than once"},
        {{"-0", file}, "--null: is only for the list of --files-from"},
        {{"-j2", "--undo", journal}, "--undo: cannot be used with --jobs"},
        {{"--undo-log", journal, "--dry-run", file},
         "--undo-log: cannot be used with --dry-run; see img-whiten --help"},
        {{"--check", "--undo-log", journal, file},
         "--undo-log: cannot be used with --check; see img-whiten --help"},
        {{"--undo", journal, file}, "--undo: takes no path: the journal names the files"},
        {{"-lq", file}, "--list: cannot be used with --quiet"},
        {{"--undo", journal, "--list"}, "--undo: cannot be used with --list"},
        {{"--undo", journal, "--undo-log", journal}, "--undo: cannot be used with --undo-log"},
        {{"--undo-log", path("folder"), file},
         "folder: cannot open the undo journal: not a regular file"},
        {{"--undo-log", path("no/such/folder"), file},
         "cannot open the undo journal: No such file or directory"},
        {{"--undo", journal}, "cannot read the undo journal: No such file or directory"},
        {{"--undo-log", device, file}, "cannot open the undo journal: not a regular file"},
        {{"--undo", device}, "cannot read the undo journal: not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        write_file(file, before);
        write_file(model, model_before);
        write_file(notes, notes_before);
        const process_result result = run(c.args);
        EXPECT_EQ(result.exit_status, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
        EXPECT_EQ(result.err.rfind("img-whiten: ", 0), 0u) << result.err;
        EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "not one line: " << result.err;
        EXPECT_TRUE(read_file(file) == before);
        EXPECT_TRUE(read_file(model) == model_before);
        EXPECT_TRUE(read_file(notes) == notes_before);
        EXPECT_FALSE(std::filesystem::exists(journal)) << "the journal was created";
    }
    if (config.launcher.empty()) {
        // A journal another run appends to is in use: nothing is patched.
        write_file(journal, {});
        const int holder = open(journal.c_str(), O_RDONLY);
        ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
        const process_result locked = run({"--undo-log", journal, file});
        close(holder);
        EXPECT_EQ(locked.exit_status, 2);
        EXPECT_NE(locked.err.find("cannot open the undo journal: in use by another program"),
                  std::string::npos)
            << locked.err;
        EXPECT_TRUE(read_file(file) == before);
    }
}

// --- Paths from a list: --files-from FILE or -, separated by newlines or NUL bytes ---

TEST_F(end_to_end, files_from_adds_the_listed_paths_after_those_named) {
    const bytes grey_archive = archive({{"car.dff", material(grey)}});
    const bytes grey_model = material(grey);
    const std::string named = path("named.img");
    const std::string unicode = path("\xD0\x9C\xD0\xBE\xD0\xB4 \xF0\x9F\x9A\x97.img");  // Мод 🚗
    const std::string model = path("m.dff");
    const std::string list = path("list.txt");
    const std::string all_three =
        lines("==> " + named + " <==\n") + progress({{"car.dff", 1}}) +
        lines("==> " + unicode + " <==\n") + progress({{"car.dff", 1}, {model, 1}}) +
        lines("Visited 3 files: 3 models changed, 3 materials whitened\n");
    const struct {
        const char* situation;
        std::vector<std::string> args;
        std::string list;  // in list.txt, which is also stdin
        int status;
        std::string out;
        const char* err;  // after "img-whiten: "
    } cases[] = {
        {"a file, CRLF",
         {named, "--files-from", list},
         unicode + "\r\n" + model + "\r\n",
         0,
         all_three,
         ""},
        {"before the path",
         {"--files-from=" + list, named},
         unicode + "\n\n" + model,
         0,
         all_three,
         ""},
        {"stdin", {named, "--files-from", "-"}, unicode + "\n" + model + "\n", 0, all_three, ""},
        // Regression: the "\r" ending a last line without a newline was kept.
        {"a file, CRLF, the last line unended",
         {named, "--files-from", list},
         unicode + "\r\n" + model + "\r",
         0,
         all_three,
         ""},
        {"stdin, -0",
         {"-0", named, "--files-from=-"},
         unicode + std::string(1, '\0') + model + std::string(1, '\0'),
         0,
         all_three,
         ""},
        {"NUL bytes without -0",
         {named, "--files-from", "-"},
         unicode + std::string(1, '\0') + model,
         2,
         "",
         "-: cannot read the list of paths: a line holds a NUL byte"},
        // Regression: -0 without a list was taken silently.
        {"-0 without --files-from",
         {"-0", named},
         "",
         2,
         "",
         "--null: is only for the list of --files-from"},
        {"no such list",
         {named, "--files-from", path("missing")},
         "",
         2,
         "",
         "cannot read the list of paths: No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.situation);
        write_file(named, grey_archive);
        write_file(unicode, grey_archive);
        write_file(model, grey_model);
        write_file(list, bytes(c.list.begin(), c.list.end()));
        process_limits limits;
        limits.stdin_file = list.c_str();
        const process_result result = run(c.args, limits);
        EXPECT_EQ(result.exit_status, c.status) << result.err;
        EXPECT_EQ(result.out, c.out);
        const bool patched = c.status == 0;
        if (patched) {
            EXPECT_EQ(result.err, "");
        } else {
            EXPECT_EQ(result.err.rfind("img-whiten: ", 0), 0u) << result.err;
            EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
        }
        EXPECT_TRUE(read_file(named) ==
                    (patched ? whitened(grey_archive, {sector + 28}) : grey_archive));
        EXPECT_TRUE(read_file(unicode) ==
                    (patched ? whitened(grey_archive, {sector + 28}) : grey_archive));
        EXPECT_TRUE(read_file(model) == (patched ? whitened(grey_model, {28}) : grey_model));
    }
}

// --- Other writers: an archive held elsewhere is left alone ---

TEST_F(end_to_end, archive_locked_by_another_run_is_in_use) {
    if (!config.launcher.empty()) {
        GTEST_SKIP() << "a Windows program keeps writers out by share mode, not flock";
    }
    const bytes before = archive({{"car.dff", material(grey)}});
    const std::string file = path("locked.img");
    write_file(file, before);
    // A reader's shared lock keeps a run out too: the run's lock is exclusive.
    const bytes model = material(grey);
    write_file(path("shared.dff"), model);
    const int reader_lock = open(path("shared.dff").c_str(), O_RDONLY);
    ASSERT_EQ(flock(reader_lock, LOCK_SH | LOCK_NB), 0) << std::strerror(errno);
    expect_reported(run({path("shared.dff")}), "",
                    "in use by another program: ", read_file(path("shared.dff")), model);
    // Regression: a model with nothing to whiten was locked too, and so failed while held.
    const bytes white_model = material(white);
    write_file(path("white.dff"), white_model);
    const int white_lock = open(path("white.dff").c_str(), O_RDONLY);
    ASSERT_EQ(flock(white_lock, LOCK_EX | LOCK_NB), 0) << std::strerror(errno);
    expect_clean(run({path("white.dff")}), progress({{path("white.dff"), 0}}),
                 read_file(path("white.dff")), white_model);
    // Regression: one longer than a read's window was still locked, and so failed while held.
    const bytes long_white = cat({chunk(chunk_type::struct_data, bytes(5 << 20, 0)), white_model});
    write_file(path("white.dff"), long_white);
    expect_clean(run({path("white.dff")}), progress({{path("white.dff"), 0}}),
                 read_file(path("white.dff")), long_white);
    close(white_lock);
    close(reader_lock);
    // Another run's lock: flock on a separate open file description.
    const int holder = open(file.c_str(), O_RDONLY);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0) << std::strerror(errno);
    const process_result locked = run({file});
    // Readers are not blocked: a dry run takes no lock.
    const process_result reader = run({"--dry-run", file});
    close(holder);
    expect_reported(locked, "", "in use by another program: ", read_file(file), before);
    EXPECT_EQ(locked.err.rfind("img-whiten: " + file + ": in use by another program: ", 0), 0u);
    expect_clean(reader, progress({{"car.dff", 1}}) + dry_summary(1, 1, 1), read_file(file),
                 before);
    // Once the lock is gone the archive patches as usual.
    const process_result unlocked = run({file});
    expect_clean(unlocked, progress({{"car.dff", 1}}), read_file(file),
                 whitened(before, {sector + 28}));
}

TEST_F(end_to_end, archive_held_open_for_writing_by_a_windows_program_is_in_use) {
    if (config.hold_file.empty()) {
        if (!config.launcher.empty()) {
            SKIP_UNLESS_CI(
                "needs --hold-file, the Windows program that holds a file open");  // the Windows
                                                                                   // pass has it
        }
        GTEST_SKIP() << "needs --hold-file, the Windows program that holds a file open";
    }
    const bytes before = archive({{"car.dff", material(grey)}});
    const std::string file = path("held.img");
    write_file(file, before);
    // Holds `file` open in another Windows process while the tool runs.
    auto while_held = [&](const char* access, const std::vector<std::string>& args) {
        int to_holder[2], from_holder[2];
        EXPECT_EQ(pipe2(to_holder, O_CLOEXEC), 0);  // no child keeps the other ends
        EXPECT_EQ(pipe2(from_holder, O_CLOEXEC), 0);
        std::vector<std::string> argv = config.launcher;
        argv.insert(argv.end(), {config.hold_file, file, access});
        const int pid = start_process(argv, to_holder[0], from_holder[1], -1);
        close(to_holder[0]);
        close(from_holder[1]);
        std::string said;
        char c = 0;
        while (said.find("held") == std::string::npos && read(from_holder[0], &c, 1) == 1) {
            said += c;
        }
        EXPECT_NE(said.find("held"), std::string::npos) << said;
        const process_result result = run(args);
        close(to_holder[1]);  // the holder closes the file at the end of its input
        close(from_holder[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        return result;
    };
    const process_result writer = while_held("write", {file});
    expect_reported(writer, "", "in use by another program", read_file(file), before);
    const process_result dry = while_held("write", {"--dry-run", file});
    expect_clean(dry, progress({{"car.dff", 1}}) + dry_summary(1, 1, 1), read_file(file), before);
    // A reader that shares only reading keeps every writer out, this run too.
    const process_result strict_reader = while_held("read-deny-write", {file});
    expect_reported(strict_reader, "", "in use by another program", read_file(file), before);
    const process_result reader = while_held("read", {file});
    expect_clean(reader, progress({{"car.dff", 1}}), read_file(file),
                 whitened(before, {sector + 28}));
}

// Regression: started by a launcher with CREATE_NO_WINDOW, the exe waited for
// Enter on a console nobody could see, and the launcher hung.
TEST_F(end_to_end, started_without_a_window_or_standard_handles_it_never_waits) {
    if (config.launch.empty()) {
        if (!config.launcher.empty()) {
            SKIP_UNLESS_CI(
                "needs --launch, the Windows program that starts the exe");  // the Windows pass has
                                                                             // it
        }
        GTEST_SKIP() << "needs --launch, the Windows program that starts the exe";
    }
    const bytes before = archive({{"car.dff", material(grey)}});
    const std::string file = path("launched.img");
    const struct {
        const char* mode;
        int status;  // without standard handles the progress lines are lost: reported
    } cases[] = {{"no-window", 0}, {"detached", 1}, {"no-handles", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        write_file(file, before);
        std::vector<std::string> argv = config.launcher;
        argv.insert(argv.end(), {config.launch, c.mode, config.exe, file});
        const process_result result = run_process(argv);
        EXPECT_EQ(result.exit_status, c.status) << "99: still waiting after 30 s\n" << result.err;
        EXPECT_TRUE(read_file(file) == whitened(before, {sector + 28})) << "file bytes differ";
    }
}

// Files dropped on the exe: a console window of its own, which Wine gives only
// on an X display. What is typed at the closing prompt decides whether the run
// is put back; the journal the run kept in the temporary folder is gone after.
TEST_F(end_to_end, a_dropped_run_offers_to_put_back_what_it_whitened) {
    if (config.launch.empty() || std::getenv("DISPLAY") == nullptr) {
        if (!config.launcher.empty()) {
            SKIP_UNLESS_CI("needs --launch and an X display (Xvfb) for the exe's console window");
        }
        GTEST_SKIP() << "needs --launch, the Windows program that starts the exe, and a display";
    }
    const bytes before = archive({{"car.dff", material(grey)}});
    const std::string file = path("dropped.img"), temp = path("temp"), typed = path("typed");
    std::filesystem::create_directory(temp);
    const struct {
        const char* typed;
        bool put_back;
    } cases[] = {{"U\n\n", true}, {"\n", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        write_file(file, before);
        write_file(typed, bytes(c.typed, c.typed + std::strlen(c.typed)));
        std::vector<std::string> argv = config.launcher;
        argv.insert(argv.end(), {config.launch, "new-console", temp, config.exe, file});
        process_limits limits;
        limits.stdin_file = typed.c_str();
        const process_result result = run_process(argv, limits);
        EXPECT_EQ(result.exit_status, 0) << "99: still waiting after 30 s\n" << result.err;
        EXPECT_TRUE(read_file(file) == (c.put_back ? before : whitened(before, {sector + 28})));
        EXPECT_TRUE(std::filesystem::is_empty(temp)) << "the journal was left behind";
    }
}

// --- Paths in any script: Cyrillic, CJK and an emoji outside the BMP ---

TEST_F(end_to_end, unicode_paths_open_and_are_named_in_messages) {
    const std::string folder = path("Документы 模型 \xF0\x9F\x9A\x97");
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    const bytes before = archive({{"car.dff", material(grey)}, {"bus.dff", material(white)}});
    const std::string files[] = {folder + "/модели.img", folder + "/車 \xF0\x9F\x9A\x8C.img",
                                 path("plain.img")};
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        write_file(file, before);
        const process_result result = run({file});
        expect_clean(result, progress({{"car.dff", 1}, {"bus.dff", 0}}), read_file(file),
                     whitened(before, {sector + 28}));
    }
    const std::string missing = folder + "/нет \xF0\x9F\x9A\x97.img";
    const process_result result = run({missing});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("img-whiten: " + missing + ": cannot open for update: ", 0), 0u)
        << result.err;
}

TEST_F(end_to_end, same_output_and_bytes_as_the_reference_build) {
    if (config.reference.empty()) {
        if (!config.launcher.empty()) {
            SKIP_UNLESS_CI(
                "needs --reference, another build of the tool to compare with");  // the Windows
                                                                                  // pass has it
        }
        GTEST_SKIP() << "needs --reference, another build of the tool to compare with";
    }
    sample_options options;
    options.target_bytes = 4u << 20;
    options.seed = 11;
    bytes cut = archive(sample_entries(options));
    cut.resize(cut.size() / 2 + 1001);  // damaged: the reports must match too
    const std::string folder = path("Документы 模型 \xF0\x9F\x9A\x97");
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    for (const auto& [name, before] : std::vector<std::pair<std::string, bytes>>{
             {"sample", archive(sample_entries(options))}, {"cut sample", cut}}) {
        SCOPED_TRACE(name);
        const std::string mine = folder + "/модели.img", theirs = path("reference.img");
        write_file(mine, before);
        write_file(theirs, before);
        const process_result tested = run({mine});
        const process_result reference = run_process({config.reference, theirs});
        std::string out = tested.out;
        for (std::size_t at; (at = out.find("\r\n")) != std::string::npos;) {
            out.erase(at, 1);
        }
        EXPECT_EQ(out, reference.out);
        EXPECT_EQ(tested.exit_status, reference.exit_status);
        EXPECT_TRUE(read_file(mine) == read_file(theirs)) << "file bytes differ";
    }
}

// --- Options for scripts: --check, --quiet, --json, the progress display, --jobs ---

using img_whiten::invariants::printed_name;

// --list names only models with grey materials, each followed by where they
// sit and their textures, in every kind of run; headings only for archives
// with something to list.
TEST_F(end_to_end, a_listing_tells_each_grey_material_of_the_models_that_have_one) {
    const std::string root = path("mods");
    std::filesystem::create_directories(root);
    const bytes car = clump({geometry({material(white), material(grey, "body")}, 0),
                             geometry({material(grey), material(grey, "rim\x1b")}, 0)});
    write_file(
        root + "/a.img",
        archive({{"car.dff", car}, {"white.dff", material(white)}, {"car.txd", material(grey)}}));
    write_file(root + "/b.img", archive({{"plain.dff", material(white)}}));
    write_file(root + "/c.dff", material(grey, "loose"));
    const std::string listed_a = lines("==> " + in_tree(root, "a.img") +
                                       " <==\n"
                                       "Patching car.dff patched 3 materials\n"
                                       "  geometry 0, material 1, texture body\n"
                                       "  geometry 1, material 0, no texture\n"
                                       "  geometry 1, material 1, texture \"rim\\x1b\"\n");
    const std::string listed_c = lines("Patching " + in_tree(root, "c.dff") +
                                       " patched 1 materials\n"
                                       "  no geometry, no material list, texture loose\n");
    const std::string listed = listed_a + listed_c;
    const struct {
        std::vector<std::string> args;
        std::string out;
        int status;
    } rows[] = {
        {{"--list", "--dry-run", root}, listed + dry_summary(3, 2, 4), 0},
        {{"--list", "--check", root}, listed + dry_summary(3, 2, 4), 3},
        {{"-ln", in_tree(root, "c.dff")}, listed_c + dry_summary(1, 1, 1), 0},
        {{"--list", root},
         listed + lines("Visited 3 files: 2 models changed, 4 materials whitened\n"),
         0},
        // Nothing grey is left: nothing is listed.
        {{"--list", root}, lines("Visited 3 files: 0 models changed, 0 materials whitened\n"), 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args[0] + " " + row.args[1]);
        const process_result result = run(row.args);
        EXPECT_EQ(result.out, row.out);
        EXPECT_EQ(result.exit_status, row.status) << what_it_did(result);
    }
    // With --json, each model object carries its materials, null where there is none.
    write_file(root + "/c.dff", material(grey, "loose"));
    write_file(root + "/a.img", archive({{"car.dff", car}}));
    const std::vector<json_object> objects = parse_json_lines(run({"-ln", "--json", root}).out);
    ASSERT_EQ(objects.size(), 3u);
    const std::vector<json_object>& car_listed = objects[0].at("materials").items;
    ASSERT_EQ(car_listed.size(), 3u);
    EXPECT_EQ(car_listed[2].at("geometry").number_value, 1);
    EXPECT_EQ(car_listed[2].at("material").number_value, 1);
    EXPECT_EQ(car_listed[2].at("texture").text, "rim\x1b");
    EXPECT_EQ(car_listed[1].at("texture").kind, json_value::null);
    const std::vector<json_object>& loose_listed = objects[1].at("materials").items;
    ASSERT_EQ(loose_listed.size(), 1u);
    EXPECT_EQ(loose_listed[0].at("geometry").kind, json_value::null);
    EXPECT_EQ(loose_listed[0].at("material").kind, json_value::null);
    EXPECT_EQ(loose_listed[0].at("texture").text, "loose");
}

TEST_F(end_to_end, check_says_in_its_status_whether_anything_would_change) {
    const struct {
        const char* name;
        bool grey, missing;
        int status;
    } cases[] = {
        {"nothing to whiten", false, false, 0},
        {"something to whiten", true, false, 3},
        {"a failure", false, true, 1},
        {"a failure and something to whiten", true, true, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const bytes before = material(c.grey ? grey : white);
        write_file(path("m.dff"), before);
        std::vector<std::string> args{path("m.dff")};
        if (c.missing) {
            args.push_back(path("missing.dff"));
        }
        for (const std::vector<std::string>& options : std::vector<std::vector<std::string>>{
                 {"--check"}, {"--check", "--quiet"}, {"--check", "--json"}, {"--check", "-n"}}) {
            std::vector<std::string> all = options;
            all.insert(all.end(), args.begin(), args.end());
            const process_result result = run(all);
            EXPECT_EQ(result.exit_status, c.status) << options.back() << result.err;
            EXPECT_TRUE(read_file(path("m.dff")) == before) << "--check wrote";
        }
        // Without --check a dry run's status keeps its meaning.
        args.insert(args.begin(), "--dry-run");
        EXPECT_EQ(run(args).exit_status, c.missing ? 1 : 0);
    }
}

TEST_F(end_to_end, quiet_and_json_runs_say_what_the_text_run_says) {
    // Names that need escaping in text and in JSON, where the file system allows them.
    const bool unix_names = config.launcher.empty();
    const std::string root = path("mods");
    std::vector<std::string> names = {"car.dff", "it's (1) & co.dff", "\xD0\xBC.dff"};
    if (unix_names) {
        names.insert(names.end(),
                     {"quote\"and\\back.dff", "new\nline.dff", "esc\x1b]0;t\x07.dff", "bad\xFF.dff",
                      "b.dff patched 0 materials\nVisited 1 file: x\nx.dff",
                      // Regression guard: base64 of names of every length mod 3.
                      "bad\xFF-.dff", "bad\xFF--.dff"});
    }
    std::filesystem::create_directories(root);
    for (const std::string& name : names) {
        write_file(root + "/" + name, material(grey));
    }
    write_file(root + "/a.img", archive({{"in\nner.dff", material(grey)},
                                         {"white.dff", material(white)},
                                         {"\xFF.dff", material(white)},
                                         {"\xFF-.dff", material(white)},
                                         {"\xFF--.dff", material(white)}}));
    const std::vector<std::string> args = {"--dry-run", root, path("missing.dff")};
    const process_result text = run(args);
    ASSERT_EQ(text.exit_status, 1) << text.err;

    std::vector<std::string> quiet_args = args;
    quiet_args.insert(quiet_args.begin(), "--quiet");
    const process_result quiet = run(quiet_args);
    const std::string summary = text.out.substr(text.out.rfind("Visited"));
    EXPECT_EQ(quiet.out, summary);
    EXPECT_EQ(quiet.err, text.err);
    EXPECT_EQ(quiet.exit_status, 1);
    // One path, quiet: the summary still ends the run.
    EXPECT_EQ(run({"-qn", root + "/car.dff"}).out,
              lines("Visited 1 file: 1 model would change, 1 material would be whitened (dry "
                    "run: nothing was written)\n"));

    std::vector<std::string> json_args = args;
    json_args.insert(json_args.begin(), "--json");
    const process_result json = run(json_args);
    EXPECT_EQ(json.err, text.err);
    EXPECT_EQ(json.exit_status, 1);
    // Each object stands for the text line at its place: model lines, failures, the summary.
    std::string rebuilt, messages;
    for (const json_object& object : parse_json_lines(json.out)) {
        const std::string type = object.at("type").text;
        auto name_of = [&](const char* key) { return json_name(object, key); };
        if (type == "model") {
            const std::string file = name_of("file");
            if (object.at("entry").kind == json_value::null) {
                rebuilt += "Patching " + printed_name(file);
            } else {
                if (rebuilt.find("==> " + printed_name(file)) == std::string::npos) {
                    rebuilt += "==> " + printed_name(file) + " <==\n";
                }
                rebuilt += "Patching " + printed_name(name_of("entry"));
            }
            rebuilt +=
                " patched " + std::to_string(object.at("whitened").number_value) + " materials\n";
        } else if (type == "error") {
            messages += "img-whiten: " + printed_name(name_of("file")) + ": " +
                        object.at("message").text + "\n";
        } else {
            EXPECT_EQ(type, "summary");
            EXPECT_TRUE(object.at("dry_run").boolean_value);
            EXPECT_EQ(object.at("format_version").number_value, 1);
            EXPECT_EQ(object.at("files").number_value, static_cast<long long>(names.size() + 1));
            EXPECT_EQ(object.at("models_changed").number_value,
                      static_cast<long long>(names.size() + 1));
            EXPECT_EQ(object.at("whitened").number_value, static_cast<long long>(names.size() + 1));
            EXPECT_EQ(object.at("failed").number_value, 1);
        }
    }
    EXPECT_EQ(lines(rebuilt), text.out.substr(0, text.out.rfind("Visited")));
    EXPECT_EQ(text.err.find(lines(messages)), 0u) << text.err;
}

// Regression: a run over many files on a terminal said nothing of how far it
// was. Regressions: with several jobs it showed neither path nor bytes; on a
// terminal stdout shares it was redrawn around every line, without limit; the
// terminal's width was read once; excluded files were counted as found.
TEST_F(end_to_end, progress_shows_on_a_terminal_only_and_is_erased) {
    if (!config.launcher.empty()) {
        GTEST_SKIP() << "Wine gives a console of its own, not the test's terminal";
    }
    // Enough lines to fill a pipe: the run then waits for the test past its first second.
    const std::string root = path("tree");
    std::filesystem::create_directories(root);
    for (int i = 0; i < 3000; ++i) {
        write_file(root + "/" + std::to_string(10000 + i) + ".dff", material(white));
    }
    // Many entries, each written back slowly: a run of 3 s at least.
    std::vector<entry> entries;
    for (int i = 0; i < 2000; ++i) {
        entries.push_back({"m" + std::to_string(i) + ".dff", material(grey)});
    }
    const std::string big = path("many.img");
    const bytes many = archive(entries);
    const struct {
        const char* name;
        bool terminal;  // stderr on a terminal, else on a pipe
        bool shared;    // stdout on that terminal too, else on a pipe read after 1.5 s
        std::vector<std::string> args;
    } cases[] = {
        // Files left out are not counted among those found.
        {"stderr on a terminal", true, false, {"--jobs", "2", "--exclude", "1299?.dff", root}},
        {"stderr on a pipe", false, false, {"--jobs", "2", "--exclude", "1299?.dff", root}},
        {"one job, stdout on the terminal too", true, true, {big}},
        {"several jobs, stdout on the terminal too", true, true, {"--jobs", "2", big, root}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(!c.shared || !config.short_io.empty()) << "--short-io slows the run";
        write_file(big, many);
        int err_fds[2] = {-1, -1};
        if (c.terminal) {
            const winsize wide{24, 250, 0, 0};
            ASSERT_EQ(openpty(&err_fds[0], &err_fds[1], nullptr, nullptr, &wide), 0);
        } else {
            ASSERT_EQ(pipe(err_fds), 0);
        }
        int out_fds[2] = {-1, err_fds[1]};
        if (!c.shared) {
            ASSERT_EQ(pipe(out_fds), 0);
        }
        std::vector<std::string> argv{config.exe};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto started = std::chrono::steady_clock::now();
        const int pid =
            start_process(c.shared ? with_slow_writes(config.short_io, 1500, argv) : argv, -1,
                          out_fds[1], err_fds[1]);
        close(err_fds[1]);
        if (!c.shared) {
            close(out_fds[1]);
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        }
        // Both streams, read as they come, to their ends (a terminal's master ends in EIO).
        std::string out, err;
        bool resized = false;
        for (pollfd ready[2] = {{c.shared ? -1 : out_fds[0], POLLIN, 0}, {err_fds[0], POLLIN, 0}};
             ready[0].fd >= 0 || ready[1].fd >= 0;) {
            ASSERT_GT(poll(ready, 2, -1), 0);
            for (int i = 0; i < 2; ++i) {
                char buffer[65536];
                const ssize_t got =
                    ready[i].revents != 0 ? read(ready[i].fd, buffer, sizeof buffer) : 1;
                if (got <= 0) {
                    close(ready[i].fd);
                    ready[i].fd = -1;
                } else if (ready[i].revents != 0) {
                    (i == 0 ? out : err).append(buffer, static_cast<std::size_t>(got));
                }
            }
            if (c.shared && !resized && err.find(" files, ") != std::string::npos) {
                const winsize narrow{24, 60, 0, 0};  // the window shrinks once the line is shown
                resized = ioctl(err_fds[0], TIOCSWINSZ, &narrow) == 0;
            }
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << err;
        EXPECT_EQ(out.find('\r'), std::string::npos) << "progress reached stdout";
        if (!c.terminal) {
            EXPECT_EQ(err, "");
            continue;
        }
        // Each drawing of the line, in order.
        std::vector<std::string> drawn;
        for (std::size_t at = 0; (at = err.find('\r', at)) != std::string::npos;) {
            const std::size_t end = std::min(err.find_first_of("\r\n", at + 1), err.size());
            if (err.compare(at + 1, std::min<std::size_t>(end - at - 1, 12), "            ") != 0 &&
                err.substr(at, end - at).find(" files, ") != std::string::npos) {
                drawn.push_back(err.substr(at + 1, end - at - 1));
            }
            at = end;
        }
        ASSERT_FALSE(drawn.empty()) << err.substr(0, 2000);
        EXPECT_LE(drawn.size(), 5 * seconds + 5) << "redrawn too often over " << seconds << " s";
        EXPECT_EQ(err.find('\n'), c.shared ? err.find('\n') : std::string::npos)
            << "the display took a line of its own";
        // Erased at the end: a blanked line follows the last drawing.
        const std::size_t last = err.rfind(drawn.back());
        EXPECT_NE(err.find("\r" + std::string(drawn.back().size(), ' ') + "\r", last),
                  std::string::npos);
        if (!c.shared) {
            EXPECT_NE(drawn.back().find("/2990 files, "), std::string::npos) << drawn.back();
            continue;
        }
        // The archive's path and the bytes read so far, with one job or several.
        EXPECT_TRUE(std::any_of(drawn.begin(), drawn.end(), [&](const std::string& line) {
            return line.find(" read: " + big) != std::string::npos &&
                   line.find(" 0 B read") == std::string::npos;
        })) << drawn.front();
        EXPECT_TRUE(resized);
        EXPECT_LT(drawn.back().size(), 60u) << "drawn for the width the terminal had at first";
    }
}

// --jobs changes nothing but speed: the same lines, messages, status and bytes as one job.
// Enough files for many batches of them, with links whose first path is met in another batch.
TEST_F(end_to_end, several_jobs_give_what_one_job_gives) {
    sample_options options;
    options.target_bytes = 2u << 20;
    options.seed = 21;
    bytes damaged = archive(sample_entries(options));
    set_le32(damaged, entry_record_offset(2), 0x00FFFFFF);  // an entry far past the end
    const auto lay_out = [&](const std::string& root) {
        for (unsigned folder = 0; folder < 7; ++folder) {
            std::filesystem::create_directories(root + "/f" + std::to_string(folder));
        }
        for (unsigned i = 0; i < 240; ++i) {
            const rgba colour = i % 3 == 0 ? white : grey;
            write_file(root + "/f" + std::to_string(i % 7) + "/m" + std::to_string(i) + ".dff",
                       i % 5 == 0 ? archive({{"in.dff", material(colour)}})
                                  : clump({geometry({material(colour)}, 64 * (i + 1))}));
        }
        std::filesystem::create_directories(root + "/big");
        write_file(root + "/big/sample.img", archive(sample_entries(options)));
        write_file(root + "/big/damaged.img", damaged);
        write_file(root + "/f3/empty.dff", {});
        EXPECT_EQ(link((root + "/f1/m1.dff").c_str(), (root + "/f0/a-link.dff").c_str()), 0);
        EXPECT_EQ(link((root + "/f0/m7.dff").c_str(), (root + "/f6/z-link.dff").c_str()), 0);
        write_file(root + "/f4/m50-damaged.img", damaged);  // a failure amid the batches
    };
    std::vector<std::pair<process_result, std::string>> runs;
    for (const char* jobs : {"1", "2", "16"}) {
        const std::string root = path(std::string("jobs-") + jobs);
        lay_out(root);
        // A listing dry run, a dry run, then the real run.
        for (const std::vector<std::string>& kind :
             std::vector<std::vector<std::string>>{{"--dry-run", "--list"}, {"--dry-run"}, {}}) {
            std::vector<std::string> args{"--jobs", jobs, root, path("missing.dff")};
            args.insert(args.begin(), kind.begin(), kind.end());
            process_result result = run(args);
            // Paths differ only in the folder's name.
            for (std::size_t at; (at = result.out.find(root)) != std::string::npos;) {
                result.out.replace(at, root.size(), "ROOT");
            }
            for (std::size_t at; (at = result.err.find(root)) != std::string::npos;) {
                result.err.replace(at, root.size(), "ROOT");
            }
            std::string bytes_seen;
            for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
                if (item.is_regular_file()) {
                    const bytes data = read_file(item.path().string());
                    bytes_seen += item.path().string().substr(root.size()) + ":" +
                                  std::string(data.begin(), data.end());
                }
            }
            runs.emplace_back(result, bytes_seen);
        }
    }
    for (std::size_t i = 3; i < runs.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& one_job = runs[i % 3];
        EXPECT_EQ(runs[i].first.out, one_job.first.out);
        EXPECT_EQ(runs[i].first.err, one_job.first.err);
        EXPECT_EQ(runs[i].first.exit_status, one_job.first.exit_status);
        EXPECT_TRUE(runs[i].second == one_job.second) << "file bytes differ";
    }
    EXPECT_NE(runs[1].first.out.find("patched 1 materials"), std::string::npos);
    EXPECT_NE(runs[0].first.out.find("  no geometry, no material list, no texture"),
              std::string::npos);
}

// Regression: with several jobs, files waiting for their turn kept their folders
// open, beside the folders of a deep walk, and a run under a low descriptor
// limit failed to open files that one job opened (and -j 256 failed at once).
// Regression: descriptors left open by the parent were not counted, and
// several jobs failed with "Too many open files" where one job did not.
// Regression: under `ulimit -v`, several jobs left models grey (their messages
// lost) while the summary counted them whitened, and failed none.
// Regression: workers' 8 MiB stacks took what an address-space limit left,
// and folders went unread with -j16 and -j256 (the 70 MiB rows).
TEST_F(end_to_end, a_low_descriptor_or_memory_limit_gives_what_one_job_gives) {
    if (!config.launcher.empty()) {
        GTEST_SKIP() << "the limit binds Wine's own processes, not the Windows program's handles";
    }
    const struct {
        unsigned files_limit, inherited;
        std::uint64_t space_mib;  // of address space; 0: no limit
        const char* jobs;
    } cases[] = {
        {40, 0, 0, "1"},    {40, 0, 0, "2"},    {40, 0, 0, "16"},    {40, 0, 0, "256"},
        {256, 200, 0, "1"}, {256, 200, 0, "2"}, {256, 200, 0, "16"}, {0, 0, 24, "1"},
        {0, 0, 24, "16"},   {0, 0, 24, "256"},  {0, 0, 70, "16"},    {0, 0, 70, "256"},
    };
    std::string one_job;
    for (const auto& c : cases) {
        SCOPED_TRACE("descriptors " + std::to_string(c.files_limit) + ", " +
                     std::to_string(c.inherited) + " inherited, " + std::to_string(c.space_mib) +
                     " MiB, --jobs " + c.jobs);
        process_limits few;
        few.open_files_limit = c.files_limit;
        few.inherited_files = c.inherited;
        few.address_space_limit = c.space_mib << 20;
        if (c.space_mib != 0 && run({"--version"}, few).exit_status != 0) {
            continue;  // a sanitizer's runtime alone takes more address space than that
        }
        const std::string jobs = c.jobs;
        const std::string root = path("limits-" + std::to_string(&c - cases) + "-" + jobs);
        for (unsigned i = 0; i < 300; ++i) {  // one model a folder: a folder for each waiting file
            const std::string folder = root + "/d" + std::to_string(1000 + i);
            std::filesystem::create_directories(folder);
            write_file(folder + "/a.dff", material(grey));
        }
        // The walk's own folders count too. Regression guard: a chain of folders nearly as
        // deep as one job can go (it fails 6 levels deeper), with models waiting in folders at
        // its end, ran several jobs short of descriptors when the walk's folders were left out
        // of their budget. The 4 spare levels are for a sanitizer's runtime.
        const unsigned depth = c.files_limit != 0 ? c.files_limit - c.inherited - 16 : 26;
        std::string deep = root + "/deep";
        for (unsigned level = 0; level < depth; ++level, deep += "/d") {
            std::filesystem::create_directories(deep);
            write_file(deep + "/m.dff", material(grey));
        }
        for (unsigned i = 0; i < 20; ++i) {
            const std::string folder = deep + "/e" + std::to_string(10 + i);
            std::filesystem::create_directories(folder);
            write_file(folder + "/a.dff", material(grey));
        }
        process_result result = run({"--jobs", jobs, root}, few);
        EXPECT_EQ(result.exit_status, 0) << result.err;
        for (std::size_t at; (at = result.out.find(root)) != std::string::npos;) {
            result.out.replace(at, root.size(), "ROOT");
        }
        if (jobs == "1") {
            one_job = result.out;
        } else {
            EXPECT_EQ(result.out, one_job);
        }
    }
}

// --- Selection: backup copies and --exclude ---

// Regression: backup copies (car.dff~, car.dff_orig, ...) were patched as models.
TEST_F(end_to_end, backups_and_excluded_entries_are_left_alone) {
    const std::string root = path("mods");
    const bytes model = material(grey);
    const bytes keep = archive({{"car.dffx", material(grey)}});  // in an archive, still a model
    const std::vector<std::pair<std::string, bytes>> files = {
        {"a.dff", model},        {"a.dff~", model},
        {"b.dff_orig", model},   {"c.dffbak", model},
        {"ped4.dffx", model},    {"backup/x.dff", model},
        {"Peds/old.dff", model}, {"Peds/new.DFF", model},
        {"keep.img", keep},      {"Peds/backup/y.dff", model}};
    const std::vector<std::string> models = {"a.dff",        "backup/x.dff", "Peds/old.dff",
                                             "Peds/new.DFF", "keep.img",     "Peds/backup/y.dff"};
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> left;  // models the run must leave alone
    } cases[] = {
        {{root}, {}},
        {{root, "--exclude", "backup/"}, {"backup/x.dff", "Peds/backup/y.dff"}},
        {{"--exclude=Peds/old.dff", root}, {"Peds/old.dff"}},
        {{"--exclude", "*.img", root}, {"keep.img"}},
        {{"--exclude", "/Peds", root}, {"Peds/old.dff", "Peds/new.DFF", "Peds/backup/y.dff"}},
        {{"--exclude", "/backup/", root}, {"backup/x.dff"}},
        {{"--exclude", "**/y.dff", "--exclude", "[ab].dff", root}, {"Peds/backup/y.dff", "a.dff"}},
        // Regression: "**/backup/" let a backup folder at the top through.
        {{"--exclude", "**/backup/", root}, {"backup/x.dff", "Peds/backup/y.dff"}},
        // What is named is patched, whatever the patterns say.
        {{"--exclude", "a.dff", root + "/a.dff"},
         {"backup/x.dff", "Peds/old.dff", "Peds/new.DFF", "keep.img", "Peds/backup/y.dff"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.size() > 1 ? c.args[0] + " " + c.args[1] : c.args[0]);
        for (const auto& [name, before] : files) {
            std::filesystem::create_directories(
                std::filesystem::path(root + "/" + name).parent_path());
            write_file(root + "/" + name, before);
        }
        const process_result result = run(c.args);
        EXPECT_EQ(result.exit_status, 0) << result.err;
        for (const auto& [name, before] : files) {
            const bool model_file = std::find(models.begin(), models.end(), name) != models.end();
            const bool left = std::find(c.left.begin(), c.left.end(), name) != c.left.end();
            bytes expected = before;
            if (model_file && !left) {
                expected = whitened(before, grey_words_between(before, 0, before.size()));
            }
            EXPECT_TRUE(read_file(root + "/" + name) == expected) << name;
        }
    }
}

// Regression: --exclude differed from rsync's (see the rows of exclude_rules),
// and the paths of a --files-from list were never passed over. Each pattern
// must pass over what rsync passes over, in a folder walked and in a list.
TEST_F(end_to_end, excludes_pass_over_what_rsync_passes_over) {
    if (run_process({"rsync", "--version"}).exit_status != 0) {
        SKIP_UNLESS_CI("needs rsync, whose --exclude this follows");
    }
    std::vector<std::string> files = {"backup/a.dff",   "Peds/backup/b.dff", "Peds/b.dff",
                                      "Peds/b.old.dff", "1car.dff",          "a/b.dff",
                                      "b/g.dff",        "a/x/y/b/c.dff",     "dir/d.dff",
                                      "dir/sub/e.dff",  "dir.dff",           "br[1]/f.dff"};
    if (config.launcher.empty()) {  // names Windows has no room for
        files.insert(files.end(), {"x\\y.dff", "a?.dff", "a\\?.dff"});
    }
    const std::string root = path("mods");
    for (const std::string& name : files) {
        std::filesystem::create_directories(std::filesystem::path(root + "/" + name).parent_path());
        write_file(root + "/" + name, material(grey));
    }
    const std::string list = path("list.txt");
    const std::string listed = "backup/a.dff\nPeds\n./dir/d.dff\na/x\n1car.dff\nbr[1]/f.dff\n";
    write_file(list, bytes(listed.begin(), listed.end()));
    const std::string to = path("to/");
    std::filesystem::create_directory(to);
    // The models a run named, from its lines, or the files rsync named: sorted, '/'-separated.
    const auto names = [](const std::string& out, bool tool) {
        std::vector<std::string> found;
        std::size_t start = 0;
        for (std::size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = out.substr(start, end - start);
            const std::string head = "Patching ", tail = " patched 1 materials";
            line.erase(line.size() - (!line.empty() && line.back() == '\r'));
            if (!tool && line.size() > 4 && line.compare(line.size() - 4, 4, ".dff") == 0) {
                found.push_back(line);
            } else if (tool && line.rfind(head, 0) == 0 &&
                       line.size() > head.size() + tail.size()) {
                line = line.substr(head.size(), line.size() - head.size() - tail.size());
                if (!config.launcher.empty()) {
                    std::replace(line.begin(), line.end(), '\\', '/');
                }
                found.push_back(line.rfind("./", 0) == 0 ? line.substr(2) : line);
            }
        }
        std::sort(found.begin(), found.end());
        return found;
    };
    // The first rows hang on paths more than on wildcards: under a launcher,
    // where each run takes seconds, they are enough.
    const char* const patterns[] = {
        "**/backup/", "/backup/",    "dir/***",          "Peds/b.dff", "/a/x/",    "x",
        "backup/",    "/**/backup/", "*.old.dff",        "**.dff",     "Peds**",   "a/**/b",
        "**/b",       "/dir/***",    "[[:digit:]]*.dff", "x\\y.dff",   "*\\?.dff", "/b.dff",
        "b/",         "br[1]",       "br\\[1]",          "a/*/*/b/",   "*/",       "[!a-d]*.dff",
    };
    const std::size_t rows = config.launcher.empty() ? std::size(patterns) : 6;
    const std::string previous = std::filesystem::current_path().string();
    std::filesystem::current_path(root);  // where the list's paths start, for rsync and the tool
    for (std::size_t row = 0; row < rows; ++row) {
        SCOPED_TRACE(patterns[row]);
        const std::string exclude = std::string("--exclude=") + patterns[row];
        const std::vector<std::string> rsync = {"rsync", "-r", "-n", "--out-format=%n", exclude};
        std::vector<std::string> walk = rsync, from_list = rsync;
        walk.insert(walk.end(), {"./", to});
        from_list.insert(from_list.end(), {"--files-from=" + list, "./", to});
        const process_result walked = run({"-n", exclude, "."});
        const process_result listed_run = run({"-n", exclude, "--files-from", list});
        EXPECT_EQ(walked.exit_status, 0) << walked.err;
        EXPECT_EQ(listed_run.exit_status, 0) << listed_run.err;
        EXPECT_EQ(names(walked.out, true), names(run_process(walk).out, false)) << "walked";
        EXPECT_EQ(names(listed_run.out, true), names(run_process(from_list).out, false))
            << "listed";
    }
    std::filesystem::current_path(previous);
}

}  // namespace
