// 64-bit positioning on C stdio streams, the same on every platform.
#ifndef IMG_WHITEN_FILE_STREAM_H
#define IMG_WHITEN_FILE_STREAM_H

#include <cstdint>
#include <cstdio>

namespace img_whiten {

enum class archive_access {
    update,     // read and write; every other writer is kept out while open
    read_only,  // read; nothing is kept out
};

// Opens the existing file at the UTF-8 `path` as a binary stream. For update
// it keeps other writers out: an exclusive advisory lock (flock) on POSIX
// systems, a share mode that denies writing on Windows. Returns null with
// errno set on failure; *in_use then tells whether another program holds
// the file.
std::FILE* open_archive(const char* path, archive_access access, bool* in_use);

// Why open_archive said the file is in use, in words for a message.
const char* in_use_reason();

// Seeks to the absolute byte `position`; false (errno set) when it fails.
bool seek_to(std::FILE* file, std::uint64_t position);

// Measures the stream's length by seeking to its end; leaves the position at 0.
bool stream_size(std::FILE* file, std::uint64_t* size);

}  // namespace img_whiten

#endif
