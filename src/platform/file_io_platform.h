// The one system call each platform makes for a positioned read or write:
// the shared loop in file_io.cpp carries on after short transfers.
#ifndef IMG_WHITEN_FILE_IO_PLATFORM_H
#define IMG_WHITEN_FILE_IO_PLATFORM_H

#include <cstddef>
#include <cstdint>

namespace img_whiten {

// Bytes moved, 0 at the end of the file (reads), or -1 with errno set.
long long read_once(int fd, std::uint64_t offset, unsigned char* data, std::size_t count);
long long write_once(int fd, std::uint64_t offset, const unsigned char* data, std::size_t count);

}  // namespace img_whiten

#endif
