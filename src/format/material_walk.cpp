#include "material_walk.h"

#include "byte_order.h"

namespace img_whiten {

namespace {

bool is_stepped_into(std::uint32_t type) {
    return type == chunk_material_list || type == chunk_geometry || type == chunk_clump ||
           type == chunk_geometry_list;
}

void mark(change_map& changes, std::size_t first_byte, std::size_t last_byte) {
    for (std::size_t byte = first_byte; byte <= last_byte; ++byte) {
        changes.bits[byte / 64] |= std::uint64_t{1} << (byte % 64);
    }
}

}  // namespace

std::int64_t whiten_grey_materials_in_window(unsigned char* window, std::uint64_t window_offset,
                                             std::size_t window_length, std::uint64_t model_length,
                                             walk_cursor* cursor, change_map* changes) {
    const std::uint64_t position = cursor->position;
    if (cursor->ended || position >= model_length) {
        cursor->ended = true;
        return 0;
    }
    if (position < window_offset || position - window_offset > window_length) {
        return 0;  // the cursor is not in this window
    }
    // From here on, offsets count from window[0]; model_end >= at.
    const std::uint64_t model_end = model_length - window_offset;
    // The loop reads below `length`: the window's end, or the model's if sooner.
    const std::size_t length =
        model_end < window_length ? static_cast<std::size_t>(model_end) : window_length;
    std::size_t at = static_cast<std::size_t>(position - window_offset);
    std::uint64_t skipped = 0;  // a last body skipped past the window
    bool ended = false;
    std::int64_t count = 0;
    // Invariant: at <= length, so length - at never wraps. Only the exits from
    // the loop tell the window's end from the model's.
    for (;;) {
        if (length - at < chunk_header_size) {
            ended = model_end - at < chunk_header_size;
            break;
        }
        unsigned char* chunk = window + at;
        const std::uint32_t type = load_le32(chunk + chunk_type_offset);
        if (type == chunk_end_marker) {
            ended = true;  // zero fill after the last chunk
            break;
        }
        if (is_stepped_into(type)) {
            at += chunk_header_size;  // onto the first child
            continue;
        }
        if (type == chunk_material) {
            if (length - at >= material_colour_end) {
                if (load_le32(chunk + material_colour_offset) == grey_colour) {
                    store_le32(chunk + material_colour_offset, white_colour);
                    ++count;
                    if (changes != nullptr) {
                        mark(*changes, at + material_colour_offset,
                             at + material_colour_offset + colour_changed_bytes - 1);
                    }
                }
            } else if (model_end - at >= material_colour_end) {
                break;  // the colour word lies past the window: read on from this header
            }
        }
        // Materials and every other type are skipped whole; a size that
        // reaches or passes the model's end ends the walk.
        const std::uint32_t size = load_le32(chunk + chunk_size_offset);
        if (size >= length - at - chunk_header_size) {
            ended = size >= model_end - at - chunk_header_size;
            if (!ended) {
                skipped = chunk_header_size + std::uint64_t{size};
            }
            break;
        }
        at += chunk_header_size + size;
    }
    cursor->position = window_offset + at + skipped;
    cursor->ended = ended;
    return count;
}

std::int64_t whiten_grey_materials(unsigned char* buffer, std::size_t length, change_map* changes) {
    walk_cursor cursor;
    return whiten_grey_materials_in_window(buffer, 0, length, length, &cursor, changes);
}

}  // namespace img_whiten
