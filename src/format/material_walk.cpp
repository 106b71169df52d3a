#include "material_walk.h"

#include "byte_order.h"

namespace img_whiten {

namespace {

bool is_stepped_into(std::uint32_t type) {
    return type == chunk_material_list || type == chunk_geometry || type == chunk_clump ||
           type == chunk_geometry_list;
}

void mark(change_map& changes, std::size_t first_byte, std::size_t last_byte) {
    for (std::size_t block = first_byte >> changes.block_shift;
         block <= last_byte >> changes.block_shift; ++block) {
        changes.bits[block / 64] |= std::uint64_t{1} << (block % 64);
    }
}

}  // namespace

std::int64_t whiten_grey_materials(unsigned char* buffer, std::size_t length, change_map* changes) {
    std::int64_t count = 0;
    std::size_t cursor = 0;
    // Invariant: cursor <= length, so length - cursor never wraps.
    while (length - cursor >= chunk_header_size) {
        unsigned char* chunk = buffer + cursor;
        const std::uint32_t type = load_le32(chunk + chunk_type_offset);
        if (type == chunk_end_marker) {
            break;  // zero fill after the last chunk
        }
        if (is_stepped_into(type)) {
            cursor += chunk_header_size;  // onto the first child
            continue;
        }
        if (type == chunk_material && length - cursor >= material_colour_end &&
            load_le32(chunk + material_colour_offset) == grey_colour) {
            store_le32(chunk + material_colour_offset, white_colour);
            ++count;
            if (changes != nullptr) {
                mark(*changes, cursor + material_colour_offset,
                     cursor + material_colour_offset + colour_changed_bytes - 1);
            }
        }
        // Materials and every other type are skipped whole; a size that
        // reaches or passes the end ends the walk.
        const std::uint32_t size = load_le32(chunk + chunk_size_offset);
        if (size >= length - cursor - chunk_header_size) {
            break;
        }
        cursor += chunk_header_size + size;
    }
    return count;
}

}  // namespace img_whiten
