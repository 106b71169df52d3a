// Writes RenderWare chunk streams and version-2 IMG archives field by field,
// for the tests, the fuzz seeds, the benchmarks and the sample archive tool.
#ifndef IMG_WHITEN_ARCHIVE_BUILDER_H
#define IMG_WHITEN_ARCHIVE_BUILDER_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace img_whiten::build {

using bytes = std::vector<unsigned char>;

// Chunk type identifiers of the RenderWare binary stream.
namespace chunk_type {
constexpr std::uint32_t struct_data = 1;
constexpr std::uint32_t string = 2;
constexpr std::uint32_t extension = 3;
constexpr std::uint32_t texture = 6;
constexpr std::uint32_t material = 7;
constexpr std::uint32_t material_list = 8;
constexpr std::uint32_t world = 11;
constexpr std::uint32_t frame_list = 14;
constexpr std::uint32_t geometry = 15;
constexpr std::uint32_t clump = 16;
constexpr std::uint32_t atomic = 20;
constexpr std::uint32_t geometry_list = 26;
constexpr std::uint32_t frame_name = 0x0253F2FE;  // a plugin's chunk in a Frame List's Extension
}  // namespace chunk_type

// Library stamp of a 3.6 stream; the tool never reads it.
constexpr std::uint32_t library_stamp = 0x1803FFFF;

struct rgba {
    unsigned char red, green, blue, alpha;
};
constexpr rgba grey{149, 149, 149, 255};
constexpr rgba white{255, 255, 255, 255};

void put_le32(bytes& out, std::uint32_t value);
void put_f32(bytes& out, float value);
void set_le32(bytes& out, std::size_t position, std::uint32_t value);
void append(bytes& out, const bytes& more);
// `parts` back to back.
bytes cat(std::initializer_list<bytes> parts);

// A chunk: 12-byte header (type, size, library stamp) and then `body`.
bytes chunk(std::uint32_t type, const bytes& body);
// A chunk header alone, with any `size`, for streams that lie about sizes.
bytes chunk_header(std::uint32_t type, std::uint32_t size);
bytes struct_chunk(const bytes& data);
bytes empty_extension();

// Material: a Struct of flags, colour, an unused word, the textured flag and
// three lighting floats (colour at byte 28 of the Material), an optional
// Texture, and an empty Extension.
bytes material(rgba colour, const std::string& texture_name = "");
// Material List: a Struct of the count and one -1 per material (none
// shared), followed by the materials.
bytes material_list(const std::vector<bytes>& materials);
// Geometry: a Struct of the header words and `vertex_bytes` of vertex data
// from `fill_seed`, its Material List and an Extension.
bytes geometry(const std::vector<bytes>& materials, std::size_t vertex_bytes,
               std::uint64_t fill_seed = 1);
// Clump: its Struct, a Frame List, a Geometry List, one Atomic per geometry
// and an Extension. A `frame_name` goes into the Frame List's Extension as a
// frame name chunk of its exact length, unpadded, as modelling tools write it:
// of odd length, it leaves every later colour word off 4-byte alignment.
bytes clump(const std::vector<bytes>& geometries, const std::string& frame_name = "");

// Fills `size` bytes from a seeded generator (xorshift), fast enough for gigabytes.
bytes filler(std::size_t size, std::uint64_t seed);

// One stored file of an archive.
struct entry {
    std::string name;  // at most 24 bytes; exactly 24 leaves the field without a zero
    bytes data;        // padded with zero bytes to whole sectors
};

// Byte position of entry record `index` in the directory.
std::size_t entry_record_offset(std::size_t index);

// A whole archive: header, directory, zero padding to the first free sector,
// then each entry's data in order, each padded to whole sectors.
bytes archive(const std::vector<entry>& entries);
// The same layout streamed to `file`; false when a write fails.
bool write_archive(std::FILE* file, const std::vector<entry>& entries);

// A realistic archive of clump models (grey, near-grey and other colours,
// one model without grey) and non-model entries, about `target_bytes` long.
struct sample_options {
    std::uint64_t target_bytes = 4u << 20;
    std::uint64_t seed = 1;
    std::uint64_t vertex_kib_min = 20, vertex_kib_max = 400;  // per geometry
    std::uint64_t other_kib_min = 20, other_kib_max = 600;    // per .txd or .col entry
};
std::vector<entry> sample_entries(const sample_options& options);

// One record of an undo journal, field by field: magic "IW-UNDO\n", version,
// record length, device, index, file length, path length, count, folder
// length and sectors' CRC (not in version 1), path, folder, 64-bit positions
// and the CRC-32C of all before it (worked out bit by bit here). `version`
// 1 gives a record as 1.3.0 wrote it; `length` other than 0 replaces the
// true one, for records that lie about it.
struct journal_entry {
    std::string path;
    std::uint64_t device = 0, index = 0, file_length = 0;
    std::vector<std::uint64_t> positions;
    std::uint32_t version = 2;
    std::uint32_t length = 0;
    std::string folder = "";
    std::uint32_t sectors_crc = 0;
};
bytes journal_record(const journal_entry& record);

}  // namespace img_whiten::build

#endif
