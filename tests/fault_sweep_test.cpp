// The fault sweep: every system call a run makes on the files and folders it
// patches (the reopening through /proc/self/fd included), and on stdout, is
// failed in turn (strace's fault injection: the Nth call of one kind fails
// with EIO, or ENOSPC for writes, and a few other errors), in a real and in a
// dry run over an archive whose entries share sectors, a loose model, and a
// tree of both. Every such run must end by itself, without a crash; exit 0
// only with the whole result, the clean run's stdout, and a failed call that
// the table of harmless faults below explains; otherwise exit 1 with a
// message naming each file left short of it; keep every file's length with
// each byte original or patched; change nothing in a dry run; and one more run
// without faults must give exactly the bytes of a run that never failed. A
// run with an undo journal (whose calls fail in turn too) must leave a
// journal that --undo turns back into the original bytes. A second sweep
// makes every read and write transfer a few bytes at a time.
//
//   fault_sweep_tests --exe PATH --short-io LIBRARY  (harness.h)
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "harness.h"
#include "process.h"
#include "reference_run.h"

namespace {

namespace fs = std::filesystem;
using namespace img_whiten::build;

using harness::config;
using harness::expect_original_or_patched;
using harness::read_file;
using harness::write_file;

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
    {"openat", {"EIO", "ENOENT"}, false},
    {"newfstatat", {"EIO"}, false},
    {"fstat", {"EIO"}, false},  // what fstat is where a sanitizer's runtime makes the call
    {"flock", {"EIO", "ENOLCK"}, false},
    {"pread64", {"EIO"}, false},
    {"preadv2", {"EIO"}, false},
    {"pwrite64", {"EIO", "ENOSPC"}, false},
    {"close", {"EIO"}, false},
    {"getdents64", {"EIO"}, false},
    {"fdatasync", {"EIO"}, false},
    {"write", {"EIO", "ENOSPC"}, true},
};

// Calls traced on the files in every run, so that each can be told by the
// descriptor it was made on; only the one swept is ever failed.
constexpr const char* file_calls =
    "openat,dup,newfstatat,fstat,flock,pread64,preadv2,pwrite64,close,getdents64";

// The faults a run may absorb, exiting 0 with the whole result and the clean
// run's stdout, and why nothing is lost then. Any other absorbed fault fails.
const struct {
    const char* call;
    const char* error;
    const char* site;  // as site_of() names it
    const char* why;
} harmless[] = {
    {"close", "EIO", "O_PATH descriptor", "it opens no file: nothing was written through it"},
    {"close", "EIO", "read-only file", "opened read-only, never written: no write can be lost"},
    {"close", "EIO", "folder", "a folder is only read"},
    {"close", "EIO", "folder listing", "a folder is only read"},
    {"openat", "ENOENT", "/proc/self/fd, read-only",
     "as on a system without /proc: opened by name, used only if still the same file"},
    {"openat", "ENOENT", "/proc/self/fd, for update",
     "as on a system without /proc: opened by name, used only if still the same file"},
    {"flock", "ENOLCK", "file for update", "a file system without locks: patched unlocked"},
    {"preadv2", "EIO", "read-only file", "a read from the cache alone: pread64 reads it again"},
    {"preadv2", "EIO", "file for update", "a read from the cache alone: pread64 reads it again"},
    {"newfstatat", "EIO", "named path",
     "only to choose how many jobs suit the disk: one whose kind is unknown gets the default"},
    {"newfstatat", "EIO", "stdout",
     "only to learn whether stdout is a pipe: lines still go out whole, in longer writes"},
};

const char* why_harmless(const std::string& call, const std::string& error,
                         const std::string& site) {
    for (const auto& h : harmless) {
        if ((call == h.call || (call == "fstat" && h.call == std::string("newfstatat"))) &&
            error == h.error && site == h.site) {
            return h.why;
        }
    }
    return nullptr;
}

// Calls the sweep must fail at least once, each reported: what the walk by
// descriptor and the check before each write added.
const std::pair<const char*, const char*> required_sites[] = {
    {"openat", "O_PATH descriptor"},
    {"openat", "/proc/self/fd, read-only"},
    {"openat", "/proc/self/fd, for update"},
    {"newfstatat", "O_PATH descriptor"},
    {"flock", "file for update"},
    {"newfstatat", "file for update, before a write"},
    {"pread64", "file for update, check before a write"},
    {"pwrite64", "file for update"},
    {"getdents64", "folder listing"},
    {"write", "stdout"},
};

// One line of strace's log: "PID name(first, ...) = result".
struct traced_call {
    std::string name, first;
    std::string raw;  // the call's own name, before fstat is taken for newfstatat
    long result = -1;
};

bool parse_call(const std::string& line, traced_call* call) {
    const std::size_t start = line.find_first_not_of("0123456789 ");
    const std::size_t open = line.find('(', start);
    const std::size_t equals = line.rfind(" = ");
    if (start == std::string::npos || open == std::string::npos || equals == std::string::npos) {
        return false;
    }
    call->name = line.substr(start, open - start);
    call->raw = call->name;
    if (call->name == "fstat") {
        call->name = "newfstatat";  // one call under two names: what the C library makes of fstat
    }
    const std::size_t end = line.find_first_of(",)", open);
    call->first = line.substr(open + 1, end - open - 1);
    call->result = std::strtol(line.c_str() + equals + 3, nullptr, 10);
    return true;
}

// The lines of a strace log, each call whole: with several threads strace
// prints a call cut short by another thread's as "... <unfinished ...>" and
// its end later as "PID <... NAME resumed>...", which are joined again here,
// where the call ended; but a close where it began: another thread's open
// printed in between may have been given the descriptor it let go of.
std::vector<std::string> whole_calls(const std::string& log) {
    std::vector<std::string> calls;
    // pid -> the start of its call, and the place kept for it (a close's) or npos
    std::map<std::string, std::pair<std::string, std::size_t>> unfinished;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        const std::string pid = line.substr(0, line.find(' '));
        const std::size_t cut = line.find(" <unfinished ...>");
        const std::size_t resumed = line.find(" resumed>");
        if (cut != std::string::npos) {
            const bool close =
                line.compare(line.find_first_not_of("0123456789 "), 6, "close(") == 0;
            unfinished[pid] = {line.substr(0, cut), close ? calls.size() : std::string::npos};
            if (close) {
                calls.emplace_back();  // filled once it resumes
            }
        } else if (resumed != std::string::npos && unfinished.count(pid) != 0) {
            const auto& [start, place] = unfinished[pid];
            const std::string whole = start + line.substr(resumed + 9);
            if (place != std::string::npos) {
                calls[place] = whole;
            } else {
                calls.push_back(whole);
            }
            unfinished.erase(pid);
        } else {
            calls.push_back(line);
        }
    }
    return calls;
}

// What the failed call of a run was made on, from the run's log: the kind of
// descriptor (as it was opened), or for an open, what it opens and how.
std::string site_of(const std::string& log, std::string* injected) {
    std::map<long, std::string> kind;  // descriptor -> what it was opened as
    std::map<long, std::string> last;  // descriptor -> the call made on it before
    for (const std::string& line : whole_calls(log)) {
        traced_call call;
        if (!parse_call(line, &call)) {
            continue;
        }
        const bool failed = line.find("(INJECTED)") != std::string::npos;
        const long fd = std::strtol(call.first.c_str(), nullptr, 10);
        std::string site;
        if (call.name == "openat") {
            const bool proc = line.find("\"/proc/self/fd/") != std::string::npos;
            const bool update = line.find("O_RDWR") != std::string::npos;
            if (line.find("O_DIRECTORY") != std::string::npos) {
                site = "folder";
            } else if (line.find("O_PATH") != std::string::npos) {
                site = "O_PATH descriptor";
            } else {
                site = std::string(proc ? "/proc/self/fd" : "by name") +
                       (update ? ", for update" : ", read-only");
            }
            if (!failed && call.result >= 0) {
                kind[call.result] = site.find("folder") != std::string::npos ? "folder"
                                    : site == "O_PATH descriptor"            ? site
                                    : update                                 ? "file for update"
                                                                             : "read-only file";
            }
        } else if (call.name == "newfstatat" && call.first == "AT_FDCWD") {
            site = "named path";
        } else if (call.name == "write") {
            site = fd == 1 ? "stdout" : fd == 2 ? "stderr" : "descriptor " + call.first;
        } else {
            site = kind.count(fd) != 0 ? kind[fd] : fd == 1 ? "stdout" : "descriptor " + call.first;
            if (site == "file for update" && call.name == "newfstatat") {
                site += ", before a write";
            } else if (site == "file for update" && call.name == "pread64" &&
                       last[fd] == "newfstatat") {
                site += ", check before a write";
            }
            if (call.name == "dup" && call.result >= 0) {
                kind[call.result] = "folder listing";
            } else if (call.name == "close") {
                kind.erase(fd);
            }
        }
        last[fd] = call.name;
        if (failed) {
            *injected = line;
            return site;
        }
    }
    return "no call failed";
}

class fault_sweep : public testing::Test {
protected:
    void SetUp() override {
        if (std::system("command -v strace >/dev/null && command -v timeout >/dev/null") != 0) {
            SKIP_UNLESS_CI("needs strace and timeout");
        }
        std::string pattern = (fs::temp_directory_path() / "img-whiten-faults-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        scratch_ = pattern;
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
        const std::string trace = std::string("trace=") + (on_stdout ? call : file_calls);
        std::vector<std::string> argv{"timeout", "30", "strace", "-f", "--quiet=all",
                                      "-o",      log,  "-e",     trace};
        if (when > 0) {
            argv.push_back("-e");
            argv.push_back(std::string("inject=") + call + ":error=" + error +
                           ":when=" + std::to_string(when));
        }
        if (on_stdout) {
            // Only writes to stdout, not a sanitizer's own writes to files of its own.
            argv.insert(argv.end(), {"-P", stdout_path()});
        } else {
            for (const auto& file : s.files) {
                argv.insert(argv.end(), {"-P", file.first.string()});
            }
            for (const fs::path& folder : s.folders) {
                argv.insert(argv.end(), {"-P", folder.string()});
            }
            // The run opens its files again through these, which name no path of theirs.
            for (int fd = 3; fd < 16; ++fd) {
                argv.insert(argv.end(), {"-P", "/proc/self/fd/" + std::to_string(fd)});
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

    // Where a traced run's stdout goes, so that strace can be told to watch
    // that file alone.
    static std::string stdout_path() { return (fs::path(scratch_) / "stdout.txt").string(); }

    // Runs the traced tool; its stdout comes back in `out` as with any run.
    static process_result run_traced(const std::vector<std::string>& argv) {
        write_file(stdout_path(), {});
        process_limits limits;
        const std::string path = stdout_path();
        limits.stdout_file = path.c_str();
        process_result result = run_process(argv, limits);
        const bytes out = read_file(path);
        result.out.assign(out.begin(), out.end());
        return result;
    }

    // How many calls of `call` a clean run makes on the scenario's files. On
    // the way, the run must not touch a file that is no target (readme.txt)
    // and, in a dry run, must neither open a file for writing nor lock one.
    unsigned count_calls(const scenario& s, const char* call, bool on_stdout, bool dry_run) {
        lay_out(s);
        const std::string log = (fs::path(dir_) / "calls.log").string();
        run_traced(traced(s, call, on_stdout, "EIO", 0, dry_run, log));
        unsigned calls = 0;
        for (const std::string& line : whole_calls(log)) {
            traced_call traced;
            if (!parse_call(line, &traced)) {
                continue;
            }
            calls += traced.raw == call;
            EXPECT_EQ(line.find("readme.txt"), std::string::npos) << "not a target:\n" << line;
            EXPECT_FALSE(dry_run && (traced.name == "flock" || traced.name == "pwrite64" ||
                                     line.find("O_RDWR") != std::string::npos))
                << "a dry run opens files read-only and locks none:\n"
                << line;
        }
        return calls;
    }

    std::string dir_;
    inline static std::string scratch_;  // dir_, for the static helpers
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
    const std::string log = (fs::path(dir_) / "fault.log").string();
    unsigned points = 0, reported = 0;
    std::map<std::string, unsigned> absorbed;           // "call error on site" -> points
    std::set<std::pair<std::string, std::string>> hit;  // (call, site) failed and reported
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
                        const process_result result = run_traced(
                            traced(s, kind.call, kind.on_stdout, error, when, dry_run, log));
                        std::string injected;
                        const std::string site = site_of(log, &injected);
                        SCOPED_TRACE(injected);
                        ++points;
                        ASSERT_EQ(result.signal, 0) << "crashed";
                        ASSERT_NE(result.exit_status, 124) << "hung";
                        // 2: the journal could not be opened, and nothing was patched.
                        ASSERT_TRUE(result.exit_status == 0 || result.exit_status == 1 ||
                                    (result.exit_status == 2 && !s.journal.empty()))
                            << result.exit_status << "\n"
                            << result.err;
                        if (injected.empty()) {
                            // Jobs run side by side: this run made fewer such calls than
                            // the one counted (one descriptor fewer to close, say). It
                            // must then be a clean run.
                            EXPECT_EQ(result.exit_status, 0) << result.err;
                            continue;
                        }
                        reported += result.exit_status == 1;
                        ASSERT_EQ(result.err.empty(), result.exit_status == 0) << result.err;
                        bool whole = true;
                        for (std::size_t i = 0; i < s.files.size(); ++i) {
                            const auto& [path, before] = s.files[i];
                            const bytes& after = dry_run ? before : s.patched[i];
                            const bytes left = read_file(path);
                            expect_original_or_patched(left, before, after, path);
                            ASSERT_FALSE(HasFailure());
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
                            // Absorbed: only a fault that cannot lose anything may be.
                            EXPECT_TRUE(whole) << "exit 0 with the work unfinished";
                            EXPECT_EQ(result.out, dry_run ? s.clean_dry_out : s.clean_out);
                            EXPECT_NE(why_harmless(kind.call, error, site), nullptr)
                                << kind.call << " " << error << " on " << site
                                << " was absorbed, and no reason says it may be";
                            ++absorbed[std::string(kind.call) + " " + error + " on " + site];
                        } else {
                            hit.emplace(
                                std::string(kind.call) == "fstat" ? "newfstatat" : kind.call, site);
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
    std::printf("  %u injection points, %u of them reported a failure; absorbed:\n", points,
                reported);
    for (const auto& h : harmless) {
        const std::string key = std::string(h.call) + " " + h.error + " on " + h.site;
        std::printf("    %-46s %3u  %s\n", key.c_str(), absorbed.count(key) ? absorbed[key] : 0,
                    h.why);
    }
    for (const auto& [call, site] : required_sites) {
        EXPECT_EQ(hit.count({call, site}), 1u)
            << "no failed " << call << " on " << site << " was swept and reported";
    }
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

// Leak checking stops under a tracer; everything else the sanitizers check stays on.
class leak_check_off : public testing::Environment {
    void SetUp() override {
        const char* asan = std::getenv("ASAN_OPTIONS");
        const std::string options = std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
        setenv("ASAN_OPTIONS", options.c_str(), 1);
    }
};
testing::Environment* const leak_check = testing::AddGlobalTestEnvironment(new leak_check_off);

}  // namespace
