// End to end on one archive: sound archives give byte-exact stdout and bytes;
// damaged ones are reported, and still only grey words read from the file
// turn white; only the sectors that hold such a word are written.
#include "support.h"

#include "reference_run.h"

namespace {

using namespace e2e;

// Checks a run over the archive `before`, which left `after`, against what
// reference_run.h makes of the same bytes: stdout, bytes and exit status
// exactly, and a message when (only when) the archive is damaged. Returns
// the count of materials whitened.
long long expect_as_reference(const process_result& result, const bytes& before,
                              const bytes& after) {
    bytes expected = before;
    const img_whiten::reference::archive_result must =
        img_whiten::reference::patch_archive(expected);
    std::vector<progress_line> expected_lines;
    long long whitened = 0;
    for (std::size_t i = 0; i < must.models.size(); ++i) {
        expected_lines.push_back({must.models[i], must.counts[i]});
        whitened += must.counts[i];
    }
    EXPECT_EQ(result.signal, 0) << "killed: spinning or crashed";
    EXPECT_EQ(result.exit_status, must.damaged ? 1 : 0) << what_it_did(result);
    EXPECT_EQ(result.out, progress(expected_lines));
    EXPECT_TRUE(after == expected) << "the bytes differ from what a run must make of them";
    EXPECT_EQ(result.err.empty(), !must.damaged) << result.err;
    EXPECT_EQ(result.err.rfind("img-whiten: ", 0), result.err.empty() ? std::string::npos : 0)
        << result.err;
    return whitened;
}

// --- Sound archives: byte-exact stdout, untouched bytes, exit 0 ---

TEST_F(end_to_end, only_reached_grey_words_change) {
    const bytes two = clump({geometry({material(grey), material({149, 149, 149, 254})}, 64),
                             geometry({material(white), material(grey, "tex")}, 64)});
    const bytes none = clump({geometry({material(white)}, 64)});
    const bytes hidden = chunk(chunk_type::world, material(grey));
    const bytes before = archive({{"two.dff", two},
                                  {"a.txd", material(grey)},
                                  {"m.dff", none},
                                  {"M.DFF", two},
                                  {"w.dff", hidden},
                                  {"empty.dff", {}}});
    // Every grey word of the reachable models; the one in the World stays.
    const std::vector<std::size_t> two_greys = grey_words(before, 0);
    const std::vector<std::size_t> upper_greys = grey_words(before, 3);
    ASSERT_EQ(two_greys.size(), 2u);
    ASSERT_EQ(upper_greys.size(), 2u);
    std::vector<std::size_t> changed = two_greys;
    changed.insert(changed.end(), upper_greys.begin(), upper_greys.end());
    bytes after;
    const process_result result = patch(before, &after);
    expect_clean(
        result,
        progress({{"two.dff", 2}, {"m.dff", 0}, {"M.DFF", 2}, {"w.dff", 0}, {"empty.dff", 0}}),
        after, whitened(before, changed));
}

TEST_F(end_to_end, second_run_finds_nothing_and_writes_nothing) {
    sample_options options;
    options.target_bytes = 2u << 20;
    const bytes before = archive(sample_entries(options));
    const std::string file = path("twice.img");
    write_file(file, before);
    const process_result first = run({file});
    ASSERT_EQ(first.exit_status, 0) << first.err;
    const bytes once = read_file(file);
    ASSERT_NE(once, before);

    const auto mtime = modified(file);
    const process_result second = run({file});
    expect_as_reference(second, once, read_file(file));
    EXPECT_EQ(second.err, "");
    EXPECT_EQ(modified(file), mtime) << "written again";
}

// --- Write-back: only the sectors that hold a replaced word reach the file ---

TEST_F(end_to_end, writes_only_the_sectors_that_hold_a_replaced_word) {
    if (!config.launcher.empty()) {
        GTEST_SKIP() << "the write count of a launched program includes the launcher's own";
    }
    // Grey in the last of four sectors, behind 6 KiB of vertex data.
    const bytes late = clump({geometry({material(white)}, 6 << 10), geometry({material(grey)}, 0)});
    // A colour word at entry bytes 2046..2049, across the first sector boundary.
    const bytes straddling = cat({chunk(chunk_type::struct_data, bytes(2006, 0)), material(grey)});
    // A colour word at entry bytes 2045..2048: red, green and blue in the first sector.
    const bytes alpha_apart =
        cat({chunk(chunk_type::struct_data, bytes(2005, 0)), material(grey), bytes(2048, 0)});
    // Grey words in the first and third sectors of one model: two writes, not one of three sectors.
    const bytes apart = cat({chunk(chunk_type::struct_data, bytes(100, 0)), material(grey),
                             chunk(chunk_type::struct_data, bytes(4096, 0)), material(grey)});
    // Grey in the second sector, which the file's end cuts 100 bytes in.
    const bytes cut = cat({chunk(chunk_type::struct_data, bytes(2024, 0)), material(grey)});
    bytes cut_archive = archive({{"cut.dff", cut}});
    cut_archive.resize(2 * sector + 100);
    const struct {
        const char* name;
        bytes file;
        std::uint64_t written;  // bytes the run may hand to the OS for the archive
        int status;
    } cases[] = {
        {"one sector of four", archive({{"late.dff", late}}), sector, 0},
        {"a word across two sectors", archive({{"across.dff", straddling}}), 2 * sector, 0},
        // Regression: the sector holding only the word's alpha, which stays 0xFF, was written too.
        {"a word whose alpha alone is in the next sector", archive({{"alpha.dff", alpha_apart}}),
         sector, 0},
        {"a sector cut by the end of the file", cut_archive, 100, 1},
        {"two sectors one sector apart", archive({{"apart.dff", apart}}), 2 * sector, 0},
        {"second run",
         whitened(archive({{"late.dff", late}}), grey_words(archive({{"late.dff", late}}), 0)), 0,
         0},
        // Regression guard: a window after the first began where the walk stopped, not on a
        // sector, and its writes landed off the sectors (their bytes still right).
        {"grey in a later window",
         archive({{"big.dff", model_with_words_at({1000, (5u << 20) + 1003})}}), 2 * sector, 0},
    };
    ASSERT_FALSE(config.short_io.empty()) << "--short-io says where the writes land";
    const std::string log = path("writes");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = path("test.img");
        write_file(file, c.file);
        std::vector<std::string> argv = with_slow_writes(config.short_io, 0, command({file}));
        argv.insert(argv.begin() + 1, "SHORT_IO_LOG=" + log);
        std::filesystem::remove(log);
        const process_result result = run_process(argv);
        const bytes after = read_file(file);
        EXPECT_EQ(result.exit_status, c.status) << result.err;
        EXPECT_TRUE(after == whitened(c.file, grey_words_between(c.file, 0, c.file.size())))
            << "file bytes differ";
        // Each write covers whole sectors, or ends at the file's end.
        std::ifstream writes(log);
        std::uint64_t offset = 0, count = 0, logged = 0;
        while (writes >> offset >> count) {
            EXPECT_EQ(offset % sector, 0u) << "a write at byte " << offset;
            EXPECT_TRUE((offset + count) % sector == 0 || offset + count == c.file.size())
                << "a write of " << count << " bytes at byte " << offset;
            logged += count;
        }
        EXPECT_EQ(logged, c.written);
        // The archive and the log of its writes are the only files written.
        const std::uint64_t log_bytes = logged > 0 ? std::filesystem::file_size(log) : 0;
        EXPECT_EQ(bytes_written_to_files(result) - log_bytes, c.written);
    }
}

// --- Archives sound, damaged and hostile, each against what the reference makes of it ---

// Each row's bytes, run once, as the reference says, after a dry run that
// changes nothing and says the same; a damaged one says each of `messages`.
// Hostile numbers cost neither memory nor time.
TEST_F(end_to_end, archives_sound_damaged_and_hostile_give_what_the_reference_gives) {
    const auto with = [](bytes file,
                         const std::vector<std::pair<std::size_t, std::uint32_t>>& words) {
        for (const auto& [at, value] : words) {
            set_le32(file, at, value);
        }
        return file;
    };
    const auto cut_at = [](bytes file, std::size_t length) {
        file.resize(length);
        return file;
    };
    const bytes one = archive({{"car.dff", material(grey)}});
    sample_options sample;
    sample.target_bytes = 1u << 20;
    sample.seed = 3;
    bytes lower_magic = one;
    lower_magic[0] = 'v';
    // Two sectors of grey materials declared, the file cut after the first.
    bytes two_sectors = material(grey);
    two_sectors.resize(sector, 0);
    append(two_sectors, material(grey));
    bytes over_header = with(archive({{"head.dff", {}}, {"car.dff", material(grey)}}),
                             {{entry_record_offset(0), 0}, {entry_record_offset(0) + 4, 1}});
    std::copy_n(material(grey).begin(), 64, over_header.begin() + 1024);  // grey inside sector 0
    std::vector<entry> many;
    for (int i = 0; i < 70; ++i) {
        many.push_back({"m" + std::to_string(i) + ".txd", material(grey)});
    }
    many.push_back({"low.dff", material(grey)});
    bytes named_past_zero = one;  // the name field holds "car.dff\0\0x.txd"
    std::memcpy(&named_past_zero[entry_record_offset(0) + 8 + 9], "x.txd", 5);
    const bytes three =
        archive({{"a.dff", material(grey)}, {"b.dff", material(grey)}, {"c.dff", material(grey)}});
    const struct {
        const char* name;
        bytes file;
        std::vector<const char*> messages;
    } cases[] = {
        {"one grey material", one, {}},
        {"a sample archive", archive(sample_entries(sample)), {}},
        // Not archives, or archives without models: silent, exit 0.
        {"entry_count 0", archive({}), {}},
        {"no model entries", archive({{"a.txd", material(grey)}, {"b.col", material(grey)}}), {}},
        {"magic VER3", with(one, {{0, 0x33524556}}), {}},
        {"magic vER2", lower_magic, {}},
        {"negative entry_count", with(one, {{4, 0x80000000}}), {}},
        {"empty file", {}, {}},
        {"seven bytes", bytes{'V', 'E', 'R', '2', 1, 0, 0}, {}},
        // Regression: the next record's sector_offset ("XYZ!") was printed as part of the name.
        {"a name of 24 bytes without a zero",
         with(archive({{"abcdefghijklmnopqrst.dff", material(grey)}, {"next.txd", {}}}),
              {{entry_record_offset(1), 0x215A5958}, {entry_record_offset(1) + 4, 0}}),
         {}},
        {"a name with bytes after its zero", named_past_zero, {}},
        {"entries sharing a sector see earlier writes",
         with(archive({{"first.dff", material(grey)}, {"second.dff", material(grey)}}),
              {{entry_record_offset(1), 1}}),
         {}},
        // Damaged: reported, and still every grey word read from the file is whitened.
        {"an entry running past the end",
         cut_at(archive({{"cut.dff", two_sectors}}), 2 * sector),
         {"cut.dff: data runs past the end of the file: read 2048 of 4096 bytes"}},
        {"an entry starting past the end",
         with(archive({{"gone.dff", material(grey)}, {"car.dff", material(grey)}}),
              {{entry_record_offset(0), 0xFFFFFFFF}}),
         {"gone.dff: data starts past the end of the file"}},
        {"a directory running past the end",
         cut_at(three, entry_record_offset(2) + 10),
         {"directory runs past the end of the file: 2 of 3 entries present",
          "a.dff: data starts past the end of the file"}},
        // Regression: an entry at sector 0 was walked over the header and directory.
        {"an entry over the header",
         over_header,
         {"head.dff: data overlaps the archive header or directory"}},
        {"an entry over a directory longer than a sector",
         with(archive(many), {{entry_record_offset(70), 1}}),
         {"low.dff: data overlaps the archive header or directory"}},
        // Hostile numbers: no allocation or loop by what a file declares.
        {"entry_count 2^31-1",
         with(archive({{"car.dff", material(white)}, {"b.dff", material(white)}}),
              {{4, 0x7FFFFFFF}}),
         {"directory runs past the end of the file"}},
        {"sector_count 0xFFFFFFFF",
         with(archive({{"car.dff", material(white)}}), {{entry_record_offset(0) + 4, 0xFFFFFFFF}}),
         {"car.dff: data runs past the end of the file"}},
        {"chunk size 0xFFFFFFFF",
         archive({{"car.dff",
                   cat({chunk_header(chunk_type::struct_data, 0xFFFFFFFF), material(grey)})}}),
         {}},
        {"chunk size 0xFFFFFFF4",
         archive({{"car.dff",
                   cat({chunk_header(chunk_type::struct_data, 0xFFFFFFF4), material(grey)})}}),
         {}},
    };
    process_limits limits;
    limits.cpu_seconds = 10;  // a run that spins is killed long before the default's minute
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Peak memory of a run over a tiny sound archive: what the process costs anyway. Taken
        // for each row: a child's peak counts the test's own pages until its exec, and under a
        // sanitizer those grow from row to row.
        const long baseline_kib = patch(one).peak_rss_kib;
        const std::string file = path("test.img");
        write_file(file, c.file);
        const auto mtime = modified(file);
        const process_result dry = run({"--dry-run", file}, limits);
        EXPECT_TRUE(read_file(file) == c.file) << "a dry run changed the file";
        EXPECT_EQ(modified(file), mtime);
        const process_result result = run({file}, limits);
        expect_as_reference(result, c.file, read_file(file));
        // A dry run prints exactly what the real run then prints, and says it wrote nothing.
        EXPECT_EQ(before_dry_summary(dry.out), result.out) << dry.out;
        // Its summary lists the file again after a failure.
        EXPECT_EQ(dry.err,
                  result.err +
                      (result.exit_status == 1 ? lines("img-whiten: failed: " + file + "\n") : ""));
        EXPECT_EQ(dry.exit_status, result.exit_status) << what_it_did(dry);
        for (const char* message : c.messages) {
            EXPECT_NE(result.err.find(message), std::string::npos) << message;
        }
        EXPECT_LE(result.peak_rss_kib, baseline_kib + 4096);
        EXPECT_LT(result.seconds, 20.0) << "a hang, not a matter of speed: runs take milliseconds";
    }
}

TEST_F(end_to_end, paths_that_cannot_be_opened_or_are_not_regular_files) {
    ASSERT_EQ(mkfifo(path("pipe.dff").c_str(), 0644), 0);  // opening it would wait for a writer
    const struct {
        std::string path;
        std::string message;
    } cases[] = {
        {path("missing.img"), "cannot open for update: No such file or directory"},
        {path("pipe.dff"), "not a regular file: left alone"},  // Unix only from here on
        {"/dev/null", "not a regular file: left alone"},
    };
    for (const auto& c : cases) {
        if (!config.launcher.empty() && &c != &cases[0]) {
            break;  // Windows has no FIFOs, and the launcher maps Unix devices its own way
        }
        SCOPED_TRACE(c.path);
        const process_result result = run({c.path});
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_EQ(result.signal, 0) << "hung or crashed";
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, lines("img-whiten: " + c.path + ": " + c.message + "\n"));
    }
    EXPECT_FALSE(std::filesystem::exists(path("missing.img")));  // never created
}

TEST_F(end_to_end, archive_without_write_permission) {
    const bytes before = archive({{"car.dff", material(grey)}});
    const std::string file = path("readonly.img");
    write_file(file, before);
    if (!make_read_only(file)) {
        SKIP_UNLESS_CI("the launcher runs as root, and this file system has no immutable files");
    }
    const bytes white_archive = archive({{"car.dff", material(white)}});
    const std::string white_file = path("readonly-white.img");
    write_file(white_file, white_archive);
    ASSERT_TRUE(make_read_only(white_file));
    const process_limits limits = permissions_apply();
    const process_result result = run({file}, limits);
    // Read anyway: it fails the run only because it holds a grey word, and says why. Its
    // line counts what was written: nothing.
    expect_reported(result, progress({{"car.dff", 0}}),
                    "car.dff: cannot open for update: Permission denied", read_file(file), before);
    // A dry run has nothing to write.
    expect_clean(run({"--dry-run", file}, limits),
                 progress({{"car.dff", 1}}) + dry_summary(1, 1, 1), read_file(file), before);
    // With nothing to whiten, a read-only file is no failure.
    expect_clean(run({white_file}, limits), progress({{"car.dff", 0}}), read_file(white_file),
                 white_archive);
}

TEST_F(end_to_end, refused_write_stops_the_run) {
    // Three models, one per sector; writes past the second sector are refused (EFBIG).
    const bytes before =
        archive({{"a.dff", material(grey)}, {"b.dff", material(grey)}, {"c.dff", material(grey)}});
    const std::string file = path("limited.img");
    process_limits limits;
    limits.file_size_limit = 2 * sector;
    const struct {
        std::vector<std::string> options;
        std::string out;
    } rows[] = {
        // Regression: b.dff's line counted the word whose write was refused.
        {{}, progress({{"a.dff", 1}, {"b.dff", 0}})},
        // Regression: a listing named the materials whose write was refused.
        {{"--list"},
         progress({{"a.dff", 1}}) + lines("  no geometry, no material list, no texture\n")},
    };
    for (const auto& row : rows) {
        write_file(file, before);
        std::vector<std::string> args = row.options;
        args.push_back(file);
        const process_result result = run(args, limits);
        expect_reported(result, row.out, "b.dff: cannot write: ", read_file(file),
                        whitened(before, {sector + 28}));
        EXPECT_NE(result.err.find("later entries not visited"), std::string::npos) << result.err;
    }
}

// Regression: a writer that ignores the lock could cut the archive short, or
// change it, between the run's read and its write-back; the write then
// lengthened the file again, or put stale bytes back over the other writer's.
TEST_F(end_to_end, a_file_changed_between_read_and_write_back_is_not_written) {
    if (!config.launcher.empty()) {
        GTEST_SKIP() << "the run is held on a pipe of the Linux build's own stderr";
    }
    // The entry runs past the file's end, which the run says on stderr after
    // reading it and before writing it back: there it waits on the full pipe
    // (or, with `held`, on a mark short_io puts there first).
    bytes model = material(grey);
    model.resize(2 * sector, 0);
    bytes before = archive({{"car.dff", model}});
    before.resize(2 * sector);
    const struct {
        const char* name;
        std::size_t length;   // the other writer leaves the file this long,
        std::size_t poked;    // and with 0xAB at this byte (0: none)
        const char* message;  // "": the run must leave the file alone, silently
        // A short_io setting whose mark holds the run (none: its first message does).
        const char* held = nullptr;
        bool swapped = false;  // another file put in its place, rather than it changed
    } cases[] = {
        {"cut short", sector + 1024, 0,
         "car.dff: changed during the run: its length is now 3072 bytes, was 4096; not written"},
        {"rewritten", 2 * sector, sector + 1000,
         "car.dff: changed during the run: byte 3048 is not what was read; not written"},
        // Regression guard: a file that grew, its bytes read unchanged, was written all the same.
        {"grew", 3 * sector, 0,
         "car.dff: changed during the run: its length is now 6144 bytes, was 4096; not written"},
        // Regression guard: a real run decided from the header it read before the lock.
        {"no longer an archive once locked", 2 * sector, 1, "", "SHORT_IO_MARK_LOCKS=1"},
        // Regression guard: with no /proc, the file opened again by name was not checked
        // to be the one first opened.
        {"swapped where there is no /proc", 2 * sector, 0,
         "changed.img: cannot open for update: Stale file handle", "SHORT_IO_NO_PROC=1", true},
    };
    const std::string file = path("changed.img");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(file, before);
        std::vector<std::string> argv = command({file});
        if (c.held != nullptr) {
            argv = with_slow_writes(config.short_io, 0, argv);
            argv.insert(argv.begin() + 1, c.held);
        }
        paused_run patching(argv, 2);
        ASSERT_TRUE(patching.wait_until_blocked());
        bytes left(before.begin(),
                   before.begin() + static_cast<long>(std::min(c.length, before.size())));
        left.resize(c.length);  // what truncate() adds is zeros
        if (c.swapped) {
            write_file(path("copy"), before);
            std::filesystem::rename(path("copy"), file);
        }
        ASSERT_EQ(truncate(file.c_str(), static_cast<off_t>(c.length)), 0);
        if (c.poked != 0) {
            left[c.poked] = 0xAB;
            const int fd = open(file.c_str(), O_WRONLY);
            ASSERT_EQ(pwrite(fd, &left[c.poked], 1, static_cast<off_t>(c.poked)), 1);
            close(fd);
        }
        process_result result = patching.finish();
        if (c.held != nullptr) {
            EXPECT_EQ(result.err.substr(0, 1), ".");
            result.err.erase(0, result.err.find_first_not_of('.'));
        }
        if (*c.message == '\0') {
            expect_clean(result, "", read_file(file), left);
            continue;
        }
        expect_reported(result, c.swapped ? "" : progress({{"car.dff", 0}}), c.message,
                        read_file(file), left);
        // Run again, as the message says: the grey word left is whitened then.
        run({file});
        EXPECT_TRUE(read_file(file) == whitened(left, {sector + 28})) << "file bytes differ";
    }
}

// Regression: a loose model was read whole: a sparse one of 5 GiB took 5 GB of memory.
TEST_F(end_to_end, a_loose_model_is_walked_a_window_at_a_time) {
    struct piece {
        std::uint64_t at;
        bytes before, after;  // after: empty when it stays as it was
    };
    const std::string file = path("big.dff");
    long peak_kib = 0;
    // Lays out the pieces with holes between, then checks a dry and a real run.
    const auto check = [&](const std::vector<piece>& pieces, int count) {
        std::filesystem::remove(file);
        const int fd = open(file.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        for (const piece& p : pieces) {
            ASSERT_EQ(pwrite(fd, p.before.data(), p.before.size(), static_cast<off_t>(p.at)),
                      static_cast<ssize_t>(p.before.size()));
        }
        close(fd);
        struct stat info {};
        ASSERT_EQ(stat(file.c_str(), &info), 0);
        if (static_cast<std::uint64_t>(info.st_blocks) * 512 > (64u << 20)) {
            SKIP_UNLESS_CI("this file system does not keep the 5 GiB test model sparse");
        }
        for (bool dry_run : {true, false}) {
            SCOPED_TRACE(dry_run ? "dry run" : "real run");
            const process_result result = dry_run ? run({"--dry-run", file}) : run({file});
            EXPECT_EQ(result.exit_status, 0) << result.err;
            EXPECT_EQ(result.out, progress({{file, count}}) +
                                      (dry_run ? dry_summary(1, count > 0, count) : ""));
            EXPECT_LT(result.seconds, 10.0);
            peak_kib = std::max(peak_kib, result.peak_rss_kib);
            const int in = open(file.c_str(), O_RDONLY);
            for (const piece& p : pieces) {
                bytes now(p.before.size());
                ASSERT_EQ(pread(in, now.data(), now.size(), static_cast<off_t>(p.at)),
                          static_cast<ssize_t>(now.size()));
                EXPECT_TRUE(now == (dry_run || p.after.empty() ? p.before : p.after))
                    << "at byte " << p.at;
            }
            close(in);
        }
    };
    // A child's peak counts what it shares with this process until it runs the
    // tool: this process stays small until the 5 GiB model has been run.
    const long baseline_kib = patch(archive({{"car.dff", material(white)}})).peak_rss_kib;
    // Grey at both ends of 5 GiB of holes (two Struct chunks of 2.5 GiB).
    const std::uint64_t half = std::uint64_t{5} << 29;
    const std::uint64_t second = 64 + 12 + half, last = second + 12 + half;
    const bytes grey_model = material(grey), white_model = whitened(grey_model, {28});
    ASSERT_EQ(grey_model.size(), 64u);
    const bytes skip = chunk_header(chunk_type::struct_data, static_cast<std::uint32_t>(half));
    check({{0, grey_model, white_model},
           {64, skip, {}},
           {second, skip, {}},
           {last, grey_model, white_model}},
          2);
    if (IsSkipped() || HasFatalFailure()) {
        return;
    }
    EXPECT_LT(peak_kib, baseline_kib + (32 << 10))
        << "a run over a tiny archive peaks at " << baseline_kib << " KiB";

    // Three windows, grey in each, and a word across the first one's end.
    const bytes three =
        model_with_words_at({1000, (4u << 20) - 2, (6u << 20) + 3, (9u << 20) - 40});
    bytes three_after = three;
    ASSERT_EQ(img_whiten::reference::walk(three_after.data(), three_after.size()), 4);
    check({{0, three, three_after}}, 4);
    // Regression guard: grey only past the first window of a model first read without the lock.
    const bytes late = model_with_words_at({(6u << 20) + 3});
    check({{0, late, whitened(late, {(6u << 20) + 3})}}, 1);
}

// --- Every cut of an archive ---

TEST_F(end_to_end, every_truncation_of_a_sample_archive) {
    sample_options options;  // a sample archive in miniature: about 60 sectors
    options.target_bytes = 96u << 10;
    options.seed = 7;
    options.vertex_kib_min = 1;
    options.vertex_kib_max = 4;
    options.other_kib_min = 1;
    options.other_kib_max = 12;
    const std::vector<entry> entries = sample_entries(options);
    const bytes full = archive(entries);
    std::vector<std::size_t> cuts = {1, 4, 7, 9, 12, 8 + 32 + 5, 8 + 32 * entries.size() - 1};
    for (std::size_t cut = 0; cut <= full.size(); cut += sector) {
        cuts.push_back(cut);
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        cuts.push_back(le32_at(full, entry_record_offset(i)) * sector + 1001);  // inside each entry
    }
    std::size_t reported = 0;
    long long whitened = 0;
    for (std::size_t cut : cuts) {
        SCOPED_TRACE("cut at byte " + std::to_string(cut));
        const bytes before(full.begin(), full.begin() + static_cast<long>(cut));
        bytes after;
        const process_result result = patch(before, &after);
        whitened += expect_as_reference(result, before, after);
        ASSERT_FALSE(HasFailure());
        reported += result.exit_status == 1;
    }
    ASSERT_GT(whitened, static_cast<long long>(cuts.size()))
        << "the cuts must leave grey materials to whiten";
    std::printf("  %zu cuts of a %zu-byte archive, %zu reported as damaged\n", cuts.size(),
                full.size(), reported);
}

// --- Archives past 2 GiB and 4 GiB, as sparse files ---

TEST_F(end_to_end, models_past_2_gib_and_4_gib) {
    const std::uint64_t offsets[] = {std::uint64_t{1} << 31, (std::uint64_t{1} << 32) + 2 * sector,
                                     (std::uint64_t{9} << 29)};  // 2 GiB, 4 GiB + 4 KiB, 4.5 GiB
    bytes head = archive({{"low.dff", {}}, {"high.dff", {}}, {"top.dff", {}}});
    for (std::size_t i = 0; i < 3; ++i) {
        set_le32(head, entry_record_offset(i), static_cast<std::uint32_t>(offsets[i] / sector));
        set_le32(head, entry_record_offset(i) + 4, 1);
    }
    const std::string file = path("sparse.img");
    const std::uint64_t length = offsets[2] + sector;
    {
        std::FILE* out = std::fopen(file.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        ASSERT_EQ(std::fwrite(head.data(), 1, head.size(), out), head.size());
        ASSERT_EQ(std::fclose(out), 0);
    }
    const bytes model = material(grey);
    int fd = open(file.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    for (std::uint64_t offset : offsets) {
        ASSERT_EQ(pwrite(fd, model.data(), model.size(), static_cast<off_t>(offset)),
                  static_cast<ssize_t>(model.size()));
    }
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(length)), 0);
    close(fd);
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    if (static_cast<std::uint64_t>(info.st_blocks) * 512 > (64u << 20)) {
        SKIP_UNLESS_CI("this file system does not keep the 4.5 GiB test archive sparse");
    }

    const process_result result = run({file});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, progress({{"low.dff", 1}, {"high.dff", 1}, {"top.dff", 1}}));
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(info.st_size), length);
    fd = open(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    for (std::uint64_t offset : offsets) {
        bytes data(model.size());
        ASSERT_EQ(pread(fd, data.data(), data.size(), static_cast<off_t>(offset)),
                  static_cast<ssize_t>(data.size()));
        EXPECT_EQ(data, whitened(model, {28})) << "at byte " << offset;
    }
    bytes first(head.size());
    ASSERT_EQ(pread(fd, first.data(), first.size(), 0), static_cast<ssize_t>(first.size()));
    EXPECT_EQ(first, head);
    close(fd);
}

}  // namespace
