// End to end: standard streams that are closed or fail, and writes cut short.
// Whatever happens to them, the only bytes that change are grey colour words
// turned white, no word is left part white, and the failure is reported.
#include "support.h"

namespace {

using namespace e2e;

// A sample that prints more than stdout's buffer holds, with one damaged entry
// (its data starts past the end of the file), so that stderr has a message.
bytes damaged_sample() {
    sample_options options;
    options.target_bytes = 4u << 20;
    options.seed = 5;
    options.vertex_kib_min = 1;
    options.vertex_kib_max = 2;
    options.other_kib_min = 1;
    options.other_kib_max = 8;
    bytes file = archive(sample_entries(options));
    set_le32(file, entry_record_offset(1), 0x00FFFFFF);  // BUS.DFF, far past the end
    return file;
}

// Regression: with stdout or stderr closed, the archive took descriptor 1 or 2
// and progress lines or messages were written into it.
TEST_F(end_to_end, closed_standard_streams_never_reach_the_archive) {
    if (!config.launcher.empty()) {
        GTEST_SKIP() << "the launcher's own streams stand between the test and the tool";
    }
    const bytes before = damaged_sample();
    const std::string file = path("streams.img");
    write_file(file, before);
    const process_result normal = run({file});
    const bytes expected = read_file(file);
    ASSERT_EQ(normal.exit_status, 1);
    ASSERT_GT(normal.out.size(), 8192u) << "stdout's buffer must fill during the run";
    ASSERT_NE(expected, before);

    for (unsigned closed = 1; closed <= (closed_stdin | closed_stdout | closed_stderr); ++closed) {
        SCOPED_TRACE("closed streams (bits: stdin 1, stdout 2, stderr 4): " +
                     std::to_string(closed));
        write_file(file, before);
        process_limits limits;
        limits.closed_streams = closed;
        const process_result result = run({file}, limits);
        EXPECT_EQ(result.signal, 0);
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_TRUE(read_file(file) == expected) << "the archive differs from a normal run's";
        if ((closed & closed_stdout) == 0) {
            EXPECT_EQ(result.out, normal.out);
        }
        if ((closed & closed_stderr) == 0) {
            // A closed stdout is a failure too, the run's own: the progress lines were lost.
            const std::string lost = (closed & closed_stdout) != 0
                                         ? "img-whiten: cannot write progress to standard output\n"
                                         : "";
            EXPECT_EQ(result.err, normal.err + lost);
        }
    }
}

// Regression: --help and --version on a stdout that failed exited 1 with nothing said.
TEST_F(end_to_end, a_stdout_that_fails_is_reported) {
    if (!config.launcher.empty()) {
        GTEST_SKIP() << "the launcher's own streams stand between the test and the tool";
    }
    const bytes before = archive({{"car.dff", material(grey)}, {"m.dff", material(white)}});
    const bytes patched = whitened(before, {sector + 28});
    const std::string folder = path("full");
    std::filesystem::create_directory(folder);
    const std::string file = folder + "/full.img";
    // Said once, as the run's own failure: no file is to blame, none is listed as failed.
    const std::string lost = "img-whiten: cannot write progress to standard output\n";
    const struct {
        std::vector<std::string> args;
        const char* message;
        const bytes& after;
    } cases[] = {
        {{"--help"},
         "img-whiten: cannot write to standard output: No space left on device\n",
         before},
        {{"--version"},
         "img-whiten: cannot write to standard output: No space left on device\n",
         before},
        {{"--dry-run", file}, lost.c_str(), before},
        {{file}, lost.c_str(), patched},
        // Regression: the file whose line found stdout failing was blamed and listed as failed.
        {{"--jobs", "2", folder}, lost.c_str(), patched},
        {{"--jobs", "1", "--json", folder}, lost.c_str(), patched},
        {{"--jobs", "16", "--quiet", folder}, lost.c_str(), patched},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        write_file(file, before);
        process_limits limits;
        limits.stdout_file = "/dev/full";
        const process_result result = run(c.args, limits);
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_EQ(result.err, c.message);
        EXPECT_TRUE(read_file(file) == c.after) << "file bytes differ";
    }
}

// Regression: a write cut inside a colour word left it part white and part
// grey ("FF FF 95 FF"), which no later run whitened.
TEST_F(end_to_end, a_write_cut_at_any_byte_leaves_no_word_torn) {
    // Grey words that straddle 1 KiB and 4 KiB boundaries, where the system may stop a write.
    // In the archive, entry 0 starts at byte 2048: its words sit at file bytes
    // 3070, 4094, 5119 and 8190, across 3072, 4096, 5120 and 8192.
    const bytes model = model_with_words_at({1022, 2046, 3071, 6142});
    const struct {
        const char* name;
        std::string file;
        bytes before;
    } cases[] = {
        {"archive", "cut.img", archive({{"cut.dff", model}})},
        {"loose model", "cut.dff", model},  // words across 1024, 2048, 3072 and 6144
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::size_t> words = grey_words_between(c.before, 0, c.before.size());
        ASSERT_EQ(words.size(), 4u);
        const bytes expected = whitened(c.before, words);
        // Every 1 KiB boundary of the file, and every byte inside each word.
        std::vector<std::uint64_t> cuts;
        for (std::uint64_t cut = 1024; cut < c.before.size(); cut += 1024) {
            cuts.push_back(cut);
        }
        for (std::size_t word : words) {
            cuts.insert(cuts.end(), {word + 1, word + 2, word + 3});
        }
        const std::string file = path(c.file);
        for (std::uint64_t cut : cuts) {
            SCOPED_TRACE("file size limit " + std::to_string(cut));
            write_file(file, c.before);
            process_limits limits;
            limits.file_size_limit = cut;
            const process_result limited = run({file}, limits);
            const bytes after = read_file(file);
            ASSERT_EQ(after.size(), c.before.size());
            for (std::size_t word : words) {
                const bool grey = img_whiten::invariants::is_grey_at(&after[word]);
                const bool white = img_whiten::invariants::is_white_at(&after[word]);
                EXPECT_TRUE(grey || white) << "word at byte " << word << " is torn";
            }
            // The write runs to the file's end, so every cut refuses part of it.
            EXPECT_EQ(limited.exit_status, 1) << what_it_did(limited);
            EXPECT_NE(limited.err.find("cannot write: "), std::string::npos)
                << what_it_did(limited);
            const process_result again = run({file});
            EXPECT_EQ(again.exit_status, 0) << what_it_did(again);
            EXPECT_TRUE(read_file(file) == expected)
                << "a clean run did not complete the work: " << what_it_did(again);
        }
    }
}

// Regression: control characters in names were printed as they are: a name
// could forge progress lines and a summary, or drive the terminal; C1 controls
// (CSI U+009B, OSC U+009D, NEL U+0085, and a raw byte 0x9B) were printed raw,
// and a name holding the four characters `\x01` printed as one holding 0x01.
TEST_F(end_to_end, control_characters_in_names_are_escaped_in_lines_and_messages) {
    if (!config.launcher.empty()) {
        GTEST_SKIP() << "Windows file names hold no control characters";
    }
    const std::string root = path("names");
    std::filesystem::create_directory(root);
    const bytes model = material(grey);
    for (const char* name : {"/b.dff patched 0 materials\nVisited 1 file: x\nx.dff",
                             "/\x1b]0;title\x07.dff", "/back\\slash\t.dff", "/plain\\name.dff",
                             "/csi\xc2\x9b"
                             "31m.dff",
                             "/osc\xc2\x9d"
                             "0;t\x07.dff",
                             "/nel\xc2\x85.dff", "/raw\x9b.dff", "/lit\x01.dff", "/lit\\x01.dff"}) {
        write_file(root + name, model);
    }
    bytes hidden = archive(
        {{"a\nb.dff", model}, {"c\r.dff", model}, {"\"q.dff", model}, {"d\x9b.dff", model}});
    set_le32(hidden, entry_record_offset(1), 0xFFFFFF);  // c\r.dff: data past the end
    write_file(root + "/e\x7f\xc2\x85.img", hidden);
    const std::string archive_path = "\"" + root + "/e\\x7f\\u0085.img\"";
    const process_result result = run({root});
    EXPECT_EQ(
        result.out,
        progress({{"\"" + root + "/\\x1b]0;title\\x07.dff\"", 1},
                  {"\"" + root + "/b.dff patched 0 materials\\nVisited 1 file: x\\nx.dff\"", 1},
                  {"\"" + root + "/back\\\\slash\\t.dff\"", 1},
                  {"\"" + root + "/csi\\u009b31m.dff\"", 1}}) +
            "==> " + archive_path + " <==\n" +
            progress({{"\"a\\nb.dff\"", 1},
                      {"\"c\\r.dff\"", 0},
                      {"\"\\\"q.dff\"", 1},  // begins with '"': quoted too
                      {"\"d\\x9b.dff\"", 1}}) +
            progress({{"\"" + root + "/lit\\x01.dff\"", 1},
                      {root + "/lit\\x01.dff", 1},  // no control character: as it is
                      {"\"" + root + "/nel\\u0085.dff\"", 1},
                      {"\"" + root + "/osc\\u009d0;t\\x07.dff\"", 1},
                      {root + "/plain\\name.dff", 1},
                      {"\"" + root + "/raw\\x9b.dff\"", 1}}) +
            "Visited 11 files: 13 models changed, 13 materials whitened, 1 failed\n");
    EXPECT_EQ(result.err, "img-whiten: " + archive_path +
                              ": \"c\\r.dff\": data starts past the end of the file (byte " +
                              std::to_string(0xFFFFFFull * sector) + " of " +
                              std::to_string(hidden.size()) +
                              ")\nimg-whiten: failed: " + archive_path + "\n");
}

// Regression: a run ended by Ctrl+C lost the lines it had not yet handed to a
// redirected stdout, and one that waited on a full pipe then said, falsely,
// that stdout had failed.
TEST_F(end_to_end, a_run_ended_by_sigint_puts_out_every_line_it_owes) {
    if (!config.launcher.empty()) {
        GTEST_SKIP() << "the signal would reach the launcher";
    }
    const std::string root = path("many");
    std::filesystem::create_directory(root);
    const bytes model = material(grey);
    const std::size_t models = 2000;  // lines for twice the 64 KiB the tool holds back
    const auto model_path = [&](std::size_t i) {
        char name[16];
        std::snprintf(name, sizeof name, "/m%04zu.dff", i);
        return root + name;
    };
    const std::string journal = path("many.log");
    const struct {
        const char* name;
        int stream;
        bool json;
        bool undo = false;  // of a run over them all
    } cases[] = {
        {"stdout a full pipe", 1, false},
        {"stdout a file", 0, false},
        // Regression: a JSON run ended by a signal had no summary object.
        {"JSON Lines to a file", 0, true},
        // Regression: the file a signal arrived in was put back without its line.
        {"an undo's JSON Lines to a file", 0, true, true},
    };
    const bytes white = whitened(model, {28});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int stream = c.stream;
        for (std::size_t i = 0; i < models; ++i) {
            write_file(model_path(i), model);
        }
        std::vector<std::string> args{root};
        if (c.undo) {
            std::filesystem::remove(journal);
            ASSERT_EQ(run({"-q", "--jobs", "1", "--undo-log", journal, root}).exit_status, 0);
            args = {"--undo", journal};
        }
        if (c.json) {
            args.insert(args.begin(), "--json");
        }
        paused_run interrupted(command(args), stream);
        if (stream == 1) {
            ASSERT_TRUE(interrupted.wait_until_blocked());
        } else {
            // Timed: once it has patched a few dozen models.
            ASSERT_TRUE(interrupted.wait_until_written(50 * model.size()));
        }
        kill(interrupted.pid(), SIGINT);
        const process_result result = interrupted.finish();
        ASSERT_EQ(result.signal, SIGINT) << "exit status " << result.exit_status;
        EXPECT_EQ(result.err, "");
        // Exactly the patched (put back) models have their lines, and every line is whole.
        std::string owed;
        std::size_t patched = 0;
        for (std::size_t k = 0; k < models; ++k) {
            const std::size_t i = c.undo ? models - 1 - k : k;  // an undo goes newest first
            const bytes now = read_file(model_path(i));
            EXPECT_TRUE(now == model || now == white) << model_path(i);
            if (now == (c.undo ? model : white)) {
                owed += !c.json  ? progress({{model_path(i), 1}})
                        : c.undo ? "{\"type\":\"restore\",\"file\":\"" + model_path(i) +
                                       "\",\"restored\":1}\n"
                                 : "{\"type\":\"model\",\"file\":\"" + model_path(i) +
                                       "\",\"entry\":null,\"whitened\":1}\n";
                ++patched;
            }
        }
        if (c.json) {
            const std::string count = std::to_string(patched);
            owed += "{\"type\":\"summary\",\"files\":" + count +
                    (c.undo ? ",\"restored\":" + count
                            : ",\"models_changed\":" + count + ",\"whitened\":" + count) +
                    ",\"failed\":0,\"dry_run\":false,\"format_version\":1,\"interrupted\":true,"
                    "\"signal\":\"SIGINT\"}\n";
        }
        const auto tail = [](const std::string& text) {
            return text.substr(text.size() - std::min<std::size_t>(text.size(), 150));
        };
        EXPECT_TRUE(result.out == owed) << patched << " models patched; the lines end in\n"
                                        << tail(result.out) << "\nand should end in\n"
                                        << tail(owed);
        EXPECT_GT(patched, 0u);
        EXPECT_LT(patched, models);
    }
}

}  // namespace
