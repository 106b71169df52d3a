// End to end: the options, the dry run, other programs holding the archive,
// and paths in any script.
#include "support.h"

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

TEST_F(end_to_end, no_path_is_a_usage_error) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"--dry-run"}, {"-n"}, {"-0", "--exclude", "*.dff"}}) {
        const process_result result = run(args);
        EXPECT_EQ(result.exit_status, 2) << args.size();
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, lines("img-whiten: no path given; see img-whiten --help\n"));
    }
}

// Archives on which a dry run must print exactly what a real run then prints.
std::vector<std::pair<std::string, bytes>> dry_run_archives() {
    sample_options options;
    options.target_bytes = 1u << 20;
    options.seed = 3;
    bytes shared = archive({{"first.dff", material(grey)}, {"second.dff", material(grey)}});
    set_le32(shared, entry_record_offset(1), 1);  // the second entry reads the first one's sector
    bytes overlapping = archive({{"head.dff", {}}, {"car.dff", material(grey)}});
    set_le32(overlapping, entry_record_offset(0), 0);
    set_le32(overlapping, entry_record_offset(0) + 4, 1);
    bytes cut =
        archive({{"a.dff", material(grey)}, {"b.dff", clump({geometry({material(grey)}, 4096)})}});
    cut.resize(cut.size() - 3000);
    return {{"sample", archive(sample_entries(options))},
            {"entries sharing a sector", shared},
            {"entry overlapping the directory", overlapping},
            {"entry cut by the end of the file", cut},
            {"no models", archive({{"a.txd", material(grey)}})},
            {"not an archive", bytes{'V', 'E', 'R', '3', 1, 0, 0, 0}}};
}

TEST_F(end_to_end, dry_run_writes_nothing_and_prints_what_a_real_run_prints) {
    for (const auto& [name, before] : dry_run_archives()) {
        SCOPED_TRACE(name);
        const std::string file = path("dry.img");
        write_file(file, before);
        const auto mtime = modified(file);
        // The option in any place and form; each run must leave the file as it was.
        std::vector<process_result> dry;
        for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
                 {"--dry-run", file}, {"-n", file}, {file, "--dry-run"}, {"--dry", file}}) {
            dry.push_back(run(args));
        }
        EXPECT_TRUE(read_file(file) == before) << "a dry run changed the file";
        EXPECT_EQ(modified(file), mtime);
        const process_result real = run({file});
        for (const process_result& result : dry) {
            EXPECT_EQ(result.out, real.out);
            EXPECT_EQ(result.err, real.err);
            EXPECT_EQ(result.exit_status, real.exit_status);
        }
    }
}

TEST_F(end_to_end, dry_run_works_on_a_file_that_cannot_be_written) {
    const bytes before = archive({{"car.dff", material(grey)}, {"m.dff", material(white)}});
    const std::string file = path("readonly.img");
    write_file(file, before);
    if (!make_read_only(file)) {
        GTEST_SKIP() << "the launcher runs as root, and this file system has no immutable files";
    }
    const process_result result = run({"--dry-run", file}, permissions_apply());
    expect_clean(result, progress({{"car.dff", 1}, {"m.dff", 0}}), read_file(file), before);
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
    // Another run's lock: flock on a separate open file description.
    const int holder = open(file.c_str(), O_RDONLY);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0) << std::strerror(errno);
    const process_result locked = run({file});
    // Readers are not blocked: a dry run takes no lock.
    const process_result reader = run({"--dry-run", file});
    close(holder);
    expect_reported(locked, "", "in use by another program: ", read_file(file), before);
    EXPECT_EQ(locked.err.rfind("img-whiten: " + file + ": in use by another program: ", 0), 0u);
    expect_clean(reader, progress({{"car.dff", 1}}), read_file(file), before);
    // Once the lock is gone the archive patches as usual.
    const process_result unlocked = run({file});
    expect_clean(unlocked, progress({{"car.dff", 1}}), read_file(file),
                 whitened(before, {sector + 28}));
}

TEST_F(end_to_end, archive_held_open_for_writing_by_a_windows_program_is_in_use) {
    if (config.hold_file.empty()) {
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
    expect_clean(dry, progress({{"car.dff", 1}}), read_file(file), before);
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

}  // namespace
