// A preloaded library that makes every positioned read and write of a file
// move at most SHORT_IO_BYTES bytes (7 unless set), as a system may at any
// time: a run must carry on after each short transfer, never take one for the
// end of the file. The fault sweep runs the tool with it. With
// SHORT_IO_WRITE_DELAY_US, each write first waits that long, so that a signal
// surely lands in the middle of a long write-back (the interrupted-run tests).
#include <dlfcn.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdlib>

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
    return real(fd, data, count < most() ? count : most(), offset);
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
