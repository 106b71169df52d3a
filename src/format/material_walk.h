// The material colour walk: a flat pass over a model's RenderWare chunk
// stream that turns grey Material colours white in place, and can tell where
// each one sits and what texture it carries.
#ifndef IMG_WHITEN_MATERIAL_WALK_H
#define IMG_WHITEN_MATERIAL_WALK_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
constexpr std::uint32_t chunk_string = 2;
constexpr std::uint32_t chunk_texture = 6;
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
// What each of red, green and blue holds in grey, and in white.
constexpr unsigned char grey_byte = grey_colour & 0xFF;
constexpr unsigned char white_byte = white_colour & 0xFF;
static_assert((grey_colour >> 8 & 0xFF) == grey_byte && (grey_colour >> 16 & 0xFF) == grey_byte,
              "grey is one byte thrice");

// Where a walk changed the buffer: one bit per byte (byte i is bit i % 64 of
// bits[i / 64]), set for each byte the walk changed: the red, green and blue
// of a replaced colour word (its alpha, 0xFF in grey and in white, stays).
// The caller clears the bits, change_map_words() of them.
struct change_map {
    std::uint64_t* bits;
};

inline std::size_t change_map_words(std::size_t length) {
    return length == 0 ? 0 : (length - 1) / 64 + 1;
}

// Where a walk over a model stands: the position of the next chunk header,
// counted from the model's first byte, and whether the walk has ended.
struct walk_cursor {
    std::uint64_t position = 0;
    bool ended = false;
};

// The most bytes one step reads from the chunk it stands on: a Material's
// header up to the end of its colour word.
constexpr std::size_t walk_step_reach = material_colour_end;
static_assert(walk_step_reach >= chunk_header_size, "a step reads at least a header");

// A grey Material as a listing tells of it.
struct grey_material {
    static constexpr std::uint64_t none = ~std::uint64_t{0};
    std::uint64_t geometry = none;  // how-manieth Geometry chunk of the model, from 0
    std::uint64_t material = none;  // how-manieth Material chunk of its Material List, from 0
    bool textured = false;          // it has a Texture child holding a name string
    std::string texture;            // that string's bytes, up to its first zero byte
};

// How far into a grey Material's body the search for its Texture's name looks; a
// Texture comes right after the Material's Struct.
constexpr std::size_t texture_search_limit = std::size_t{16} << 10;
// The most bytes a listing step reads from a grey Material's header on.
constexpr std::size_t listing_step_reach = chunk_header_size + texture_search_limit;
static_assert(listing_step_reach >= walk_step_reach, "a listing step reads its colour word too");

// What a listing walk has seen so far, carried from window to window like the
// cursor. A Material belongs to the last Geometry, and to the last Material
// List, stepped into when it lies within that chunk's declared bytes.
struct material_listing {
    std::uint64_t geometries = 0;      // Geometry chunks stepped into
    std::uint64_t geometry_end = 0;    // one past the last one's bytes; 0: none yet
    std::uint64_t list_end = 0;        // one past the last Material List's bytes; 0: none yet
    std::uint64_t list_materials = 0;  // Material chunks met in that list
    std::vector<grey_material> found;  // the grey Materials whitened, in walk order
};

// Carries the walk on over `window`, the `window_length` bytes of a model
// `model_length` bytes long from its byte `window_offset` on. Whitens grey
// Materials as whiten_grey_materials does, returns how many, marks `changes`
// (when given) relative to window[0], and moves `cursor` on. It stops with the
// cursor not ended at the first step that needs a byte past the window; the
// caller then reads on from cursor->position (which may lie past the window
// when the last step skipped a body) and calls again.
//   Progress: a step is taken when window_offset <= position and the window
//   reaches min(position + walk_step_reach, model_length); with a `listing`,
//   on a grey Material, min(position + listing_step_reach, model_length).
//   A position before window_offset, or past the window's end, returns 0 and
//   leaves the cursor as it was; a position at or past model_length ends the
//   walk, as does an ended cursor. Window bytes past model_length are never read.
// With a `listing`, adds each grey Material whitened to listing->found
// (which may throw std::bad_alloc). Touches no byte outside
// [window, window + window_length).
std::int64_t whiten_grey_materials_in_window(unsigned char* window, std::uint64_t window_offset,
                                             std::size_t window_length, std::uint64_t model_length,
                                             walk_cursor* cursor, change_map* changes = nullptr,
                                             material_listing* listing = nullptr);

// Replaces every grey Material colour the walk reaches in `buffer` with white
// and returns how many it replaced, marking in `changes` (when given) the
// blocks it changed: the window walk over one window holding the whole model.
// Touches no byte outside [buffer, buffer + length).
std::int64_t whiten_grey_materials(unsigned char* buffer, std::size_t length,
                                   change_map* changes = nullptr,
                                   material_listing* listing = nullptr);

}  // namespace img_whiten

#endif
