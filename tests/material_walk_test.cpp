// The material colour walk: which materials it reaches, which colours it
// changes, and that it stays inside the buffer on any sizes.
#include "material_walk.h"

#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include "archive.h"
#include "archive_builder.h"
#include "invariants.h"

namespace {

using namespace img_whiten::build;
using img_whiten::invariants::grey_words_between;

bytes zeros(std::size_t count) {
    return bytes(count, 0);
}

bytes prefix(bytes data, std::size_t length) {
    data.resize(length);
    return data;
}

bytes one_geometry_clump(rgba colour) {
    return clump({geometry({material(colour)}, 0)});
}

struct walk_case {
    std::string name;
    bytes input;
    std::vector<std::size_t> whitened;  // offsets of the colour words the walk must replace
};

// The smallest grey Material: header, Struct header, flags, colour.
bytes bare_grey_material() {
    bytes out = chunk_header(chunk_type::material, 28);
    append(out, chunk_header(chunk_type::struct_data, 16));
    put_le32(out, 0);                                 // flags
    out.insert(out.end(), {0x95, 0x95, 0x95, 0xFF});  // colour
    out.resize(out.size() + 12, 0);                   // rest of the struct
    return out;
}

// Model entries of a small sample archive, padded with zeros to whole sectors as stored.
std::vector<bytes> sample_models() {
    sample_options options;
    options.target_bytes = 64u << 10;
    options.vertex_kib_min = 1;
    options.vertex_kib_max = 6;
    options.other_kib_min = options.other_kib_max = 4;
    std::vector<bytes> models;
    for (entry& e : sample_entries(options)) {
        if (img_whiten::is_model_entry(e.name.c_str())) {
            e.data.resize((e.data.size() + 2047) / 2048 * 2048, 0);
            models.push_back(std::move(e.data));
        }
    }
    return models;
}

std::vector<walk_case> reach_cases() {
    const bytes clump_two =
        clump({geometry({material(grey)}, 0), geometry({material(grey, "t")}, 0)});
    const bytes world = chunk(chunk_type::world, one_geometry_clump(grey));
    const bytes unknown = chunk(27, one_geometry_clump(grey));
    const bytes extension = chunk(chunk_type::extension, material(grey));
    const bytes material_in_material =
        chunk(chunk_type::material, cat({struct_chunk(zeros(28)), material(grey)}));
    std::vector<walk_case> cases = {
        {"bare material then zeros", cat({bare_grey_material(), zeros(24)}), {28}},
        {"clump with two geometries", clump_two,
         grey_words_between(clump_two, 0, clump_two.size())},
        {"world is skipped whole", cat({world, material(grey)}), {world.size() + 28}},
        {"type above 26 is skipped whole", cat({unknown, material(grey)}), {unknown.size() + 28}},
        {"extension is skipped whole", extension, {}},
        {"material children are not visited", material_in_material, {}},
        {"zero type ends the walk", cat({material(grey), zeros(12), material(grey)}), {28}},
        // Flat walk: after a container's children it goes on with whatever follows.
        {"material after a clump",
         cat({one_geometry_clump(white), material(grey)}),
         {one_geometry_clump(white).size() + 28}},
        // The colour word is found by position alone, even past a short Material's body.
        {"material of size 0 is still tested",
         cat({chunk_header(chunk_type::material, 0), chunk_header(chunk_type::struct_data, 16),
              zeros(4), bytes{0x95, 0x95, 0x95, 0xFF}, zeros(8)}),
         {28}},
    };
    int index = 0;
    for (const bytes& model : sample_models()) {
        cases.push_back({"sample model " + std::to_string(++index), model,
                         grey_words_between(model, 0, model.size())});
    }
    return cases;
}

std::vector<walk_case> colour_cases() {
    return {
        {"alpha 254", material({149, 149, 149, 254}), {}},
        {"alpha 149: grey in all four bytes", material({149, 149, 149, 149}), {}},
        {"alpha 0", material({149, 149, 149, 0}), {}},
        {"red 150", material({150, 149, 149, 255}), {}},
        {"blue 148", material({149, 149, 148, 255}), {}},
        {"green 255", material({149, 255, 149, 255}), {}},
        {"already white", material(white), {}},
        {"grey", material(grey), {28}},
    };
}

std::vector<walk_case> bounds_cases() {
    return {
        {"empty", {}, {}},
        {"eleven bytes", bytes{7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}},
        {"all zero", zeros(4096), {}},
        {"colour word past the end", prefix(bare_grey_material(), 31), {}},
        {"colour word ends at the end", prefix(bare_grey_material(), 32), {28}},
        // 12 + size wraps a 32-bit cursor to where it was; the walk must end instead.
        {"size 0xFFFFFFF4",
         cat({chunk_header(chunk_type::struct_data, 0xFFFFFFF4), material(grey)}),
         {}},
        {"size 0xFFFFFFFF",
         cat({chunk_header(chunk_type::struct_data, 0xFFFFFFFF), material(grey)}),
         {}},
        {"material size past the end",
         cat({chunk_header(chunk_type::material, 0xFFFFFFF0), zeros(16),
              bytes{0x95, 0x95, 0x95, 0xFF}}),
         {28}},
        {"size reaching exactly the end",
         cat({chunk_header(chunk_type::struct_data,
                           static_cast<std::uint32_t>(material(grey).size())),
              material(grey)}),
         {}},
    };
}

void PrintTo(const walk_case& c, std::ostream* out) {
    *out << c.name;
}

class walk_test : public testing::TestWithParam<walk_case> {};

TEST_P(walk_test, replaces_exactly_the_expected_words_and_is_idempotent) {
    const walk_case& c = GetParam();
    bytes expected = c.input;
    for (std::size_t offset : c.whitened) {
        set_le32(expected, offset, img_whiten::white_colour);
    }
    bytes data = c.input;
    EXPECT_EQ(img_whiten::whiten_grey_materials(data.data(), data.size()),
              static_cast<std::int64_t>(c.whitened.size()));
    EXPECT_EQ(data, expected);
    EXPECT_EQ(img_whiten::whiten_grey_materials(data.data(), data.size()), 0);
    EXPECT_EQ(data, expected);
}

// The run writes back only what the map marks: a changed byte left unmarked
// would be lost, and a marked block that did not change would be written for
// nothing (regression: a word whose alpha alone lay in the next sector had
// that sector written), so the map must cover exactly the red, green and blue
// of each replaced word.
TEST_P(walk_test, change_map_marks_exactly_the_changed_bytes) {
    const walk_case& c = GetParam();
    bytes data = c.input;
    // One guard word past the map's end catches a mark beyond the buffer.
    std::vector<std::uint64_t> bits(img_whiten::change_map_words(data.size()) + 1, 0);
    img_whiten::change_map changes{bits.data()};
    img_whiten::whiten_grey_materials(data.data(), data.size(), &changes);
    std::vector<std::uint64_t> expected(bits.size(), 0);
    for (std::size_t offset : c.whitened) {
        for (std::size_t byte = offset; byte < offset + 3; ++byte) {
            expected[byte / 64] |= std::uint64_t{1} << (byte % 64);
        }
    }
    EXPECT_EQ(bits, expected);
}

// Windows of every kind the program may use, down to the least that lets the
// walk progress, must give exactly the bytes, count and marks of the whole walk.
TEST_P(walk_test, walk_over_windows_equals_the_whole_walk) {
    using namespace img_whiten::invariants;
    const walk_case& c = GetParam();
    // Cursor windows of every size from the least to past two Materials.
    std::vector<std::size_t> cursor_sizes = {2080};
    for (std::size_t size = img_whiten::walk_step_reach; size <= 96; ++size) {
        cursor_sizes.push_back(size);
    }
    const std::vector<std::size_t> sector_sizes = {2080, 2083, 2111, 3001, 8192, 1u << 20};
    unsigned boundaries = 0;
    bytes whole = c.input;
    std::vector<std::uint64_t> whole_bits(img_whiten::change_map_words(whole.size()), 0);
    img_whiten::change_map whole_changes{whole_bits.data()};
    const std::int64_t whole_count =
        img_whiten::whiten_grey_materials(whole.data(), whole.size(), &whole_changes);
    for (const bool at_sector : {false, true}) {
        for (const std::size_t size : at_sector ? sector_sizes : cursor_sizes) {
            SCOPED_TRACE((at_sector ? "sector windows of " : "cursor windows of ") +
                         std::to_string(size));
            bytes data = c.input;
            std::vector<std::uint64_t> bits(whole_bits.size(), 0);
            const window_walk walk = walk_in_windows(data, size, at_sector, bits);
            EXPECT_FALSE(walk.stalled);
            EXPECT_EQ(walk.count, whole_count);
            EXPECT_EQ(data, whole);
            EXPECT_EQ(bits, whole_bits);
            boundaries |= walk.boundaries;
        }
    }
    // On a model of a few sectors the windows end at every kind of place.
    if (c.input.size() >= 4 * 2048) {
        EXPECT_EQ(boundaries, past_a_skipped_body | at_a_header | in_a_header | in_a_colour_word);
    }
}

template <typename Case>
std::string case_name(const testing::TestParamInfo<Case>& info) {
    std::string name = info.param.name;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            c = '_';
        }
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(reach, walk_test, testing::ValuesIn(reach_cases()), case_name<walk_case>);
INSTANTIATE_TEST_SUITE_P(colour, walk_test, testing::ValuesIn(colour_cases()),
                         case_name<walk_case>);
INSTANTIATE_TEST_SUITE_P(bounds, walk_test, testing::ValuesIn(bounds_cases()),
                         case_name<walk_case>);

// --- Listing: where each grey Material sits, and its texture ---

// A grey Material listed: its geometry and index in its list (`none` where
// there is none) and its texture's name (null: no texture).
struct listed {
    std::uint64_t geometry, material;
    std::optional<std::string> texture;
};
constexpr std::uint64_t none = img_whiten::grey_material::none;

struct listing_case {
    std::string name;
    bytes input;
    std::vector<listed> expected;
};

// A chunk's body: all but its header.
bytes body_of(bytes chunk) {
    chunk.erase(chunk.begin(), chunk.begin() + 12);
    return chunk;
}

// A grey Material whose Struct is followed by `children`.
bytes grey_material_with(const std::vector<bytes>& children) {
    bytes body = body_of(prefix(material(grey), 12 + 40));  // its Struct
    for (const bytes& child : children) {
        append(body, child);
    }
    return chunk(chunk_type::material, body);
}

// A Texture whose first String child holds `name` as it is (no zero added).
bytes texture(const std::string& name) {
    return chunk(
        chunk_type::texture,
        cat({struct_chunk(zeros(4)), chunk(chunk_type::string, bytes(name.begin(), name.end())),
             chunk(chunk_type::string, zeros(4))}));
}

std::vector<listing_case> listing_cases() {
    const bytes two_geometries =
        clump({geometry({material(grey), material(white), material(grey, "wheel")}, 64),
               geometry({material(grey, "body")}, 0)});
    const bytes lying_string = chunk(
        chunk_type::texture,
        cat({struct_chunk(zeros(4)), chunk_header(chunk_type::string, 64), bytes{'a', 'b', 0, 0}}));
    // Materials enough that windows end inside them and between them.
    std::vector<bytes> many;
    std::vector<listed> many_listed;
    for (std::uint64_t i = 0; i < 400; ++i) {
        many.push_back(material(i % 3 == 0 ? white : grey, "t" + std::to_string(i)));
        if (i % 3 != 0) {
            many_listed.push_back({1, i, "t" + std::to_string(i)});
        }
    }
    return {
        {"a material list longer than a window", clump({geometry({}, 0), geometry(many, 3000)}),
         many_listed},
        {"two geometries, materials counted whatever their colour",
         two_geometries,
         {{0, 0, std::nullopt}, {0, 2, "wheel"}, {1, 0, "body"}}},
        {"a material outside any geometry or list", material(grey, "t"), {{none, none, "t"}}},
        {"a material list outside any geometry",
         material_list({material(white), material(grey, "x")}),
         {{none, 1, "x"}}},
        {"a material after its geometry ends",
         cat({clump({geometry({material(grey)}, 0)}), material(grey)}),
         {{0, 0, std::nullopt}, {none, none, std::nullopt}}},
        {"the name ends at its first zero byte",
         grey_material_with({texture(std::string("rim\0old", 7))}),
         {{none, none, "rim"}}},
        {"a name filling its string without a zero",
         grey_material_with({texture("abcd")}),
         {{none, none, "abcd"}}},
        {"an empty name", grey_material_with({texture("")}), {{none, none, ""}}},
        {"the first texture child counts, after any other child",
         grey_material_with({empty_extension(), texture("first"), texture("second")}),
         {{none, none, "first"}}},
        {"a texture without a string",
         grey_material_with({chunk(chunk_type::texture, {})}),
         {{none, none, std::nullopt}}},
        // Hostile sizes: a child that does not fit its parent ends the search.
        {"a string longer than its texture",
         grey_material_with({lying_string}),
         {{none, none, std::nullopt}}},
        {"a texture longer than its material",
         grey_material_with({chunk_header(chunk_type::texture, 0xFFFFFFF0), texture("t")}),
         {{none, none, std::nullopt}}},
        {"a material of size 0 has no children",
         cat({chunk_header(chunk_type::material, 0), body_of(material(grey, "t"))}),
         {{none, none, std::nullopt}}},
        {"a material past the model's end is read as far as the model goes",
         [] {
             bytes m = grey_material_with({texture("cut")});
             set_le32(m, 4, 0xFFFFFFF0);
             return m;
         }(),
         {{none, none, "cut"}}},
        // Regression: a Texture longer than the search limit (its extension) lost its name.
        {"a texture running past the search limit, its name within it",
         grey_material_with(
             {chunk(chunk_type::texture,
                    cat({struct_chunk(zeros(4)), chunk(chunk_type::string, {'r', 'i', 'm', 0}),
                         chunk(chunk_type::string, zeros(4)),
                         chunk(chunk_type::extension, zeros(img_whiten::texture_search_limit))}))}),
         {{none, none, "rim"}}},
        {"a name running past the search limit",
         grey_material_with({texture(std::string(img_whiten::texture_search_limit, 'n'))}),
         {{none, none, std::nullopt}}},
        {"a texture past the search limit is not looked for",
         grey_material_with(
             {struct_chunk(zeros(img_whiten::texture_search_limit)), texture("far")}),
         {{none, none, std::nullopt}}},
        {"a geometry whose size passes the model's end",
         [] {
             bytes g = geometry({material(grey, "g")}, 0);
             set_le32(g, 4, 0xFFFFFFFF);
             return g;
         }(),
         {{0, 0, "g"}}},
    };
}

void PrintTo(const listing_case& c, std::ostream* out) {
    *out << c.name;
}

class listing_test : public testing::TestWithParam<listing_case> {};

// A listing tells where each grey Material sits, changes nothing a walk
// without it would not, and gives the same through windows of any size that
// lets a listing progress.
TEST_P(listing_test, tells_each_grey_material_and_walks_as_without_it) {
    const listing_case& c = GetParam();
    bytes plain = c.input;
    const std::int64_t plain_count = img_whiten::whiten_grey_materials(plain.data(), plain.size());
    bytes data = c.input;
    img_whiten::material_listing listing;
    EXPECT_EQ(img_whiten::whiten_grey_materials(data.data(), data.size(), nullptr, &listing),
              plain_count);
    EXPECT_EQ(data, plain);
    ASSERT_EQ(listing.found.size(), c.expected.size());
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
        SCOPED_TRACE("grey material " + std::to_string(i));
        const img_whiten::grey_material& found = listing.found[i];
        EXPECT_EQ(found.geometry, c.expected[i].geometry);
        EXPECT_EQ(found.material, c.expected[i].material);
        EXPECT_EQ(found.textured, c.expected[i].texture.has_value());
        EXPECT_EQ(found.texture, c.expected[i].texture.value_or(""));
    }
    for (const std::size_t size :
         {img_whiten::listing_step_reach, img_whiten::listing_step_reach + 2047}) {
        for (const bool at_sector : {false, true}) {
            if (at_sector && size < img_whiten::listing_step_reach + 2047) {
                continue;  // a sector window must hold a step from its sector's start
            }
            SCOPED_TRACE("windows of " + std::to_string(size));
            bytes windowed = c.input;
            std::vector<std::uint64_t> bits(img_whiten::change_map_words(windowed.size()), 0);
            img_whiten::material_listing in_windows;
            const img_whiten::invariants::window_walk walk =
                img_whiten::invariants::walk_in_windows(windowed, size, at_sector, bits,
                                                        &in_windows);
            EXPECT_FALSE(walk.stalled);
            EXPECT_EQ(walk.count, plain_count);
            EXPECT_EQ(windowed, plain);
            EXPECT_TRUE(img_whiten::invariants::same_listing(in_windows, listing));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(listing, listing_test, testing::ValuesIn(listing_cases()),
                         case_name<listing_case>);

TEST(walk, never_touches_bytes_outside_the_buffer) {
    // A grey Material whose colour word lies just past the walked length.
    bytes data = cat({bare_grey_material(), zeros(8)});
    const bytes before = data;
    EXPECT_EQ(img_whiten::whiten_grey_materials(data.data(), 31), 0);
    EXPECT_EQ(data, before);
}

// A cursor or window the walk cannot have made is left as it is or ends the
// walk, and no window byte changes: each window holds grey Materials.
TEST(walk, window_walk_stops_safely_on_cursors_outside_the_window) {
    struct hostile {
        const char* name;
        std::uint64_t window_offset, model_length, position;
        bool ended;
    };
    constexpr std::uint64_t top = ~std::uint64_t{0};
    const hostile rows[] = {
        {"cursor before the window", 64, 1000, 10, false},
        {"cursor a byte past the window", 0, 1000, 81, false},
        {"window past the model", 2000, 1000, 2010, true},
        {"cursor at the model's end", 0, 50, 50, true},
        {"cursor past the model's end", 0, 50, 60, true},
        {"colour word past the model's end", 0, 31, 0, true},
        {"window reaching past 2^64", top - 40, top, top - 5, true},
    };
    const bytes window = cat({bare_grey_material(), bare_grey_material()});
    for (const hostile& row : rows) {
        SCOPED_TRACE(row.name);
        bytes data = window;
        img_whiten::walk_cursor cursor;
        cursor.position = row.position;
        EXPECT_EQ(img_whiten::whiten_grey_materials_in_window(
                      data.data(), row.window_offset, data.size(), row.model_length, &cursor),
                  0);
        EXPECT_EQ(data, window);
        EXPECT_EQ(cursor.ended, row.ended);
        EXPECT_EQ(cursor.position, row.position);
    }
}

}  // namespace
