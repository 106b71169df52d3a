// Runs a program as a child process and collects what it did.
#ifndef IMG_WHITEN_PROCESS_H
#define IMG_WHITEN_PROCESS_H

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

struct process_result {
    int exit_status = -1;   // -1 when the child did not exit normally
    int signal = 0;         // the signal that ended it, if one did
    std::string out;        // everything written to stdout
    std::string err;        // everything written to stderr
    long peak_rss_kib = 0;  // the child's peak resident memory
    double seconds = 0;     // wall-clock time
    // Bytes the child handed to write calls, to every file it wrote (stdout
    // and stderr included).
    std::uint64_t written_bytes = 0;
};

// Bytes the child wrote to files other than its stdout and stderr.
inline std::uint64_t bytes_written_to_files(const process_result& result) {
    return result.written_bytes - result.out.size() - result.err.size();
}

// Bits of process_limits::closed_streams.
constexpr unsigned closed_stdin = 1, closed_stdout = 2, closed_stderr = 4;

struct process_limits {
    std::uint64_t file_size_limit = 0;      // RLIMIT_FSIZE in bytes, with SIGXFSZ ignored; 0: none
    std::uint64_t address_space_limit = 0;  // RLIMIT_AS in bytes, as `ulimit -v` sets; 0: none
    unsigned open_files_limit = 0;          // RLIMIT_NOFILE, as `ulimit -n` sets; 0: none
    unsigned inherited_files =
        0;                        // descriptors (of /dev/null) the child starts with beside its own
    unsigned cpu_seconds = 60;    // RLIMIT_CPU: a child that spins is killed, not waited for
    unsigned closed_streams = 0;  // standard streams the child starts without
    int user = -1;                // a user (and group) id to run as instead of ours
    const char* stdout_file = nullptr;  // stdout goes there (such as /dev/full), not captured
    const char* stdin_file = nullptr;   // stdin comes from there, not inherited
};

// A user without privileges for tests that need permissions to bite when we
// are root, or -1 when we are not root (then permissions bite anyway).
int unprivileged_user();

// Bytes the child `pid` has handed to write calls so far (/proc/PID/io).
std::uint64_t written_bytes_so_far(int pid);

process_result run_process(const std::vector<std::string>& argv, const process_limits& limits = {});

// Starts `argv` as a child with its standard streams on these descriptors
// (-1: inherited) and returns its pid without waiting for it.
int start_process(const std::vector<std::string>& argv, int in_fd, int out_fd, int err_fd,
                  const process_limits& limits = {});

// `argv` run with the short-I/O library `short_io` preloaded to make each of
// its writes wait `delay_us` first (tests/short_io.cpp).
inline std::vector<std::string> with_slow_writes(const std::string& short_io, unsigned delay_us,
                                                 const std::vector<std::string>& argv) {
    // The sanitizers' runtime would otherwise insist on coming before the library.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::vector<std::string> slow{
        "env", "LD_PRELOAD=" + short_io, "SHORT_IO_BYTES=1073741824",
        "SHORT_IO_WRITE_DELAY_US=" + std::to_string(delay_us),
        std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":verify_asan_link_order=0"};
    slow.insert(slow.end(), argv.begin(), argv.end());
    return slow;
}

#endif
