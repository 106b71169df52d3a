// Little-endian loads and stores of 32- and 64-bit words in byte buffers.
#ifndef IMG_WHITEN_BYTE_ORDER_H
#define IMG_WHITEN_BYTE_ORDER_H

#include <cstdint>

namespace img_whiten {

inline std::uint32_t load_le32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

inline void store_le32(unsigned char* bytes, std::uint32_t value) {
    bytes[0] = static_cast<unsigned char>(value);
    bytes[1] = static_cast<unsigned char>(value >> 8);
    bytes[2] = static_cast<unsigned char>(value >> 16);
    bytes[3] = static_cast<unsigned char>(value >> 24);
}

inline std::uint64_t load_le64(const unsigned char* bytes) {
    return static_cast<std::uint64_t>(load_le32(bytes)) |
           static_cast<std::uint64_t>(load_le32(bytes + 4)) << 32;
}

inline void store_le64(unsigned char* bytes, std::uint64_t value) {
    store_le32(bytes, static_cast<std::uint32_t>(value));
    store_le32(bytes + 4, static_cast<std::uint32_t>(value >> 32));
}

}  // namespace img_whiten

#endif
