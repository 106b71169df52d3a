// Interrupted runs: the tool is killed (SIGKILL or SIGTERM) at seeded random
// moments between the first and the last write of runs over a sample archive
// and a tree of models, is sent SIGTERM while its stdout is full and nobody
// reads it and in the middle of a long write-back, or loses its stdout to a
// reader that quits. Every run must end in one of the ways it can, within 2 s
// of the signal; afterwards every file keeps its length, every byte holds its
// original or its patched value, and one more complete run gives exactly the
// bytes of an uninterrupted run.
//
//   interrupted_run_tests --exe PATH --short-io LIBRARY [--size-mib N] [--trials N] [--seed S]
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "archive_builder.h"
#include "harness.h"
#include "process.h"

namespace {

namespace fs = std::filesystem;
using namespace img_whiten::build;

using harness::config;
using harness::expect_original_or_patched;
using harness::read_file;
using harness::write_file;

// How long a run may take to end after a signal: generous, never a measure of speed.
constexpr double signal_bound_seconds = 2;

// A run with stdout and stderr closed: /proc/PID/io then counts only what it
// hands the files it patches.
process_limits quiet_run() {
    process_limits quiet;
    quiet.closed_streams = closed_stdout | closed_stderr;
    return quiet;
}

// Sends `signal` to `pid` and waits for it to end, at most signal_bound_seconds;
// a run still going then is killed and -1 returned. Otherwise its wait status.
int signal_and_wait(int pid, int signal) {
    kill(pid, signal);
    const auto sent = std::chrono::steady_clock::now();
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) != pid) {
        if (std::chrono::steady_clock::now() - sent >
            std::chrono::duration<double>(signal_bound_seconds)) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return status;
}

// A quiet run sent `signal` either ends by it or, done before it came, exits
// 1 because its stdout was closed: never 0, never another signal. True when it
// was done first, and then the whole result must be there.
bool expect_possible_ending(int status, int signal) {
    EXPECT_NE(status, -1) << "still running " << signal_bound_seconds << " s after the signal";
    EXPECT_TRUE(status != -1 &&
                (WIFSIGNALED(status) ? WTERMSIG(status) == signal : WEXITSTATUS(status) == 1))
        << "wait status " << status;
    return status != -1 && WIFEXITED(status);
}

// Starts the tool on `path`, quiet, and sends it `signal` once it has handed
// its files `threshold` bytes. Returns its wait status, or -1 (see signal_and_wait).
int kill_after_written(const std::vector<std::string>& argv, std::uint64_t threshold, int signal) {
    const int pid = start_process(argv, -1, -1, -1, quiet_run());
    for (siginfo_t info{}; written_bytes_so_far(pid) < threshold;) {
        info.si_pid = 0;
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
            info.si_pid == pid) {
            break;  // it ended first
        }
    }
    return signal_and_wait(pid, signal);
}

std::size_t changed_bytes(const bytes& before, const bytes& after) {
    std::size_t changed = 0;
    for (std::size_t i = 0; i < before.size(); ++i) {
        changed += before[i] != after[i];
    }
    return changed;
}

// One more complete run on `path` must give exactly `after`.
void expect_completed(const fs::path& path, const bytes& after) {
    const process_result again = run_process({config.exe, path.string()});
    EXPECT_EQ(again.exit_status, 0) << again.err;
    EXPECT_TRUE(read_file(path) == after) << path << ": a complete run did not finish the work";
}

// A scratch folder; the sample archive, its patched bytes and the length of a
// whole run are made once per process, by the tests that use them.
class interrupted_run : public testing::Test {
protected:
    static void SetUpTestSuite() {
        // tmpfs when there is one: copies of the archive then cost no disk writeback.
        const fs::path base =
            access("/dev/shm", W_OK) == 0 ? "/dev/shm" : fs::temp_directory_path();
        std::string pattern = (base / "img-whiten-kill-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }

    static void TearDownTestSuite() {
        delete original_;
        delete patched_;
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    static void make_sample() {
        sample_options sample;
        sample.target_bytes = config.size_mib << 20;
        sample.seed = config.seed;
        std::FILE* file = std::fopen(original().c_str(), "wb");
        ASSERT_NE(file, nullptr);
        ASSERT_TRUE(write_archive(file, sample_entries(sample)));
        ASSERT_EQ(std::fclose(file), 0);
        original_ = new bytes(read_file(original()));
        fs::copy_file(original(), trial(), fs::copy_options::overwrite_existing);
        const process_result whole = run_process({config.exe, trial().string()});
        ASSERT_EQ(whole.exit_status, 0) << whole.err;
        patched_ = new bytes(read_file(trial()));
        ASSERT_NE(*patched_, *original_);
        // What a whole run hands the archive, with stdout and stderr closed so they count nothing.
        fs::copy_file(original(), trial(), fs::copy_options::overwrite_existing);
        total_written_ = run_process({config.exe, trial().string()}, quiet_run()).written_bytes;
        ASSERT_GT(total_written_, 0u) << "the run wrote nothing";
    }

    static fs::path original() { return fs::path(dir_) / "original.img"; }
    static fs::path trial() { return fs::path(dir_) / "trial.img"; }

    // Checks the sample an interrupted run left, then completes it with one more run.
    // Returns how many of the bytes a whole run changes were already changed.
    static std::size_t check_and_complete() {
        static bytes left;
        read_file(trial(), left);
        const std::size_t done = expect_original_or_patched(left, *original_, *patched_, trial());
        expect_completed(trial(), *patched_);
        return done;
    }

    static std::string dir_;
    static bytes* original_;
    static bytes* patched_;
    static std::uint64_t total_written_;  // bytes a whole run hands the archive
};

std::string interrupted_run::dir_;
bytes* interrupted_run::original_ = nullptr;
bytes* interrupted_run::patched_ = nullptr;
std::uint64_t interrupted_run::total_written_ = 0;

// Each kill waits until the run has handed the archive a seeded random share
// of the bytes a whole run writes, so it lands while the run writes.
TEST_F(interrupted_run, killed_at_random_moments_while_it_writes) {
    ASSERT_NO_FATAL_FAILURE(make_sample());
    std::mt19937_64 rng(config.seed);
    std::uniform_int_distribution<std::uint64_t> moment(1, total_written_ - 1);
    const std::size_t changed = changed_bytes(*original_, *patched_);
    std::printf("  %.0f MiB archive, a whole run writes %llu bytes, %zu of them change\n",
                static_cast<double>(original_->size()) / (1 << 20),
                static_cast<unsigned long long>(total_written_), changed);
    std::size_t mid_write = 0;
    for (unsigned long long trial_index = 0; trial_index < config.trials; ++trial_index) {
        SCOPED_TRACE("trial " + std::to_string(trial_index));
        fs::copy_file(original(), trial(), fs::copy_options::overwrite_existing);
        const std::uint64_t threshold = moment(rng);
        // SIGTERM, every other time, ends the run after the write in progress.
        const int signal = trial_index % 2 == 0 ? SIGKILL : SIGTERM;
        const int status = kill_after_written({config.exe, trial().string()}, threshold, signal);
        const bool finished = expect_possible_ending(status, signal);
        const std::size_t done = check_and_complete();
        EXPECT_TRUE(!finished || done == changed) << "exited with the work unfinished";
        mid_write += done > 0 && done < changed;
        std::printf("  %s after %llu bytes written: %s, %zu of %zu changed bytes were written\n",
                    signal == SIGKILL ? "SIGKILL" : "SIGTERM",
                    static_cast<unsigned long long>(threshold),
                    finished ? "already done" : "interrupted", done, changed);
    }
    std::printf("  %zu of %llu kills landed between the first and the last changed byte\n",
                mid_write, config.trials);
    EXPECT_GE(mid_write * 2, config.trials) << "too few kills landed while the run wrote";
}

// A tree of loose models in nested folders beside a small archive, killed
// while the run writes: every file keeps its length and holds only original
// or patched bytes, and one more run gives exactly the uninterrupted result.
TEST_F(interrupted_run, killed_while_it_patches_a_tree) {
    sample_options sample;
    sample.target_bytes = 8u << 20;
    sample.seed = config.seed + 1;
    sample.vertex_kib_min = 1;
    sample.vertex_kib_max = 16;
    const std::vector<entry> entries = sample_entries(sample);
    const fs::path source = fs::path(dir_) / "tree-source";
    std::size_t models = 0;
    for (const entry& e : entries) {
        if (e.name.size() > 4 && (e.name.substr(e.name.size() - 4) == ".dff" ||
                                  e.name.substr(e.name.size() - 4) == ".DFF")) {
            const fs::path folder = source / ("mod" + std::to_string(models % 7)) /
                                    ("part" + std::to_string(models % 3));
            fs::create_directories(folder);
            write_file(folder / e.name, e.data);
            ++models;
        }
    }
    {
        std::FILE* file = std::fopen((source / "extra.img").c_str(), "wb");
        ASSERT_TRUE(file != nullptr && write_archive(file, entries));
        ASSERT_EQ(std::fclose(file), 0);
    }
    // The whole result, and what a whole run writes.
    const fs::path tree = fs::path(dir_) / "tree";
    auto fresh_copy = [&] {
        fs::remove_all(tree);
        fs::copy(source, tree, fs::copy_options::recursive);
    };
    fresh_copy();
    const std::uint64_t total = run_process({config.exe, tree.string()}, quiet_run()).written_bytes;
    const fs::path patched = fs::path(dir_) / "tree-patched";
    fs::remove_all(patched);
    fs::rename(tree, patched);
    ASSERT_GT(total, 0u);

    std::mt19937_64 rng(config.seed);
    std::uniform_int_distribution<std::uint64_t> moment(1, total - 1);
    std::size_t mid_write = 0;
    const unsigned long long trials = std::max(1ull, config.trials / 3);
    for (unsigned long long trial_index = 0; trial_index < trials; ++trial_index) {
        SCOPED_TRACE("trial " + std::to_string(trial_index));
        fresh_copy();
        const int signal = trial_index % 2 == 0 ? SIGKILL : SIGTERM;
        const bool finished = expect_possible_ending(
            kill_after_written({config.exe, tree.string()}, moment(rng), signal), signal);
        std::size_t changed = 0, done = 0;  // bytes a whole run changes, and those already changed
        for (const auto& item : fs::recursive_directory_iterator(source)) {
            if (item.is_regular_file()) {
                const fs::path relative = fs::relative(item.path(), source);
                const bytes before = read_file(item.path()), after = read_file(patched / relative);
                done +=
                    expect_original_or_patched(read_file(tree / relative), before, after, relative);
                changed += changed_bytes(before, after);
            }
        }
        EXPECT_TRUE(!finished || done == changed) << "exited with the work unfinished";
        mid_write += done > 0 && done < changed;
        const process_result again = run_process({config.exe, tree.string()});
        EXPECT_EQ(again.exit_status, 0) << again.err;
        for (const auto& item : fs::recursive_directory_iterator(patched)) {
            if (item.is_regular_file()) {
                const fs::path relative = fs::relative(item.path(), patched);
                EXPECT_TRUE(read_file(tree / relative) == read_file(item.path())) << relative;
            }
        }
        std::printf(
            "  tree of %zu loose models and an archive, %s: %zu of %zu changed bytes "
            "written\n",
            models, signal == SIGKILL ? "SIGKILL" : "SIGTERM", done, changed);
    }
    EXPECT_GE(mid_write * 2, trials) << "too few kills landed while the run wrote";
}

// Cuts the last whole record of an undo journal in two, as a kill while it
// was appended leaves it, and returns the positions of its words.
std::vector<std::uint64_t> cut_last_record(bytes& journal) {
    auto le32 = [&](std::size_t at) {
        return std::uint32_t{journal[at]} | std::uint32_t{journal[at + 1]} << 8 |
               std::uint32_t{journal[at + 2]} << 16 | std::uint32_t{journal[at + 3]} << 24;
    };
    std::size_t last = 0, end = 0;
    for (std::size_t at = 0; at + 48 <= journal.size() && at + le32(at + 12) <= journal.size();
         at += le32(at + 12)) {
        last = at;
        end = at + le32(at + 12);
    }
    std::vector<std::uint64_t> positions;
    if (end == 0) {
        return positions;
    }
    for (std::size_t at = last + 48 + le32(last + 40); at + 4 < end; at += 8) {
        positions.push_back(le32(at) | std::uint64_t{le32(at + 4)} << 32);
    }
    journal.resize(last + (end - last) / 2);
    return positions;
}

// Killed while it writes with an undo journal, --undo gives back the original
// bytes; with the journal's last record cut as well, all but that record's words.
TEST_F(interrupted_run, killed_with_an_undo_journal_then_undone) {
    ASSERT_NO_FATAL_FAILURE(make_sample());
    std::mt19937_64 rng(config.seed + 2);
    std::uniform_int_distribution<std::uint64_t> moment(1, total_written_ - 1);
    const fs::path journal = fs::path(dir_) / "undo.log";
    static bytes left;
    const unsigned long long trials = std::max(2ull, config.trials / 3);
    for (unsigned long long trial_index = 0; trial_index < trials; ++trial_index) {
        SCOPED_TRACE("trial " + std::to_string(trial_index));
        fs::copy_file(original(), trial(), fs::copy_options::overwrite_existing);
        fs::remove(journal);
        kill_after_written({config.exe, "--undo-log", journal.string(), trial().string()},
                           moment(rng), SIGKILL);
        std::vector<std::uint64_t> cut_words;
        if (trial_index % 2 == 1) {
            bytes kept = read_file(journal);
            cut_words = cut_last_record(kept);
            std::ofstream(journal, std::ios::binary | std::ios::trunc)
                .write(reinterpret_cast<const char*>(kept.data()),
                       static_cast<std::streamsize>(kept.size()));
        }
        const process_result undone = run_process({config.exe, "--undo", journal.string()});
        // (A kill may cut the record it lands in, too: a damaged region, reported.)
        EXPECT_TRUE(undone.exit_status == 0 ? cut_words.empty()
                                            : undone.exit_status == 1 &&
                                                  undone.err.find(": bytes ") != std::string::npos)
            << undone.err;
        read_file(trial(), left);
        ASSERT_EQ(left.size(), original_->size());
        std::size_t stray = 0, kept_white = 0;
        for (std::size_t i = 0; i < left.size(); ++i) {
            if (left[i] == (*original_)[i]) {
                continue;
            }
            const bool in_cut_word =
                std::any_of(cut_words.begin(), cut_words.end(),
                            [i](std::uint64_t word) { return i >= word && i < word + 3; });
            kept_white += in_cut_word && left[i] == (*patched_)[i];
            stray += !(in_cut_word && left[i] == (*patched_)[i]);
        }
        EXPECT_EQ(stray, 0u) << "bytes not given back";
        std::printf("  killed with a journal%s: %s\n",
                    cut_words.empty() ? "" : ", its last record cut",
                    kept_white > 0 ? "the cut record's words stay white, the rest given back"
                                   : "every byte given back");
    }
}

// As in `img-whiten a.img | head -1`, and with a reader that quits at once.
TEST_F(interrupted_run, stdout_closed_early) {
    ASSERT_NO_FATAL_FAILURE(make_sample());
    for (std::size_t lines_read : {0u, 1u}) {
        SCOPED_TRACE(std::to_string(lines_read) + " lines read");
        fs::copy_file(original(), trial(), fs::copy_options::overwrite_existing);
        int pipe_fds[2];
        ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
        // One page of pipe: the run's later output cannot all fit before the reader quits.
        ASSERT_GE(fcntl(pipe_fds[1], F_SETPIPE_SZ, 4096), 0);
        if (lines_read == 0) {
            close(pipe_fds[0]);
        }
        const int pid = start_process({config.exe, trial().string()}, -1, pipe_fds[1], -1);
        close(pipe_fds[1]);
        if (lines_read > 0) {
            std::string first_line;
            char c = 0;
            while (read(pipe_fds[0], &c, 1) == 1 && c != '\n') {
                first_line += c;
            }
            close(pipe_fds[0]);
            EXPECT_EQ(first_line.rfind("Patching ", 0), 0u) << first_line;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        // A write to the pipe after the reader quit ends the run, long before the last model.
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << status;
        const std::size_t done = check_and_complete();
        std::printf("  stdout closed after %zu lines: %s, %zu bytes were written\n", lines_read,
                    WIFSIGNALED(status) ? strsignal(WTERMSIG(status)) : "exited", done);
    }
}

// Whether `pid` is inside a write to its stdout (from /proc/PID/syscall).
bool writing_stdout(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    long call = -1;
    std::string fd;
    return in >> call >> fd && call == SYS_write && fd == "0x1";
}

// A stdout that is full and that nobody reads (`head` stopped, a stalled
// terminal) must not keep a run from ending by SIGTERM: the signal interrupts
// the blocked write, whether it had moved some bytes or none (the pipe was
// full when it began, which only a handler installed without SA_RESTART gets
// out of). Regression: the pipe's reader then found the last line torn, the
// part of a long write that fit.
TEST_F(interrupted_run, sigterm_ends_a_run_blocked_on_a_full_stdout) {
    std::vector<entry> entries;
    for (int i = 0; i < 4000; ++i) {  // far more lines than the sink and the pipe hold
        entries.push_back({"m" + std::to_string(i) + ".dff", material(grey)});
    }
    const bytes before = archive(entries);
    const fs::path file = fs::path(dir_) / "lines.img";
    write_file(file, before);
    const process_result whole = run_process({config.exe, file.string()});
    ASSERT_EQ(whole.exit_status, 0) << whole.err;
    const bytes after = read_file(file);
    for (const bool full_before : {false, true}) {
        SCOPED_TRACE(full_before ? "pipe full before the run writes" : "pipe empty");
        write_file(file, before);
        int pipe_fds[2];
        ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
        ASSERT_EQ(fcntl(pipe_fds[1], F_SETPIPE_SZ, 4096), 4096);
        if (full_before) {
            const std::string page(4096, '\n');
            ASSERT_EQ(write(pipe_fds[1], page.data(), page.size()), 4096);
        }
        const int pid = start_process({config.exe, file.string()}, -1, pipe_fds[1], -1);
        close(pipe_fds[1]);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!writing_stdout(pid) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // blocked in it by now
        const int status = signal_and_wait(pid, SIGTERM);
        std::string seen;
        char block[4096];
        for (ssize_t got; (got = read(pipe_fds[0], block, sizeof block)) > 0;) {
            seen.append(block, static_cast<std::size_t>(got));
        }
        close(pipe_fds[0]);
        EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM)
            << "wait status " << status << " (-1: still running " << signal_bound_seconds
            << " s after SIGTERM)";
        // What got through is the whole run's first lines, each whole.
        seen.erase(0, full_before ? 4096 : 0);
        EXPECT_TRUE(whole.out.compare(0, seen.size(), seen) == 0 &&
                    (seen.empty() || seen.back() == '\n'))
            << "the reader got " << seen.size() << " bytes ending in\n"
            << seen.substr(seen.size() - std::min<std::size_t>(seen.size(), 80));
        expect_original_or_patched(read_file(file), before, after, file);
        expect_completed(file, after);
    }
}

// SIGTERM in the middle of a long write-back, one model of many separate
// sectors (each write made slow by the preloaded library), ends the run after
// the write in progress, long before the last.
// The tool run with `args`, each of its writes waiting `delay_us` first.
std::vector<std::string> with_slow_writes(unsigned delay_us, const std::vector<std::string>& args) {
    std::vector<std::string> argv{config.exe};
    argv.insert(argv.end(), args.begin(), args.end());
    return ::with_slow_writes(config.short_io, delay_us, argv);
}

TEST_F(interrupted_run, sigterm_ends_a_write_back_between_two_sectors) {
    bytes model;
    while (model.size() < (3u << 20)) {  // one window: no check between windows to fall back on
        append(model, clump({geometry({material(grey)}, 4000)}));
    }
    const bytes before = archive({{"big.dff", model}});
    const fs::path file = fs::path(dir_) / "big.img";
    write_file(file, before);
    const std::vector<std::string> slow = with_slow_writes(1000, {file.string()});
    const process_result whole = run_process(slow, quiet_run());
    ASSERT_EQ(whole.exit_status, 1) << "a closed stdout is reported";
    const bytes after = read_file(file);
    ASSERT_GT(whole.written_bytes, 100u * 2048) << "too few sectors to write";
    write_file(file, before);
    const int status = kill_after_written(slow, 1, SIGTERM);
    EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM)
        << "wait status " << status;
    const std::size_t done = expect_original_or_patched(read_file(file), before, after, file);
    EXPECT_LT(done, changed_bytes(before, after)) << "the run went on to its last write";
    std::printf("  SIGTERM after the first write: %zu of %zu changed bytes were written\n", done,
                changed_bytes(before, after));
    expect_completed(file, after);
}

// Regression: with several jobs, a worker went on to the rest of its batch
// (up to 16 files) after SIGTERM. Each write waits 100 ms, so the signal lands
// while each job is early in a batch: no file may be started after it.
TEST_F(interrupted_run, sigterm_starts_no_further_file_with_several_jobs) {
    const fs::path tree = fs::path(dir_) / "batches";
    const bytes before = clump({geometry({material(grey)}, 64)});
    const auto lay_out = [&] {
        fs::remove_all(tree);
        fs::create_directories(tree);
        for (int i = 0; i < 64; ++i) {
            write_file(tree / ("m" + std::to_string(100 + i) + ".dff"), before);
        }
    };
    lay_out();
    ASSERT_EQ(run_process({config.exe, tree.string()}, quiet_run()).exit_status, 1);
    const bytes after = read_file(tree / "m100.dff");
    ASSERT_NE(after, before);
    lay_out();
    const int status =
        kill_after_written(with_slow_writes(100000, {"--jobs", "2", tree.string()}), 1, SIGTERM);
    EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM)
        << "wait status " << status;
    std::size_t patched = 0;
    for (const auto& item : fs::directory_iterator(tree)) {
        patched +=
            expect_original_or_patched(read_file(item.path()), before, after, item.path()) > 0;
    }
    // At most a file done by each job as the first write ended, and one in progress with each.
    EXPECT_LE(patched, 4u) << "files were started after the signal";
    const process_result again = run_process({config.exe, tree.string()});
    EXPECT_EQ(again.exit_status, 0) << again.err;
    for (const auto& item : fs::directory_iterator(tree)) {
        EXPECT_TRUE(read_file(item.path()) == after) << item.path() << ": not finished";
    }
}

}  // namespace
