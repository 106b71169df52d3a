#include "file_stream.h"

#include <cerrno>
#include <cstdint>

#if !defined(_WIN32)
#include <sys/types.h>
#endif

namespace img_whiten {

namespace {

// A plain fseek takes a long, which is 32 bits on Windows.
#if defined(_WIN32)
int seek64(std::FILE* file, std::int64_t position, int whence) {
    return _fseeki64(file, position, whence);
}
std::int64_t tell64(std::FILE* file) {
    return _ftelli64(file);
}
#else
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");
int seek64(std::FILE* file, std::int64_t position, int whence) {
    return fseeko(file, static_cast<off_t>(position), whence);
}
std::int64_t tell64(std::FILE* file) {
    return ftello(file);
}
#endif

}  // namespace

bool seek_to(std::FILE* file, std::uint64_t position) {
    if (position > static_cast<std::uint64_t>(INT64_MAX)) {
        errno = EINVAL;
        return false;
    }
    return seek64(file, static_cast<std::int64_t>(position), SEEK_SET) == 0;
}

bool stream_size(std::FILE* file, std::uint64_t* size) {
    if (seek64(file, 0, SEEK_END) != 0) {
        return false;
    }
    const std::int64_t end = tell64(file);
    if (end < 0 || seek64(file, 0, SEEK_SET) != 0) {
        return false;
    }
    *size = static_cast<std::uint64_t>(end);
    return true;
}

}  // namespace img_whiten
