// The version-2 IMG archive layout: header, directory entries, sector
// addressing, and the rule that picks the model entries.
#ifndef IMG_WHITEN_ARCHIVE_H
#define IMG_WHITEN_ARCHIVE_H

#include <cstddef>
#include <cstdint>

namespace img_whiten {

// Every position and length in the directory counts 2048-byte sectors.
constexpr unsigned sector_shift = 11;
constexpr std::uint64_t sector_size = 2048;
static_assert(sector_size == std::uint64_t{1} << sector_shift, "a sector is 2048 bytes");

// archive_header, at file offset 0:
//   0  4 bytes  magic        "VER2"
//   4  4 bytes  entry_count  signed; directory records that follow
constexpr std::size_t header_magic_offset = 0;
constexpr std::size_t header_entry_count_offset = 4;
constexpr std::size_t archive_header_size = 8;
constexpr std::uint32_t archive_magic = 0x32524556;  // "VER2" read as a little-endian word
static_assert(header_entry_count_offset + 4 == archive_header_size, "header is two words");

// archive_entry, 32 bytes each, back to back from file offset 8:
//   0  4 bytes   sector_offset  first sector of the entry's data
//   4  4 bytes   sector_count   length of the data in sectors
//   8  24 bytes  name           ends at the first zero byte or at the field's end
constexpr std::size_t entry_sector_offset_offset = 0;
constexpr std::size_t entry_sector_count_offset = 4;
constexpr std::size_t entry_name_offset = 8;
constexpr std::size_t entry_name_size = 24;
constexpr std::size_t archive_entry_size = 32;
static_assert(entry_name_offset + entry_name_size == archive_entry_size, "entry is 32 bytes");
constexpr std::uint64_t directory_offset = archive_header_size;

struct archive_header {
    std::uint32_t magic;
    std::int32_t entry_count;
};

struct archive_entry {
    std::uint32_t sector_offset;
    std::uint32_t sector_count;
    char name[entry_name_size + 1];  // always zero-terminated; at most 24 name bytes
};

// Decodes the 8 header bytes at `bytes`.
archive_header decode_archive_header(const unsigned char* bytes);

// Decodes the 32-byte directory record at `bytes`; reads nothing past it.
archive_entry decode_archive_entry(const unsigned char* bytes);

// Byte position and length of an entry's data; 64-bit, so no sector value overflows.
inline std::uint64_t entry_data_offset(const archive_entry& entry) {
    return entry.sector_offset * sector_size;
}
inline std::uint64_t entry_data_length(const archive_entry& entry) {
    return entry.sector_count * sector_size;
}

// True when the zero-terminated `name` ends in a ".dff" extension: the text
// after its last dot starts with "dff" under ASCII case folding.
bool is_model_entry(const char* name);

}  // namespace img_whiten

#endif
