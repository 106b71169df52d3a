// What the end-to-end tests share: the progress lines and bytes a run must
// give, and a fixture with a scratch folder. The tool they run: harness.h.
#ifndef IMG_WHITEN_TESTS_END_TO_END_SUPPORT_H
#define IMG_WHITEN_TESTS_END_TO_END_SUPPORT_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "archive.h"
#include "archive_builder.h"
#include "byte_order.h"
#include "harness.h"
#include "invariants.h"
#include "process.h"

namespace e2e {

using namespace img_whiten::build;

using harness::config;
using harness::read_file;
using harness::write_file;
using img_whiten::invariants::grey_words_between;

inline constexpr std::size_t sector = 2048;

struct progress_line {
    std::string name;
    long long count;
};

// The stdout the tool prints for these lines, in the platform's line ending.
inline std::string progress(const std::vector<progress_line>& lines) {
    std::string out;
    for (const progress_line& line : lines) {
        out += "Patching " + line.name + " patched " + std::to_string(line.count) + " materials";
        out += config.crlf ? "\r\n" : "\n";
    }
    return out;
}

// `text` with the platform's line endings.
inline std::string lines(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c == '\n' && config.crlf ? std::string("\r\n") : std::string(1, c);
    }
    return out;
}

// The summary line that ends every dry run.
inline std::string dry_summary(int files, int models, int materials) {
    const auto counted = [](int n, const char* one, const char* many) {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    return lines("Visited " + counted(files, "file", "files") + ": " +
                 counted(models, "model", "models") + " would change, " +
                 counted(materials, "material", "materials") +
                 " would be whitened (dry run: nothing was written)\n");
}

// A dry run's stdout without the summary line it ends with; "" when it lacks one.
inline std::string before_dry_summary(const std::string& out) {
    const std::size_t last = out.rfind("Visited ");
    if (last == std::string::npos || (last != 0 && out[last - 1] != '\n') ||
        out.find("(dry run: nothing was written)", last) == std::string::npos ||
        out.find('\n', last) + 1 != out.size()) {
        return "";
    }
    return out.substr(0, last);
}

// `relative` below `root` as the tool names it: a Windows build joins with "\\".
inline std::string in_tree(const std::string& root, std::string relative) {
    if (!config.launcher.empty()) {
        std::replace(relative.begin(), relative.end(), '/', '\\');
        return root + "\\" + relative;
    }
    return root + "/" + relative;
}

// `data` with the colour word at each of `offsets` turned white.
inline bytes whitened(bytes data, const std::vector<std::size_t>& offsets) {
    for (std::size_t offset : offsets) {
        set_le32(data, offset, 0xFFFFFFFF);
    }
    return data;
}

inline std::size_t le32_at(const bytes& data, std::size_t at) {
    return img_whiten::load_le32(&data[at]);
}

// Offsets in `file` of every grey colour word in the data of entry `index`.
inline std::vector<std::size_t> grey_words(const bytes& file, std::size_t index) {
    const std::size_t offset = le32_at(file, entry_record_offset(index)) * sector;
    const std::size_t length = le32_at(file, entry_record_offset(index) + 4) * sector;
    return grey_words_between(file, offset, offset + length);
}

// A model padded with Struct chunks so that a grey Material's colour word
// lies at each of `at` (ascending, each at least 40 bytes past the last word).
inline bytes model_with_words_at(const std::vector<std::size_t>& at) {
    bytes model;
    for (std::size_t word : at) {
        const std::size_t material_start = word - 28;
        append(model, chunk(chunk_type::struct_data, bytes(material_start - model.size() - 12, 0)));
        append(model, material(grey));
    }
    return model;
}

// A run whose stdout (`stream` 1) or stderr (2) is a one-page pipe that the
// test reads only in finish(); a stderr pipe starts full. The tool then waits
// in write() at a point the test knows (its first flush of 64 KiB of lines,
// or its first message), while the test changes the files under it. The
// other streams (both, with `stream` 0) go to files.
class paused_run {
public:
    paused_run(const std::vector<std::string>& argv, int stream, const process_limits& limits = {})
        : stream_(stream), out_(std::tmpfile()), err_(std::tmpfile()) {
        fcntl(fileno(out_), F_SETFD, FD_CLOEXEC);
        fcntl(fileno(err_), F_SETFD, FD_CLOEXEC);
        int pipe_fds[2] = {-1, -1};
        if (stream != 0) {
            EXPECT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
            EXPECT_EQ(fcntl(pipe_fds[1], F_SETPIPE_SZ, page), page);
        }
        if (stream == 2) {
            const std::string fill(page, '.');
            EXPECT_EQ(write(pipe_fds[1], fill.data(), fill.size()), page);
        }
        pid_ = start_process(argv, -1, stream == 1 ? pipe_fds[1] : fileno(out_),
                             stream == 2 ? pipe_fds[1] : fileno(err_), limits);
        pipe_ = pipe_fds[0];
        if (pipe_fds[1] >= 0) {
            close(pipe_fds[1]);
        }
    }
    paused_run(const paused_run&) = delete;
    paused_run& operator=(const paused_run&) = delete;
    ~paused_run() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (pipe_ >= 0) {
            close(pipe_);
        }
        std::fclose(out_);
        std::fclose(err_);
    }

    int pid() const { return pid_; }

    // True once the tool waits in a write to the pipe; false when it ended
    // first, or did not get there within 20 seconds.
    bool wait_until_blocked() const {
        const std::string proc = "/proc/" + std::to_string(pid_);
        const std::string blocked = std::to_string(SYS_write) + " 0x" + std::to_string(stream_);
        auto asleep_since = std::chrono::steady_clock::time_point::max();
        return wait_until([&] {
            if (!config.launcher.empty()) {
                // Wine writes through descriptors of its own. Anything in the
                // stdout pipe says the tool is in its first flush, which the
                // pipe cannot take whole.
                int queued = 0;
                return stream_ == 1 && ioctl(pipe_, FIONREAD, &queued) == 0 && queued > 0;
            }
            // The system call it sleeps in, and its first argument: the descriptor.
            std::string call;
            std::getline(std::ifstream(proc + "/syscall"), call);
            if (!call.empty()) {
                return call.rfind(blocked + " ", 0) == 0;
            }
            // Where that is not shown, asleep for 200 ms on end will do.
            std::string stat;
            std::getline(std::ifstream(proc + "/stat"), stat);
            const std::size_t state = stat.rfind(')') + 2;
            const auto now = std::chrono::steady_clock::now();
            if (state >= stat.size() || stat[state] != 'S') {
                asleep_since = std::chrono::steady_clock::time_point::max();
                return false;
            }
            asleep_since = std::min(asleep_since, now);
            return now - asleep_since >= std::chrono::milliseconds(200);
        });
    }

    // True once the tool has handed its files (and streams) `count` bytes.
    bool wait_until_written(std::uint64_t count) const {
        return wait_until([&] { return written_bytes_so_far(pid_) >= count; });
    }

    // Reads the pipe to its end and waits for the tool to end: killed after
    // 20 seconds (result.signal SIGKILL: it hung).
    process_result finish() {
        process_result result;
        std::string piped;
        const auto end = deadline();
        for (char block[65536]; pipe_ >= 0;) {
            const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                       end - std::chrono::steady_clock::now())
                                       .count();
            pollfd ready{pipe_, POLLIN, 0};
            if (poll(&ready, 1, static_cast<int>(std::max(left, 100LL))) == 0) {
                kill(pid_, SIGKILL);  // its end of the pipe closes as it dies
                continue;
            }
            const ssize_t got = read(pipe_, block, sizeof block);
            if (got <= 0) {
                break;
            }
            piped.append(block, static_cast<std::size_t>(got));
        }
        while (waitpid(pid_, &status_, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                kill(pid_, SIGKILL);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        pid_ = -1;
        if (WIFEXITED(status_)) {
            result.exit_status = WEXITSTATUS(status_);
        } else if (WIFSIGNALED(status_)) {
            result.signal = WTERMSIG(status_);
        }
        result.out = stream_ == 1 ? piped : slurp(out_);
        result.err =
            stream_ == 2 ? piped.substr(std::min(piped.size(), std::size_t{page})) : slurp(err_);
        return result;
    }

private:
    static constexpr int page = 4096;

    template <typename Ready>
    bool wait_until(Ready ready) const {
        for (const auto end = deadline(); std::chrono::steady_clock::now() < end;) {
            siginfo_t info{};
            if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
                info.si_pid == pid_) {
                return false;  // it ended first
            }
            if (ready()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        return false;
    }
    static std::chrono::steady_clock::time_point deadline() {
        return std::chrono::steady_clock::now() + std::chrono::seconds(20);
    }
    static std::string slurp(std::FILE* file) {
        std::rewind(file);
        std::string text;
        for (int c; (c = std::fgetc(file)) != EOF;) {
            text += static_cast<char>(c);
        }
        return text;
    }

    int stream_;
    std::FILE* out_;
    std::FILE* err_;
    int pid_ = -1;
    int pipe_ = -1;
    int status_ = 0;
};

// Nanosecond modification time: a write of the same bytes would still move it.
inline std::pair<long, long> modified(const std::string& file) {
    struct stat info {};
    EXPECT_EQ(stat(file.c_str(), &info), 0) << file;
    return {info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
}

class end_to_end : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "img-whiten-e2e-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
        dir_ = pattern;
    }
    void TearDown() override {
        for (const std::string& file : immutable_) {
            const int fd = open(file.c_str(), O_RDONLY);
            int flags = 0;
            if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
                flags &= ~FS_IMMUTABLE_FL;
                ioctl(fd, FS_IOC_SETFLAGS, &flags);
            }
            close(fd);
        }
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // Takes write permission from `file`. Under a launcher run by root, who
    // ignores permissions and cannot hand Wine to another user, the file also
    // gets the immutable attribute; false when the file system has none.
    bool make_read_only(const std::string& file) {
        EXPECT_EQ(chmod(file.c_str(), 0444), 0);
        if (config.launcher.empty() || geteuid() != 0) {
            return true;
        }
        const int fd = open(file.c_str(), O_RDONLY);
        int flags = 0;
        const bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                          (flags |= FS_IMMUTABLE_FL, ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
        close(fd);
        if (done) {
            immutable_.push_back(file);
        }
        return done;
    }

    // Limits that make permissions bite: when we are root, who ignores them,
    // the tool runs as an unprivileged user that owns the scratch folder and
    // everything in it (but under a launcher, see make_read_only).
    process_limits permissions_apply() {
        process_limits limits;
        limits.user = config.launcher.empty() ? unprivileged_user() : -1;
        if (limits.user >= 0) {
            for (const auto& item : std::filesystem::recursive_directory_iterator(dir_)) {
                EXPECT_EQ(lchown(item.path().c_str(), static_cast<uid_t>(limits.user),
                                 static_cast<gid_t>(limits.user)),
                          0);
            }
            EXPECT_EQ(chown(dir_.c_str(), static_cast<uid_t>(limits.user),
                            static_cast<gid_t>(limits.user)),
                      0);
            EXPECT_EQ(chmod(dir_.c_str(), 0755), 0);
            // A copy of the tool it can surely reach, whatever the build folder's parents allow.
            exe_ = path("img-whiten-copy");
            std::filesystem::copy_file(config.exe, exe_);
            EXPECT_EQ(chmod(exe_.c_str(), 0755), 0);
        }
        return limits;
    }

    // The command line that runs the tool with `args`.
    std::vector<std::string> command(const std::vector<std::string>& args) const {
        std::vector<std::string> argv = config.launcher;
        argv.push_back(exe_.empty() ? config.exe : exe_);
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    process_result run(const std::vector<std::string>& args, const process_limits& limits = {}) {
        return run_process(command(args), limits);
    }

    // Writes `archive` to a file, runs the tool on it, and returns the result;
    // the file's bytes afterwards are left in `after`.
    process_result patch(const bytes& archive, bytes* after = nullptr) {
        const std::string file = path("test.img");
        write_file(file, archive);
        process_result result = run({file});
        if (after != nullptr) {
            *after = read_file(file);
        }
        return result;
    }

    std::string dir_;
    std::vector<std::string> immutable_;  // cleared again after the test
    std::string exe_;                     // the tool's copy an unprivileged user runs
};

// What a run did, for a failure message: how it ended, its stdout and its stderr.
inline std::string what_it_did(const process_result& result) {
    return "exit status " + std::to_string(result.exit_status) + ", signal " +
           std::to_string(result.signal) + "\nstdout:\n" + result.out + "\nstderr:\n" + result.err;
}

// A sound run: exit status 0, nothing on stderr, and exactly this stdout and these bytes.
inline void expect_clean(const process_result& result, const std::string& out, const bytes& after,
                         const bytes& expected) {
    EXPECT_EQ(result.exit_status, 0) << what_it_did(result);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(after.size(), expected.size());
    EXPECT_TRUE(after == expected) << "file bytes differ";
}

// A damaged run: exit status 1, one message naming this failure, and exactly this stdout and bytes.
inline void expect_reported(const process_result& result, const std::string& out,
                            const std::string& message, const bytes& after, const bytes& expected) {
    EXPECT_EQ(result.exit_status, 1) << what_it_did(result);
    EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
    EXPECT_EQ(result.err.rfind("img-whiten: ", 0), 0u) << result.err;
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(after.size(), expected.size());
    EXPECT_TRUE(after == expected) << "file bytes differ";
}

}  // namespace e2e

#endif
