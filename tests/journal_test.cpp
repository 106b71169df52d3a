// The undo journal's records: the writer's layout against the builder's,
// written field by field, and the reader on cut, damaged and hostile journals.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "undo_journal.h"

namespace {

using img_whiten::build::bytes;
using img_whiten::build::cat;
using img_whiten::build::journal_entry;
using img_whiten::build::journal_record;

struct read_back {
    std::vector<std::string> paths;
    std::vector<std::vector<std::uint64_t>> positions;
    std::vector<std::string> damage;  // "BEGIN-END why"
    std::uint64_t bytes_read = 0;
};

read_back read(const bytes& journal) {
    read_back result;
    auto source = [&](std::uint64_t offset, unsigned char* data, std::size_t length, int* error) {
        *error = 0;
        const std::size_t count =
            offset < journal.size() ? std::min<std::size_t>(length, journal.size() - offset) : 0;
        std::memcpy(data, journal.data() + offset, count);
        result.bytes_read += count;
        return count;
    };
    img_whiten::journal_contents contents;
    int error = 0;
    EXPECT_TRUE(img_whiten::read_journal(source, journal.size(), &contents, &error));
    for (const img_whiten::journal_record& record : contents.records) {
        result.paths.push_back(contents.paths.substr(record.path_begin, record.path_length));
        result.positions.emplace_back(
            contents.positions.begin() + static_cast<std::ptrdiff_t>(record.first_position),
            contents.positions.begin() +
                static_cast<std::ptrdiff_t>(record.first_position + record.count));
    }
    for (const img_whiten::journal_damage& damage : contents.damage) {
        result.damage.push_back(std::to_string(damage.begin) + "-" + std::to_string(damage.end) +
                                " " + damage.why);
    }
    return result;
}

bytes cut(bytes data, std::size_t length) {
    data.resize(length);
    return data;
}

bytes flipped(bytes data, std::size_t at) {
    data[at] ^= 0x10;
    return data;
}

TEST(crc32c, known_value_and_carried_on) {
    const unsigned char digits[] = "123456789";
    EXPECT_EQ(img_whiten::crc32c(digits, 9), 0xE3069283u);
    EXPECT_EQ(img_whiten::crc32c(digits + 4, 5, img_whiten::crc32c(digits, 4)), 0xE3069283u);
}

// The sectors' CRC does not change with what the recorded words are now,
// does with any other byte of their sectors, and is the same read in pieces.
TEST(word_sectors_crc, covers_the_words_sectors_but_not_the_words) {
    bytes file(5 * 2048, 7);
    const std::vector<std::uint64_t> words{100, 2046, 8000};  // one across two sectors
    auto crc = [&](const bytes& data) {
        return img_whiten::word_sectors_crc(data.data(), 0, data.size(), words.data(), words.size(),
                                            0);
    };
    auto with = [&](std::size_t at, std::initializer_list<unsigned char> values) {
        bytes changed = file;
        std::copy(values.begin(), values.end(), changed.begin() + static_cast<long>(at));
        return changed;
    };
    const std::uint32_t grey = crc(file);
    EXPECT_EQ(crc(with(2046, {0xFF, 0xFF, 0xFF})), grey);
    EXPECT_EQ(crc(with(8000, {0xFF, 0x95, 0xFF})), grey);
    EXPECT_EQ(crc(with(6000, {1})), grey) << "a sector without a word";
    EXPECT_NE(crc(with(2049, {1})), grey);
    EXPECT_NE(crc(with(103, {1})), grey) << "the alpha byte";
    EXPECT_NE(crc(with(7000, {1})), grey);
    const std::uint32_t first =
        img_whiten::word_sectors_crc(file.data(), 0, 4096, words.data(), 2, 0);
    EXPECT_EQ(
        img_whiten::word_sectors_crc(file.data() + 6144, 6144, 4096, words.data() + 2, 1, first),
        grey);
}

TEST(encode_journal_record, lays_out_the_fields_as_documented) {
    for (const std::uint32_t version : {2u, 1u}) {
        SCOPED_TRACE(version);
        const journal_entry entry{"mods/\xD0\x9C\xD0\xBE\xD0\xB4.dff",
                                  0x0102030405060708,
                                  0x1112131415161718,
                                  5000,
                                  {28, 0x1'0000'0000, 4996},
                                  version,
                                  0,
                                  version == 2 ? "/home/\xD0\x9C" : "",
                                  version == 2 ? 0x21222324u : 0u};
        std::vector<unsigned char> record;
        const img_whiten::journal_header header{
            version, {entry.device, entry.index}, entry.file_length, entry.sectors_crc};
        ASSERT_TRUE(img_whiten::encode_journal_record(header, entry.path, entry.folder,
                                                      entry.positions.data(),
                                                      entry.positions.size(), &record));
        EXPECT_TRUE(record == journal_record(entry));
    }
    const std::uint64_t one = 28;
    std::vector<unsigned char> record;
    const img_whiten::journal_header header{2, {}, 100, 0};
    EXPECT_FALSE(img_whiten::encode_journal_record(header, "", "", &one, 1, &record));
    EXPECT_FALSE(img_whiten::encode_journal_record(header, "a", "", &one, 0, &record));
    EXPECT_FALSE(img_whiten::encode_journal_record(
        header, std::string(img_whiten::journal_path_limit + 1, 'a'), "", &one, 1, &record));
    EXPECT_FALSE(img_whiten::encode_journal_record(
        header, "a", std::string(img_whiten::journal_path_limit + 1, 'a'), &one, 1, &record));
}

TEST(read_journal, takes_every_sound_record_and_reports_each_damaged_region_once) {
    const journal_entry a{"a.img", 1, 2, 4096, {100, 200}};
    const journal_entry b{"b.dff", 1, 3, 300, {28, 296}, 2, 0, "/game", 0x5EC7};
    const bytes first = journal_record(a), second = journal_record(b);
    const std::size_t one = first.size(), two = first.size() + second.size();
    const std::string ends = " the journal ends inside a record";
    const std::string none = " no record begins there";
    const std::string bad = " a malformed record";
    auto with = [](journal_entry entry, auto change) {
        change(entry);
        return journal_record(entry);
    };
    const bytes garbage{'x', 'I', 'W', '-', 'U', 'N', 'D', 'O', '\n', 0, 0};  // a magic, no record
    const struct {
        const char* situation;
        bytes journal;
        std::vector<std::string> paths;
        std::vector<std::string> damage;
    } cases[] = {
        {"empty", {}, {}, {}},
        {"two records", cat({first, second}), {"a.img", "b.dff"}, {}},
        {"cut in the magic",
         cut(cat({first, second}), one + 5),
         {"a.img"},
         {std::to_string(one) + "-" + std::to_string(one + 5) + ends}},
        {"cut in the header",
         cut(cat({first, second}), one + 55),
         {"a.img"},
         {std::to_string(one) + "-" + std::to_string(one + 55) + ends}},
        {"cut in the path",
         cut(cat({first, second}), one + 58),
         {"a.img"},
         {std::to_string(one) + "-" + std::to_string(one + 58) + ends}},
        {"cut in the folder",
         cut(cat({first, second}), one + 63),
         {"a.img"},
         {std::to_string(one) + "-" + std::to_string(one + 63) + ends}},
        {"a version-1 record, as 1.3.0 wrote it, then one of version 2",
         cat({with(a, [](journal_entry& e) { e.version = 1; }), second}),
         {"a.img", "b.dff"},
         {}},
        {"a version-1 record cut in its header",
         cut(with(a, [](journal_entry& e) { e.version = 1; }), 47),
         {},
         {"0-47" + ends}},
        {"cut in a position",
         cut(cat({first, second}), two - 9),
         {"a.img"},
         {std::to_string(one) + "-" + std::to_string(two - 9) + ends}},
        {"cut in the checksum",
         cut(cat({first, second}), two - 1),
         {"a.img"},
         {std::to_string(one) + "-" + std::to_string(two - 1) + ends}},
        // A run killed while appending, and a later run appending after it.
        {"a cut record, then a whole one",
         cat({cut(first, one - 20), second, first}),
         {"b.dff", "a.img"},
         {"0-" + std::to_string(one - 20) +
          " a record cut short, the next one beginning inside it"}},
        {"checksum",
         cat({flipped(first, one - 2), second}),
         {"b.dff"},
         {"0-" + std::to_string(one) + " a record whose checksum does not match"}},
        {"flipped position",
         cat({first, flipped(second, second.size() - 10)}),
         {"a.img"},
         {std::to_string(one) + "-" + std::to_string(two) + bad}},
        {"garbage around",
         cat({garbage, first, garbage, second, garbage}),
         {"a.img", "b.dff"},
         {"0-11" + none, std::to_string(11 + one) + "-" + std::to_string(22 + one) + none,
          std::to_string(22 + two) + "-" + std::to_string(33 + two) + none}},
        {"a magic in garbage, then a part of one",
         cat({first, garbage, bytes{'I', 'W', '-'}}),
         {"a.img"},
         {std::to_string(one) + "-" + std::to_string(one + 14) + none}},
        {"another version",
         cat({with(a, [](journal_entry& e) { e.version = 3; }), second}),
         {"b.dff"},
         {"0-" + std::to_string(one) + " a record of another version"}},
        {"length that lies",
         cat({with(a, [](journal_entry& e) { e.length = 100; }), second}),
         {"b.dff"},
         {"0-" + std::to_string(one) + bad}},
        {"no position",
         cat({with(a, [](journal_entry& e) { e.positions.clear(); }), second}),
         {"b.dff"},
         {"0-" + std::to_string(one - 16) + bad}},
        {"no path",
         cat({with(a, [](journal_entry& e) { e.path.clear(); }), second}),
         {"b.dff"},
         {"0-" + std::to_string(one - 5) + bad}},
        {"NUL in the path",
         cat({with(a, [](journal_entry& e) { e.path[1] = '\0'; }), second}),
         {"b.dff"},
         {"0-" + std::to_string(one) + bad}},
        {"NUL in the folder",
         cat({first, with(b, [](journal_entry& e) { e.folder[2] = '\0'; })}),
         {"a.img"},
         {std::to_string(one) + "-" + std::to_string(two) + bad}},
        {"positions not increasing",
         cat({with(a,
                   [](journal_entry& e) {
                       e.positions = {200, 200};
                   }),
              second}),
         {"b.dff"},
         {"0-" + std::to_string(one) + bad}},
        {"a word past the file's end",
         cat({with(a,
                   [](journal_entry& e) {
                       e.positions = {100, 4093};
                   }),
              second}),
         {"b.dff"},
         {"0-" + std::to_string(one) + bad}},
        {"a file too short for a word",
         cat({with(a, [](journal_entry& e) { e.file_length = 3; }), second}),
         {"b.dff"},
         {"0-" + std::to_string(one) + bad}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.situation);
        const read_back got = read(c.journal);
        EXPECT_EQ(got.paths, c.paths);
        EXPECT_EQ(got.damage, c.damage);
    }
    EXPECT_EQ(read(cat({first, second})).positions,
              (std::vector<std::vector<std::uint64_t>>{{100, 200}, {28, 296}}));
}

TEST(read_journal, hostile_numbers_cost_nothing_beyond_the_bytes_present) {
    // Counts and lengths as large as their fields hold, in a journal of a few bytes.
    bytes huge = journal_record({"a.img", 1, 2, UINT64_MAX, {28}});
    img_whiten::build::set_le32(huge, 12, 0xFFFFFFFF);  // record_length
    img_whiten::build::set_le32(huge, 44, 0xFFFFFFFF);  // count
    bytes claims = journal_record({"a.img", 1, 2, UINT64_MAX, {28}});
    img_whiten::build::set_le32(claims, 12, 56 + 5 + 8 * 0x1000000 + 4);  // 128 MiB: over the limit
    img_whiten::build::set_le32(claims, 44, 0x1000000);
    bytes within = journal_record({"a.img", 1, 2, UINT64_MAX, {28}});
    img_whiten::build::set_le32(within, 12, 56 + 5 + 8 * 0x100000 + 4);  // 8 MiB, not present
    img_whiten::build::set_le32(within, 44, 0x100000);
    // Headers one after another, each claiming the rest: found again and again, read once.
    bytes many;
    for (int i = 0; i < 2000; ++i) {
        img_whiten::build::append(many, cut(within, 60));
    }
    for (const bytes& journal : {huge, claims, within, many}) {
        const read_back got = read(journal);
        EXPECT_TRUE(got.paths.empty());
        EXPECT_EQ(got.damage.size(), 1u);
        EXPECT_LE(got.bytes_read, 64 * journal.size() + 128 * 1024);
    }
    // A failing source is said so, with its reason.
    img_whiten::journal_contents contents;
    int error = 0;
    EXPECT_FALSE(img_whiten::read_journal(
        [](std::uint64_t, unsigned char*, std::size_t, int* e) {
            *e = EIO;
            return std::size_t{0};
        },
        100, &contents, &error));
    EXPECT_EQ(error, EIO);
}

}  // namespace
