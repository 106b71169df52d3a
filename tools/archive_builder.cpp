#include "archive_builder.h"

#include <cstring>

namespace img_whiten::build {

namespace {

constexpr std::size_t sector = 2048;
constexpr std::size_t header_size = 8;
constexpr std::size_t record_size = 32;
constexpr std::size_t name_size = 24;

std::uint64_t sectors_for(std::size_t size) {
    return (size + sector - 1) / sector;
}

// splitmix64: tiny, fast, and good enough for test content.
struct generator {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return z ^ (z >> 31);
    }
    // A value in [low, high].
    std::uint64_t between(std::uint64_t low, std::uint64_t high) {
        return low + next() % (high - low + 1);
    }
};

bytes string_chunk(const std::string& text) {
    bytes body(text.begin(), text.end());
    body.resize((text.size() / 4 + 1) * 4, 0);  // zero-terminated, padded to a word
    return chunk(chunk_type::string, body);
}

bytes header_and_directory(const std::vector<entry>& entries, std::uint64_t* first_free_sector) {
    bytes out;
    out.insert(out.end(), {'V', 'E', 'R', '2'});                // magic
    put_le32(out, static_cast<std::uint32_t>(entries.size()));  // entry_count
    std::uint64_t next_sector = sectors_for(header_size + record_size * entries.size());
    for (const entry& e : entries) {
        const std::uint64_t count = sectors_for(e.data.size());
        put_le32(out, static_cast<std::uint32_t>(next_sector));  // sector_offset
        put_le32(out, static_cast<std::uint32_t>(count));        // sector_count
        unsigned char name[name_size] = {};                      // name, zero padded
        std::memcpy(name, e.name.data(), e.name.size() < name_size ? e.name.size() : name_size);
        out.insert(out.end(), name, name + name_size);
        next_sector += count;
    }
    *first_free_sector = sectors_for(out.size());
    out.resize(*first_free_sector * sector, 0);
    return out;
}

rgba sample_colour(generator& rng) {
    switch (rng.between(0, 8)) {
        case 0:
        case 1:
        case 2:
            return grey;
        case 3:
            return {149, 149, 149, 254};  // near grey: alpha
        case 4:
            return {150, 149, 149, 255};  // near grey: red
        case 5:
            return white;
        default:
            return {static_cast<unsigned char>(rng.next()), static_cast<unsigned char>(rng.next()),
                    static_cast<unsigned char>(rng.next()), 255};
    }
}

bytes sample_model(generator& rng, const sample_options& options, bool allow_grey) {
    std::vector<bytes> geometries;
    const std::uint64_t geometry_count = rng.between(1, 4);
    for (std::uint64_t g = 0; g < geometry_count; ++g) {
        std::vector<bytes> materials;
        const std::uint64_t material_count = rng.between(2, 24);
        for (std::uint64_t m = 0; m < material_count; ++m) {
            rgba colour = sample_colour(rng);
            if (!allow_grey && std::memcmp(&colour, &grey, sizeof colour) == 0) {
                colour = white;
            }
            const bool textured = rng.between(0, 1) == 1;
            materials.push_back(material(colour, textured ? "tex" + std::to_string(m) : ""));
        }
        const std::size_t vertex_bytes = static_cast<std::size_t>(
            rng.between(options.vertex_kib_min, options.vertex_kib_max) << 10);
        geometries.push_back(geometry(materials, vertex_bytes, rng.next()));
    }
    // A frame name of 1 to 24 characters: most colour words end up off word alignment.
    const std::string frame_name(static_cast<std::size_t>(rng.between(1, 24)), 'f');
    return clump(geometries, frame_name);
}

}  // namespace

void put_le32(bytes& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<unsigned char>(value >> shift));
    }
}

void put_f32(bytes& out, float value) {
    std::uint32_t word;
    std::memcpy(&word, &value, sizeof word);
    put_le32(out, word);
}

void set_le32(bytes& out, std::size_t position, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.at(position + static_cast<std::size_t>(i)) =
            static_cast<unsigned char>(value >> (8 * i));
    }
}

void append(bytes& out, const bytes& more) {
    out.insert(out.end(), more.begin(), more.end());
}

bytes cat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes& part : parts) {
        append(out, part);
    }
    return out;
}

bytes chunk_header(std::uint32_t type, std::uint32_t size) {
    bytes out;
    put_le32(out, type);           // type
    put_le32(out, size);           // size: body length
    put_le32(out, library_stamp);  // library_stamp
    return out;
}

bytes chunk(std::uint32_t type, const bytes& body) {
    bytes out = chunk_header(type, static_cast<std::uint32_t>(body.size()));
    append(out, body);
    return out;
}

bytes struct_chunk(const bytes& data) {
    return chunk(chunk_type::struct_data, data);
}

bytes empty_extension() {
    return chunk(chunk_type::extension, {});
}

bytes material(rgba colour, const std::string& texture_name) {
    bytes data;
    put_le32(data, 0);                                                               // flags
    data.insert(data.end(), {colour.red, colour.green, colour.blue, colour.alpha});  // colour
    put_le32(data, 0);                                                               // unused
    put_le32(data, texture_name.empty() ? 0 : 1);                                    // is textured
    put_f32(data, 1.0f);                                                             // ambient
    put_f32(data, 1.0f);                                                             // specular
    put_f32(data, 1.0f);                                                             // diffuse
    bytes body = struct_chunk(data);
    if (!texture_name.empty()) {
        bytes filter;
        put_le32(filter, 0x1106);  // filtering and addressing flags
        bytes texture = struct_chunk(filter);
        append(texture, string_chunk(texture_name));  // texture name
        append(texture, string_chunk(""));            // mask name
        append(texture, empty_extension());
        append(body, chunk(chunk_type::texture, texture));
    }
    append(body, empty_extension());
    return chunk(chunk_type::material, body);
}

bytes material_list(const std::vector<bytes>& materials) {
    bytes data;
    put_le32(data, static_cast<std::uint32_t>(materials.size()));  // material count
    for (std::size_t i = 0; i < materials.size(); ++i) {
        put_le32(data, 0xFFFFFFFF);  // -1: a material of its own, not shared
    }
    bytes body = struct_chunk(data);
    for (const bytes& m : materials) {
        append(body, m);
    }
    return chunk(chunk_type::material_list, body);
}

bytes geometry(const std::vector<bytes>& materials, std::size_t vertex_bytes,
               std::uint64_t fill_seed) {
    bytes data;
    put_le32(data, 0x00010077);                                     // format flags
    put_le32(data, static_cast<std::uint32_t>(vertex_bytes / 64));  // triangle count
    put_le32(data, static_cast<std::uint32_t>(vertex_bytes / 32));  // vertex count
    put_le32(data, 1);                                              // morph target count
    append(data, filler(vertex_bytes, fill_seed));                  // vertex data
    bytes body = struct_chunk(data);
    append(body, material_list(materials));
    append(body, empty_extension());
    return chunk(chunk_type::geometry, body);
}

bytes clump(const std::vector<bytes>& geometries, const std::string& frame_name) {
    const auto count = static_cast<std::uint32_t>(geometries.size());
    bytes data;
    put_le32(data, count);  // atomic count
    put_le32(data, 0);      // light count
    put_le32(data, 0);      // camera count
    bytes body = struct_chunk(data);

    bytes frames;
    put_le32(frames, 1);                   // frame count
    frames.resize(frames.size() + 48, 0);  // rotation matrix and position
    put_le32(frames, 0xFFFFFFFF);          // parent: none
    put_le32(frames, 0);                   // matrix flags
    bytes frame_list = struct_chunk(frames);
    if (frame_name.empty()) {
        append(frame_list, empty_extension());
    } else {
        const bytes name(frame_name.begin(), frame_name.end());  // no terminator, no padding
        append(frame_list, chunk(chunk_type::extension, chunk(chunk_type::frame_name, name)));
    }
    append(body, chunk(chunk_type::frame_list, frame_list));

    bytes list_data;
    put_le32(list_data, count);  // geometry count
    bytes geometry_list = struct_chunk(list_data);
    for (const bytes& g : geometries) {
        append(geometry_list, g);
    }
    append(body, chunk(chunk_type::geometry_list, geometry_list));

    for (std::uint32_t i = 0; i < count; ++i) {
        bytes atomic_data;
        put_le32(atomic_data, 0);  // frame index
        put_le32(atomic_data, i);  // geometry index
        put_le32(atomic_data, 5);  // flags: collision test, render
        put_le32(atomic_data, 0);  // unused
        bytes atomic = struct_chunk(atomic_data);
        append(atomic, empty_extension());
        append(body, chunk(chunk_type::atomic, atomic));
    }
    append(body, empty_extension());
    return chunk(chunk_type::clump, body);
}

bytes filler(std::size_t size, std::uint64_t seed) {
    bytes out(size);
    generator rng{seed};
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        const std::uint64_t word = rng.next();
        std::memcpy(out.data() + i, &word, 8);
    }
    for (; i < size; ++i) {
        out[i] = static_cast<unsigned char>(rng.next());
    }
    return out;
}

std::size_t entry_record_offset(std::size_t index) {
    return header_size + record_size * index;
}

bytes archive(const std::vector<entry>& entries) {
    std::uint64_t sector_index = 0;
    bytes out = header_and_directory(entries, &sector_index);
    for (const entry& e : entries) {
        append(out, e.data);
        out.resize(static_cast<std::size_t>(sectors_for(out.size()) * sector), 0);
    }
    return out;
}

bool write_archive(std::FILE* file, const std::vector<entry>& entries) {
    std::uint64_t sector_index = 0;
    const bytes head = header_and_directory(entries, &sector_index);
    if (std::fwrite(head.data(), 1, head.size(), file) != head.size()) {
        return false;
    }
    static const unsigned char zeros[sector] = {};
    for (const entry& e : entries) {
        const std::size_t padding =
            static_cast<std::size_t>(sectors_for(e.data.size()) * sector) - e.data.size();
        if (std::fwrite(e.data.data(), 1, e.data.size(), file) != e.data.size() ||
            std::fwrite(zeros, 1, padding, file) != padding) {
            return false;
        }
    }
    return std::fflush(file) == 0;
}

std::vector<entry> sample_entries(const sample_options& options) {
    generator rng{options.seed};
    std::vector<entry> entries;
    std::uint64_t total = 0;
    auto add = [&](std::string name, bytes data) {
        total += data.size();
        entries.push_back({std::move(name), std::move(data)});
    };
    auto other_size = [&] {
        return static_cast<std::size_t>(rng.between(options.other_kib_min, options.other_kib_max)
                                        << 10);
    };
    add("nogrey.dff", sample_model(rng, options, false));
    add("BUS.DFF", sample_model(rng, options, true));
    add("loading.txd", filler(other_size(), rng.next()));
    add("bus.col", filler(other_size(), rng.next()));
    // About half the bytes in models, the rest in textures and collisions.
    std::uint64_t model_bytes = 0;
    for (unsigned index = 0; total < options.target_bytes; ++index) {
        const std::string stem = "obj" + std::to_string(index);
        if (model_bytes * 2 <= total) {
            bytes model = sample_model(rng, options, true);
            model_bytes += model.size();
            add(stem + ".dff", std::move(model));
        } else {
            const std::size_t size = other_size();
            add(stem + (rng.between(0, 1) == 0 ? ".txd" : ".col"), filler(size, rng.next()));
        }
    }
    return entries;
}

namespace {

void put_le64(bytes& out, std::uint64_t value) {
    put_le32(out, static_cast<std::uint32_t>(value));
    put_le32(out, static_cast<std::uint32_t>(value >> 32));
}

// CRC-32C, one bit at a time: slow, and unlike the tool's table.
std::uint32_t crc32c_bitwise(const bytes& data) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (unsigned char byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0x82F63B78 & (0u - (crc & 1)));
        }
    }
    return ~crc;
}

}  // namespace

bytes journal_record(const journal_entry& record) {
    bytes out{'I', 'W', '-', 'U', 'N', 'D', 'O', '\n'};
    const bool first = record.version == 1;
    const std::size_t length = (first ? 48 : 56) + record.path.size() + record.folder.size() +
                               8 * record.positions.size() + 4;
    put_le32(out, record.version);
    put_le32(out, record.length != 0 ? record.length : static_cast<std::uint32_t>(length));
    put_le64(out, record.device);
    put_le64(out, record.index);
    put_le64(out, record.file_length);
    put_le32(out, static_cast<std::uint32_t>(record.path.size()));
    put_le32(out, static_cast<std::uint32_t>(record.positions.size()));
    if (!first) {
        put_le32(out, static_cast<std::uint32_t>(record.folder.size()));
        put_le32(out, record.sectors_crc);
    }
    out.insert(out.end(), record.path.begin(), record.path.end());
    out.insert(out.end(), record.folder.begin(), record.folder.end());
    for (std::uint64_t position : record.positions) {
        put_le64(out, position);
    }
    put_le32(out, crc32c_bitwise(out));
    return out;
}

}  // namespace img_whiten::build
