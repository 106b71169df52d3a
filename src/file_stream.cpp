#include "file_stream.h"

#include <cerrno>
#include <cstdint>

#if defined(_WIN32)
#include <share.h>
#include <windows.h>

#include <string>

#include "utf16.h"
#else
#include <sys/file.h>
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

#if defined(_WIN32)
std::FILE* open_archive(const char* path, archive_access access, bool* in_use) {
    const std::wstring wide = utf8_to_wide(path);
    const bool update = access == archive_access::update;
    std::FILE* file =
        _wfsopen(wide.c_str(), update ? L"rb+" : L"rb", update ? _SH_DENYWR : _SH_DENYNO);
    if (file == nullptr) {
        const int error = errno;
        *in_use = GetLastError() == ERROR_SHARING_VIOLATION;
        errno = error;
    }
    return file;
}

const char* in_use_reason() {
    return "another program has it open (sharing violation)";
}
#else
std::FILE* open_archive(const char* path, archive_access access, bool* in_use) {
    *in_use = false;
    const bool update = access == archive_access::update;
    std::FILE* file = std::fopen(path, update ? "rb+" : "rb");
    // Only a lock held elsewhere stops the run; a file system without locks does not.
    if (file != nullptr && update && flock(fileno(file), LOCK_EX | LOCK_NB) != 0 &&
        errno == EWOULDBLOCK) {
        *in_use = true;
        std::fclose(file);
        errno = EWOULDBLOCK;
        return nullptr;
    }
    return file;
}

const char* in_use_reason() {
    return "another process holds a lock on it";
}
#endif

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
