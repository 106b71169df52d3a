// 64-bit positioning on C stdio streams, the same on every platform.
#ifndef IMG_WHITEN_FILE_STREAM_H
#define IMG_WHITEN_FILE_STREAM_H

#include <cstdint>
#include <cstdio>

namespace img_whiten {

// Seeks to the absolute byte `position`; false (errno set) when it fails.
bool seek_to(std::FILE* file, std::uint64_t position);

// Measures the stream's length by seeking to its end; leaves the position at 0.
bool stream_size(std::FILE* file, std::uint64_t* size);

}  // namespace img_whiten

#endif
