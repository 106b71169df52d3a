#include "process.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::string slurp_and_remove(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::remove(path.c_str());
    return text.str();
}

int make_capture_file(std::string& path) {
    const char* dir = std::getenv("TMPDIR");
    path = std::string(dir != nullptr ? dir : "/tmp") + "/img-whiten-capture-XXXXXX";
    return mkstemp(path.data());
}

}  // namespace

std::uint64_t written_bytes_so_far(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/io");
    std::string key;
    std::uint64_t value = 0;
    while (in >> key >> value) {
        if (key == "wchar:") {
            return value;
        }
    }
    return 0;
}

int unprivileged_user() {
    return geteuid() == 0 ? 65534 : -1;  // nobody
}

int start_process(const std::vector<std::string>& argv, int in_fd, int out_fd, int err_fd,
                  const process_limits& limits) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fds[] = {in_fd, out_fd, err_fd};
        for (int target = 0; target < 3; ++target) {
            if (fds[target] >= 0) {
                dup2(fds[target], target);
            }
            if ((limits.closed_streams >> target & 1) != 0) {
                close(target);
            }
        }
        if (limits.user >= 0 &&
            (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(limits.user)) != 0 ||
             setuid(static_cast<uid_t>(limits.user)) != 0)) {
            _exit(126);
        }
        if (limits.file_size_limit != 0) {
            std::signal(SIGXFSZ, SIG_IGN);  // a refused write then fails with EFBIG
            const rlimit limit{limits.file_size_limit, limits.file_size_limit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        const rlimit cpu{limits.cpu_seconds, limits.cpu_seconds};
        setrlimit(RLIMIT_CPU, &cpu);
        if (limits.address_space_limit != 0) {
            const rlimit space{limits.address_space_limit, limits.address_space_limit};
            setrlimit(RLIMIT_AS, &space);
        }
        for (unsigned i = 0; i < limits.inherited_files; ++i) {
            open("/dev/null", O_RDONLY);  // left open across exec, as a careless parent does
        }
        if (limits.open_files_limit != 0) {
            const rlimit files{limits.open_files_limit, limits.open_files_limit};
            setrlimit(RLIMIT_NOFILE, &files);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

process_result run_process(const std::vector<std::string>& argv, const process_limits& limits) {
    process_result result;
    std::string out_path, err_path;
    const int out_fd = make_capture_file(out_path);
    const int err_fd = make_capture_file(err_path);
    if (out_fd < 0 || err_fd < 0) {
        std::perror("mkstemp");
        std::abort();
    }
    const auto start = std::chrono::steady_clock::now();
    const int child_out =
        limits.stdout_file != nullptr ? open(limits.stdout_file, O_WRONLY) : out_fd;
    const int child_in = limits.stdin_file != nullptr ? open(limits.stdin_file, O_RDONLY) : -1;
    const pid_t pid = start_process(argv, child_in, child_out, err_fd, limits);
    if (child_out != out_fd) {
        close(child_out);
    }
    if (child_in >= 0) {
        close(child_in);
    }
    siginfo_t exited{};
    waitid(P_PID, static_cast<id_t>(pid), &exited, WEXITED | WNOWAIT);
    result.written_bytes = written_bytes_so_far(pid);  // exited, not yet reaped
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(out_fd);
    close(err_fd);
    if (WIFEXITED(status)) {
        result.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    result.peak_rss_kib = usage.ru_maxrss;
    result.out = slurp_and_remove(out_path);
    result.err = slurp_and_remove(err_path);
    return result;
}
