#include "archive.h"

#include <cstring>

#include "byte_order.h"

namespace img_whiten {

archive_header decode_archive_header(const unsigned char* bytes) {
    archive_header header;
    header.magic = load_le32(bytes + header_magic_offset);
    header.entry_count = static_cast<std::int32_t>(load_le32(bytes + header_entry_count_offset));
    return header;
}

archive_entry decode_archive_entry(const unsigned char* bytes) {
    archive_entry entry;
    entry.sector_offset = load_le32(bytes + entry_sector_offset_offset);
    entry.sector_count = load_le32(bytes + entry_sector_count_offset);
    const unsigned char* field = bytes + entry_name_offset;
    std::size_t length = 0;
    while (length < entry_name_size && field[length] != 0) {
        ++length;
    }
    std::memcpy(entry.name, field, length);
    entry.name[length] = '\0';
    return entry;
}

namespace {

// ASCII-only folding, independent of the process locale.
char fold_ascii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool is_model_entry(const char* name) {
    const char* dot = std::strrchr(name, '.');
    if (dot == nullptr) {
        return false;
    }
    // strlen stops at the terminator, so the three-character test never reads past the name.
    if (std::strlen(dot) < 4) {
        return false;
    }
    return fold_ascii(dot[1]) == 'd' && fold_ascii(dot[2]) == 'f' && fold_ascii(dot[3]) == 'f';
}

}  // namespace img_whiten
