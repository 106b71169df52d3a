// The fault sweep: every system call a run makes on the files and folders it
// patches, and on stdout, is failed in turn (strace's fault injection: the Nth
// call of one kind fails with EIO, or ENOSPC for writes), in a real and in a
// dry run over an archive whose entries share sectors, a loose model, and a
// tree of both. Every such run must end by itself, without a crash; exit 0
// only with the whole result; otherwise exit 1 with a message naming each file
// left short of it; keep every file's length with each byte original or
// patched; change nothing in a dry run; and one more run without faults must
// give exactly the bytes of a run that never failed. A run with an undo
// journal (whose calls fail in turn too) must leave a journal that --undo
// turns back into the original bytes. A second sweep makes every read and
// write transfer a few bytes at a time.
//
//   fault_sweep_tests --exe PATH --short-io LIBRARY
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "process.h"
#include "reference_run.h"

namespace {

namespace fs = std::filesystem;
using namespace img_whiten::build;

struct options {
    std::string exe, short_io;
} config;

bytes read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const fs::path& path, const bytes& data) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
}

// Files laid out for one run, what a clean run makes of them, and the paths it is given.
struct scenario {
    std::string name;
    std::vector<std::pair<fs::path, bytes>> files;  // path and original bytes
    std::vector<fs::path> folders;
    std::vector<std::string> args;
    std::string journal;         // the run's --undo-log, if it has one: real runs only
    std::vector<bytes> patched;  // by a clean run, file by file
    std::string clean_out, clean_dry_out;
};

// System calls a run makes on its files (and stdout), with the errors injected.
const struct {
    const char* call;
    std::vector<const char*> errors;
    bool on_stdout;  // the call writes progress, not files
} kinds[] = {
    {"openat", {"EIO"}, false},
    {"newfstatat", {"EIO"}, false},
    {"flock", {"EIO"}, false},
    {"pread64", {"EIO"}, false},
    {"pwrite64", {"EIO", "ENOSPC"}, false},
    {"close", {"EIO"}, false},
    {"getdents64", {"EIO"}, false},
    {"fdatasync", {"EIO"}, false},
    {"write", {"EIO", "ENOSPC"}, true},
};

class fault_sweep : public testing::Test {
protected:
    void SetUp() override {
        if (std::system("command -v strace >/dev/null && command -v timeout >/dev/null") != 0) {
            if (std::getenv("CI") != nullptr) {
                FAIL() << "CI must run the fault sweep: strace or timeout is missing";
            }
            GTEST_SKIP() << "needs strace and timeout";
        }
        std::string pattern = (fs::temp_directory_path() / "img-whiten-faults-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // The scenarios, laid out under the scratch folder with absolute paths,
    // which is how strace matches the calls on them.
    std::vector<scenario> scenarios() {
        const fs::path root = dir_;
        // Several grey models, and an entry that shares the first one's sectors.
        bytes shared = archive(
            {{"a.dff", clump({geometry({material(grey), material(white)}, 3000)}, "frame_a")},
             {"b.txd", filler(5000, 3)},
             {"c.dff",
              clump({geometry({material(grey)}, 9000), geometry({material(grey)}, 100)}, "c")},
             {"d.dff", material(grey)}});
        set_le32(shared, entry_record_offset(3),
                 static_cast<std::uint32_t>(img_whiten::reference::word_at(&shared[8])));
        const bytes model =
            clump({geometry({material(grey), material(grey, "tex")}, 5000), geometry({}, 64)},
                  "body_dummy01");
        std::vector<scenario> all(4);
        all[0].name = "archive with shared sectors";
        all[0].files = {{root / "shared.img", shared}};
        all[0].args = {(root / "shared.img").string()};
        all[1].name = "loose model";
        all[1].files = {{root / "car.dff", model}};
        all[1].args = {(root / "car.dff").string()};
        all[2].name = "tree";
        all[2].files = {{root / "tree/models.img", shared},
                        {root / "tree/loose/car.dff", model},
                        {root / "tree/loose/deep/bus.DFF", material(grey)},
                        {root / "tree/readme.txt", model}};
        all[2].folders = {root / "tree", root / "tree/loose", root / "tree/loose/deep"};
        all[2].args = {(root / "tree").string()};
        all[3] = all[2];
        all[3].name = "tree with an undo journal";
        all[3].journal = (root / "whiten.log").string();
        all[3].args.insert(all[3].args.begin(), {"--undo-log", all[3].journal});
        for (scenario& s : all) {
            lay_out(s);
            s.clean_dry_out = s.journal.empty() ? run_process(tool(s.args, true)).out : "";
            const process_result clean = run_process(tool(s.args, false));
            EXPECT_EQ(clean.exit_status, 0) << clean.err;
            s.clean_out = clean.out;
            for (const auto& [path, before] : s.files) {
                s.patched.push_back(read_file(path));
            }
        }
        return all;
    }

    static void lay_out(const scenario& s) {
        for (const auto& [path, before] : s.files) {
            write_file(path, before);
        }
        if (!s.journal.empty()) {
            fs::remove(s.journal);
        }
    }

    static std::vector<std::string> tool(const std::vector<std::string>& args, bool dry_run) {
        std::vector<std::string> argv{config.exe};
        if (dry_run) {
            argv.push_back("--dry-run");
        }
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    // strace with the Nth call of `call` failing (`when` 0: none, just counting into `log`).
    static std::vector<std::string> traced(const scenario& s, const char* call, bool on_stdout,
                                           const char* error, unsigned when, bool dry_run,
                                           const std::string& log) {
        std::vector<std::string> argv{
            "timeout", "30", "strace", "-f", "-qq", "-o", log, "-e", std::string("trace=") + call};
        if (when > 0) {
            argv.push_back("-e");
            argv.push_back(std::string("inject=") + call + ":error=" + error +
                           ":when=" + std::to_string(when));
        }
        if (!on_stdout) {
            for (const auto& file : s.files) {
                argv.insert(argv.end(), {"-P", file.first.string()});
            }
            for (const fs::path& folder : s.folders) {
                argv.insert(argv.end(), {"-P", folder.string()});
            }
            if (!s.journal.empty()) {
                argv.insert(argv.end(), {"-P", s.journal});
            }
        }
        argv.push_back("--");
        const std::vector<std::string> run = tool(s.args, dry_run);
        argv.insert(argv.end(), run.begin(), run.end());
        return argv;
    }

    // How many calls of `call` a clean run makes on the scenario's files.
    unsigned count_calls(const scenario& s, const char* call, bool on_stdout, bool dry_run) {
        lay_out(s);
        const std::string log = (fs::path(dir_) / "calls.log").string();
        run_process(traced(s, call, on_stdout, "EIO", 0, dry_run, log));
        std::ifstream in(log);
        unsigned calls = 0;
        for (std::string line; std::getline(in, line);) {
            calls += line.find(std::string(call) + "(") != std::string::npos;
        }
        return calls;
    }

    std::string dir_;
};

// Whether `message` names `path` or a folder above it.
bool names(const std::string& message, const fs::path& path) {
    for (fs::path at = path; !at.empty() && at != at.root_path(); at = at.parent_path()) {
        if (message.find("img-whiten: " + at.string() + ": ") != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST_F(fault_sweep, every_failed_call_is_reported_and_damages_nothing) {
    const std::vector<scenario> all = scenarios();
    unsigned points = 0, reported = 0;
    for (const scenario& s : all) {
        for (bool dry_run : {false, true}) {
            if (dry_run && !s.journal.empty()) {
                continue;  // --undo-log is for real runs only
            }
            for (const auto& kind : kinds) {
                const unsigned calls = count_calls(s, kind.call, kind.on_stdout, dry_run);
                for (const char* error : kind.errors) {
                    for (unsigned when = 1; when <= calls; ++when) {
                        SCOPED_TRACE(s.name + (dry_run ? ", dry run: " : ": ") + kind.call + " " +
                                     error + " at call " + std::to_string(when) + " of " +
                                     std::to_string(calls));
                        lay_out(s);
                        const process_result result = run_process(traced(
                            s, kind.call, kind.on_stdout, error, when, dry_run, "/dev/null"));
                        ++points;
                        ASSERT_EQ(result.signal, 0) << "crashed";
                        ASSERT_NE(result.exit_status, 124) << "hung";
                        // 2: the journal could not be opened, and nothing was patched.
                        ASSERT_TRUE(result.exit_status == 0 || result.exit_status == 1 ||
                                    (result.exit_status == 2 && !s.journal.empty()))
                            << result.exit_status << "\n"
                            << result.err;
                        reported += result.exit_status == 1;
                        ASSERT_EQ(result.err.empty(), result.exit_status == 0) << result.err;
                        bool whole = true;
                        for (std::size_t i = 0; i < s.files.size(); ++i) {
                            const auto& [path, before] = s.files[i];
                            const bytes& after = dry_run ? before : s.patched[i];
                            const bytes left = read_file(path);
                            ASSERT_EQ(left.size(), before.size()) << path;
                            for (std::size_t b = 0; b < left.size(); ++b) {
                                ASSERT_TRUE(left[b] == before[b] || left[b] == after[b])
                                    << path << ": byte " << b << " is neither original nor patched";
                            }
                            if (result.exit_status == 2) {
                                EXPECT_TRUE(left == before) << path << ": patched after all";
                            } else if (left != after) {
                                whole = false;
                                // Lines may have claimed what did not reach the file: said so.
                                EXPECT_TRUE(names(result.err, path))
                                    << path << " was left short, and nothing said so:\n"
                                    << result.err;
                            }
                        }
                        if (result.exit_status == 0) {
                            EXPECT_TRUE(whole) << "exit 0 with the work unfinished";
                            EXPECT_EQ(result.out, dry_run ? s.clean_dry_out : s.clean_out);
                        }
                        if (!s.journal.empty() && fs::exists(s.journal)) {
                            // Whatever failed, the journal covers every word the run changed.
                            run_process({config.exe, "--undo", s.journal});
                            for (const auto& [path, before] : s.files) {
                                EXPECT_TRUE(read_file(path) == before)
                                    << path << ": a word was changed without its record";
                            }
                            fs::remove(s.journal);
                        }
                        // One more run without faults completes the work exactly.
                        const process_result again = run_process(tool(s.args, false));
                        EXPECT_EQ(again.exit_status, 0) << again.err;
                        for (std::size_t i = 0; i < s.files.size(); ++i) {
                            EXPECT_TRUE(read_file(s.files[i].first) == s.patched[i])
                                << s.files[i].first << " differs from a run that never failed";
                        }
                    }
                }
            }
        }
    }
    std::printf("  %u injection points, %u of them reported a failure\n", points, reported);
    EXPECT_GT(points, 100u);
}

TEST_F(fault_sweep, short_reads_and_writes_are_carried_on) {
    const std::vector<scenario> all = scenarios();
    for (const scenario& s : all) {
        for (const char* bytes_per_call : {"1", "7", "2049"}) {
            for (bool dry_run : {true, false}) {
                if (dry_run && !s.journal.empty()) {
                    continue;
                }
                SCOPED_TRACE(s.name + ", " + bytes_per_call + " bytes a call" +
                             (dry_run ? ", dry run" : ""));
                lay_out(s);
                // The sanitizers' runtime would otherwise insist on coming first.
                const std::string asan = std::string("ASAN_OPTIONS=") +
                                         std::getenv("ASAN_OPTIONS") + ":verify_asan_link_order=0";
                std::vector<std::string> argv{"env", "LD_PRELOAD=" + config.short_io,
                                              std::string("SHORT_IO_BYTES=") + bytes_per_call,
                                              asan};
                const std::size_t prefix = argv.size();
                const std::vector<std::string> run = tool(s.args, dry_run);
                argv.insert(argv.end(), run.begin(), run.end());
                const process_result result = run_process(argv);
                EXPECT_EQ(result.exit_status, 0) << result.err;
                EXPECT_EQ(result.err, "");
                EXPECT_EQ(result.out, dry_run ? s.clean_dry_out : s.clean_out);
                for (std::size_t i = 0; i < s.files.size(); ++i) {
                    EXPECT_TRUE(read_file(s.files[i].first) ==
                                (dry_run ? s.files[i].second : s.patched[i]))
                        << s.files[i].first;
                }
                if (!s.journal.empty()) {
                    // The journal read, and the words put back, a few bytes a call too.
                    argv.resize(prefix);
                    argv.insert(argv.end(), {config.exe, "--undo", s.journal});
                    EXPECT_EQ(run_process(argv).exit_status, 0);
                    for (const auto& [path, before] : s.files) {
                        EXPECT_TRUE(read_file(path) == before) << path << " not given back";
                    }
                }
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--exe") {
            config.exe = fs::absolute(argv[i + 1]).string();
        } else if (flag == "--short-io") {
            config.short_io = fs::absolute(argv[i + 1]).string();
        }
    }
    if ((config.exe.empty() || config.short_io.empty()) && !testing::GTEST_FLAG(list_tests)) {
        std::fprintf(stderr, "usage: fault_sweep_tests --exe PATH --short-io LIBRARY\n");
        return 2;
    }
    // Leak checking stops under a tracer; everything else the sanitizers check stays on.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string options = std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
    return RUN_ALL_TESTS();
}
