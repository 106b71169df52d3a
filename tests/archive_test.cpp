// The archive records: name decoding, the model-entry rule, header fields.
#include "archive.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "archive_builder.h"

namespace {

using img_whiten::build::bytes;

TEST(is_model_entry, follows_the_last_dot_and_folds_ascii_case) {
    const struct {
        const char* name;
        bool model;
    } cases[] = {
        {"car.dff", true},  {"CAR.DFF", true},      {"car.Dff", true},  {".dff", true},
        {"car.dffx", true}, {"a.b.dff", true},      {"car.txd", false}, {"car.df", false},
        {"dff", false},     {"car.dff.txd", false}, {"", false},        {".", false},
        {"car.", false},    {"car.dff ", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(img_whiten::is_model_entry(c.name), c.model) << '"' << c.name << '"';
    }
}

// One directory record, field by field.
bytes record(std::uint32_t sector_offset, std::uint32_t sector_count, const bytes& name_field) {
    bytes out;
    img_whiten::build::put_le32(out, sector_offset);              // sector_offset
    img_whiten::build::put_le32(out, sector_count);               // sector_count
    out.insert(out.end(), name_field.begin(), name_field.end());  // name, 24 bytes
    return out;
}

bytes name_field(const std::string& text) {
    bytes out(text.begin(), text.end());
    out.resize(24, 0);
    return out;
}

TEST(decode_archive_entry, reads_every_field_little_endian) {
    const auto entry = img_whiten::decode_archive_entry(
        record(0x01020304, 0xFFFFFFFF, name_field("car.dff")).data());
    EXPECT_EQ(entry.sector_offset, 0x01020304u);
    EXPECT_EQ(entry.sector_count, 0xFFFFFFFFu);
    EXPECT_STREQ(entry.name, "car.dff");
    EXPECT_EQ(img_whiten::entry_data_offset(entry), 0x01020304ull * 2048);
    EXPECT_EQ(img_whiten::entry_data_length(entry), 0xFFFFFFFFull * 2048);  // no 32-bit wrap
}

// How names end (at a zero, or after 24 bytes) is a row of the end-to-end
// archive table, where the line printed shows it.

TEST(decode_archive_header, reads_magic_and_signed_count) {
    bytes header{'V', 'E', 'R', '2'};
    img_whiten::build::put_le32(header, 0xFFFFFFFF);
    const auto decoded = img_whiten::decode_archive_header(header.data());
    EXPECT_EQ(decoded.magic, img_whiten::archive_magic);
    EXPECT_EQ(decoded.entry_count, -1);
}

}  // namespace
