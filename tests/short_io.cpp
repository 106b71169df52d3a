// A preloaded library that makes every positioned read and write of a file
// move at most SHORT_IO_BYTES bytes (7 unless set), as a system may at any
// time: a run must carry on after each short transfer, never take one for the
// end of the file. The fault sweep runs the tool with it. With
// SHORT_IO_WRITE_DELAY_US, each write first waits that long, so that a signal
// surely lands in the middle of a long write-back (the interrupted-run tests).
// With SHORT_IO_LOG, each write's offset and the bytes it moved are appended
// to that file, "OFFSET COUNT" a line, so that a test can see where writes land.
// With SHORT_IO_MARK_LOCKS, a '.' goes to stderr before each lock is taken: on
// a full pipe the run waits there, after its first look at a file and before
// the look under the lock. With SHORT_IO_NO_PROC, /proc is not there for the
// run (its opens through /proc/self/fd fail with ENOENT), and each of those
// opens is marked on stderr the same way.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::size_t most() {
    static const std::size_t bytes = [] {
        const char* set = std::getenv("SHORT_IO_BYTES");
        const long value = set != nullptr ? std::atol(set) : 7;
        return static_cast<std::size_t>(value > 0 ? value : 7);
    }();
    return bytes;
}

unsigned write_delay() {
    static const unsigned microseconds = [] {
        const char* set = std::getenv("SHORT_IO_WRITE_DELAY_US");
        return set != nullptr ? static_cast<unsigned>(std::atol(set)) : 0u;
    }();
    return microseconds;
}

void log_write(off64_t offset, ssize_t moved) {
    static const int log = [] {
        const char* name = std::getenv("SHORT_IO_LOG");
        return name != nullptr ? open(name, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
    }();
    if (log >= 0 && moved > 0) {
        char line[48];
        const int length =
            std::snprintf(line, sizeof line, "%lld %lld\n", static_cast<long long>(offset),
                          static_cast<long long>(moved));
        (void)!write(log, line, static_cast<std::size_t>(length));
    }
}

// True (errno ENOENT, the call marked on stderr) for a path under /proc/self/fd
// when SHORT_IO_NO_PROC is set.
bool no_proc(const char* path) {
    static const bool hidden = std::getenv("SHORT_IO_NO_PROC") != nullptr;
    if (!hidden || std::strncmp(path, "/proc/self/fd", 13) != 0) {
        return false;
    }
    (void)!write(2, ".", 1);
    errno = ENOENT;
    return true;
}

template <typename Call>
Call next(const char* name) {
    return reinterpret_cast<Call>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

ssize_t pread64(int fd, void* data, std::size_t count, off64_t offset) {
    static const auto real = next<ssize_t (*)(int, void*, std::size_t, off64_t)>("pread64");
    return real(fd, data, count < most() ? count : most(), offset);
}

ssize_t pwrite64(int fd, const void* data, std::size_t count, off64_t offset) {
    static const auto real = next<ssize_t (*)(int, const void*, std::size_t, off64_t)>("pwrite64");
    if (write_delay() != 0) {
        usleep(write_delay());
    }
    const ssize_t moved = real(fd, data, count < most() ? count : most(), offset);
    log_write(offset, moved);
    return moved;
}

int flock(int fd, int operation) {
    static const auto real = next<int (*)(int, int)>("flock");
    static const bool mark = std::getenv("SHORT_IO_MARK_LOCKS") != nullptr;
    if (mark) {
        (void)!write(2, ".", 1);
    }
    return real(fd, operation);
}

using open_call = int (*)(const char*, int, ...);

// open() and open64() alike: the mode is there only when the flags create a file.
static int open_unless_no_proc(open_call real, const char* path, int flags, va_list arguments) {
    const mode_t mode =
        (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(arguments, unsigned)) : 0;
    return no_proc(path) ? -1 : real(path, flags, mode);
}

int open(const char* path, int flags, ...) {
    static const auto real = next<open_call>("open");
    va_list arguments;
    va_start(arguments, flags);
    const int fd = open_unless_no_proc(real, path, flags, arguments);
    va_end(arguments);
    return fd;
}

int open64(const char* path, int flags, ...) {
    static const auto real = next<open_call>("open64");
    va_list arguments;
    va_start(arguments, flags);
    const int fd = open_unless_no_proc(real, path, flags, arguments);
    va_end(arguments);
    return fd;
}

// What open() becomes under _FORTIFY_SOURCE.
int __open_2(const char* path, int flags) {
    static const auto real = next<int (*)(const char*, int)>("__open_2");
    return no_proc(path) ? -1 : real(path, flags);
}

int __open64_2(const char* path, int flags) {
    static const auto real = next<int (*)(const char*, int)>("__open64_2");
    return no_proc(path) ? -1 : real(path, flags);
}

int access(const char* path, int mode) {
    static const auto real = next<int (*)(const char*, int)>("access");
    return no_proc(path) ? -1 : real(path, mode);
}

ssize_t preadv64v2(int fd, const iovec* parts, int count, off64_t offset, int flags) {
    static const auto real = next<ssize_t (*)(int, const iovec*, int, off64_t, int)>("preadv64v2");
    iovec first = count > 0 ? parts[0] : iovec{nullptr, 0};
    first.iov_len = first.iov_len < most() ? first.iov_len : most();
    return real(fd, &first, count > 0 ? 1 : 0, offset, flags);
}

ssize_t preadv2(int fd, const iovec* parts, int count, off_t offset, int flags) {
    return preadv64v2(fd, parts, count, offset, flags);
}

ssize_t pread(int fd, void* data, std::size_t count, off_t offset) {
    return pread64(fd, data, count, offset);
}

ssize_t pwrite(int fd, const void* data, std::size_t count, off_t offset) {
    return pwrite64(fd, data, count, offset);
}
}
