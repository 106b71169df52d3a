#include "material_walk.h"

#include <utility>

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

// No child of the type looked for.
constexpr std::size_t no_child = ~std::size_t{0};

// The first child of `type` among the chunks that fill a body `length` bytes
// long, of which body[0, readable) may be read: its position, and its size in
// *size; or no_child. The search stops at the first child that does not fit
// the body, and at one whose next sibling's header lies past what may be read.
std::size_t find_child(const unsigned char* body, std::uint64_t length, std::size_t readable,
                       std::uint32_t type, std::uint64_t* size) {
    // Invariant: at <= readable and at <= length.
    for (std::size_t at = 0;
         readable - at >= chunk_header_size && length - at >= chunk_header_size;) {
        const std::uint32_t child_size = load_le32(body + at + chunk_size_offset);
        if (child_size > length - at - chunk_header_size) {
            break;
        }
        if (load_le32(body + at + chunk_type_offset) == type) {
            *size = child_size;
            return at;
        }
        const std::uint64_t next = at + chunk_header_size + std::uint64_t{child_size};
        if (next > readable) {
            break;
        }
        at = static_cast<std::size_t>(next);
    }
    return no_child;
}

// Reads the name of the first Texture child of the Material at `material`,
// of which `reach` bytes (at least a header) may be read. The Texture may
// run on past them (a large extension after its name); its name may not.
void find_texture_name(const unsigned char* material, std::size_t reach, grey_material* found) {
    const unsigned char* body = material + chunk_header_size;
    const std::size_t readable = reach - chunk_header_size;
    std::uint64_t texture_size = 0;
    const std::size_t texture = find_child(body, load_le32(material + chunk_size_offset), readable,
                                           chunk_texture, &texture_size);
    if (texture == no_child) {
        return;
    }
    // find_child() leaves the header readable: texture_body <= readable.
    const std::size_t texture_body = texture + chunk_header_size;
    std::uint64_t name_size = 0;
    const std::size_t name = find_child(body + texture_body, texture_size, readable - texture_body,
                                        chunk_string, &name_size);
    if (name == no_child) {
        return;
    }
    const std::size_t name_body = texture_body + name + chunk_header_size;
    if (name_size > readable - name_body) {
        return;  // the name runs on past what may be read
    }
    const unsigned char* first = body + name_body;
    const unsigned char* last = first;
    while (last != first + name_size && *last != 0) {
        ++last;
    }
    found->texture.assign(first, last);
    found->textured = true;
}

}  // namespace

std::int64_t whiten_grey_materials_in_window(unsigned char* window, std::uint64_t window_offset,
                                             std::size_t window_length, std::uint64_t model_length,
                                             walk_cursor* cursor, change_map* changes,
                                             material_listing* listing) {
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
            if (listing != nullptr && (type == chunk_geometry || type == chunk_material_list)) {
                const std::uint64_t end =
                    window_offset + at + chunk_header_size + load_le32(chunk + chunk_size_offset);
                if (type == chunk_geometry) {
                    ++listing->geometries;
                    listing->geometry_end = end;
                } else {
                    listing->list_end = end;
                    listing->list_materials = 0;
                }
            }
            at += chunk_header_size;  // onto the first child
            continue;
        }
        if (type == chunk_material) {
            const bool colour_read = length - at >= material_colour_end;
            if (!colour_read && model_end - at >= material_colour_end) {
                break;  // the colour word lies past the window: read on from this header
            }
            const bool grey =
                colour_read && load_le32(chunk + material_colour_offset) == grey_colour;
            // A listing reads a grey Material's body too, as far as the model holds it.
            const std::uint64_t reach =
                model_end - at < listing_step_reach ? model_end - at : listing_step_reach;
            if (grey && listing != nullptr && reach > length - at) {
                break;  // its body lies past the window: read on from this header
            }
            std::uint64_t index = grey_material::none;
            if (listing != nullptr && window_offset + at < listing->list_end) {
                index = listing->list_materials++;
            }
            if (grey) {
                if (listing != nullptr) {
                    grey_material found;
                    if (window_offset + at < listing->geometry_end) {
                        found.geometry = listing->geometries - 1;
                    }
                    found.material = index;
                    find_texture_name(chunk, static_cast<std::size_t>(reach), &found);
                    listing->found.push_back(std::move(found));
                }
                store_le32(chunk + material_colour_offset, white_colour);
                ++count;
                if (changes != nullptr) {
                    mark(*changes, at + material_colour_offset,
                         at + material_colour_offset + colour_changed_bytes - 1);
                }
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

std::int64_t whiten_grey_materials(unsigned char* buffer, std::size_t length, change_map* changes,
                                   material_listing* listing) {
    walk_cursor cursor;
    return whiten_grey_materials_in_window(buffer, 0, length, length, &cursor, changes, listing);
}

}  // namespace img_whiten
