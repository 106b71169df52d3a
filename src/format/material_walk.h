// The material colour walk: a flat pass over a model's RenderWare chunk
// stream that turns grey Material colours white in place.
#ifndef IMG_WHITEN_MATERIAL_WALK_H
#define IMG_WHITEN_MATERIAL_WALK_H

#include <cstddef>
#include <cstdint>

namespace img_whiten {

// chunk_header, 12 bytes at the start of every chunk:
//   0  4 bytes  type           chunk type identifier
//   4  4 bytes  size           body length in bytes; the body follows the header
//   8  4 bytes  library_stamp  not examined
constexpr std::size_t chunk_type_offset = 0;
constexpr std::size_t chunk_size_offset = 4;
constexpr std::size_t chunk_library_stamp_offset = 8;
constexpr std::size_t chunk_header_size = 12;
static_assert(chunk_library_stamp_offset + 4 == chunk_header_size, "chunk header is 3 words");

struct chunk_header {
    std::uint32_t type;
    std::uint32_t size;
    std::uint32_t library_stamp;
};

// Chunk types the walk treats specially.
constexpr std::uint32_t chunk_end_marker = 0;
constexpr std::uint32_t chunk_material = 7;
constexpr std::uint32_t chunk_material_list = 8;
constexpr std::uint32_t chunk_geometry = 15;
constexpr std::uint32_t chunk_clump = 16;
constexpr std::uint32_t chunk_geometry_list = 26;

// A Material's colour word sits after its own header (12 bytes), its Struct
// child's header (12 bytes) and the struct's flags word (4 bytes).
constexpr std::size_t material_colour_offset = 28;
constexpr std::size_t material_colour_end = material_colour_offset + 4;
static_assert(material_colour_offset == 2 * chunk_header_size + 4, "colour follows flags");

// Colour words as read little-endian: bytes red, green, blue, alpha.
constexpr std::uint32_t grey_colour = 0xFF959595;   // 149, 149, 149, 255
constexpr std::uint32_t white_colour = 0xFFFFFFFF;  // 255, 255, 255, 255
// The bytes of a colour word that whitening changes: red, green and blue.
constexpr std::size_t colour_changed_bytes = 3;
static_assert((grey_colour >> 24) == (white_colour >> 24), "grey and white share their alpha");

// Where a walk changed the buffer: one bit per block of 2^block_shift bytes
// (block i is bit i % 64 of bits[i / 64]), set when the block holds a byte the
// walk changed: the red, green and blue of a replaced colour word (its alpha,
// 0xFF in grey and in white, stays). The caller clears the bits,
// change_map_words() of them.
struct change_map {
    std::uint64_t* bits;
    unsigned block_shift;
};

inline std::size_t change_map_words(std::size_t length, unsigned block_shift) {
    return length == 0 ? 0 : ((length - 1) >> block_shift) / 64 + 1;
}

// Replaces every grey Material colour the walk reaches in `buffer` with white
// and returns how many it replaced, marking in `changes` (when given) the
// blocks it changed. Touches no byte outside [buffer, buffer + length).
std::int64_t whiten_grey_materials(unsigned char* buffer, std::size_t length,
                                   change_map* changes = nullptr);

}  // namespace img_whiten

#endif
