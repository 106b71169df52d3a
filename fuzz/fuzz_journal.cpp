// Fuzzes the undo journal's reader: the sound records and the damaged
// regions it gives tile the journal in order; every sound record, of either
// version, is exactly the bytes the writer would encode for it, with its
// positions strictly increasing and inside the file; memory is backed by the
// journal's bytes and the bytes read stay within a fixed multiple of its
// size; and the journal cut short gives the same records up to the cut.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "undo_journal.h"

namespace {

using bytes = std::vector<unsigned char>;

struct reading {
    img_whiten::journal_contents contents;
    std::uint64_t bytes_read = 0;
};

reading read(const std::uint8_t* data, std::size_t size) {
    reading result;
    int error = 0;
    const bool read = img_whiten::read_journal(
        [&](std::uint64_t offset, unsigned char* out, std::size_t length, int* e) {
            *e = 0;
            const std::size_t count =
                offset < size ? std::min<std::size_t>(length, size - offset) : 0;
            std::memcpy(out, data + offset, count);
            result.bytes_read += count;
            return count;
        },
        size, &result.contents, &error);
    FUZZ_CHECK(read && error == 0);
    return result;
}

std::uint64_t record_end(const img_whiten::journal_record& record) {
    const std::size_t header = record.header.version == img_whiten::journal_version_1
                                   ? img_whiten::journal_header_1_size
                                   : img_whiten::journal_header_size;
    return record.at + header + record.path_length + record.folder_length +
           record.count * img_whiten::journal_position_size + img_whiten::journal_checksum_size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const reading whole = read(data, size);
    const img_whiten::journal_contents& contents = whole.contents;
    FUZZ_CHECK(whole.bytes_read <= 64 * std::uint64_t{size} + 128 * 1024);
    FUZZ_CHECK(contents.paths.size() + contents.positions.size() * 8 <= size);

    // Records and damaged regions, one after the other, cover every byte once.
    std::uint64_t at = 0;
    std::size_t damage = 0;
    bytes encoded;
    for (const img_whiten::journal_record& record : contents.records) {
        if (damage < contents.damage.size() && contents.damage[damage].begin == at) {
            FUZZ_CHECK(contents.damage[damage].end == record.at);
            at = record.at;
            ++damage;
        }
        FUZZ_CHECK(record.at == at);
        const std::uint64_t* positions = contents.positions.data() + record.first_position;
        for (std::size_t i = 0; i < record.count; ++i) {
            FUZZ_CHECK(positions[i] + 4 <= record.header.file_length);
            FUZZ_CHECK(i == 0 || positions[i - 1] < positions[i]);
        }
        FUZZ_CHECK(record.folder_begin == record.path_begin + record.path_length);
        FUZZ_CHECK(img_whiten::encode_journal_record(
            record.header, contents.paths.substr(record.path_begin, record.path_length),
            contents.paths.substr(record.folder_begin, record.folder_length), positions,
            record.count, &encoded));
        FUZZ_CHECK(record_end(record) <= size && encoded.size() == record_end(record) - at);
        FUZZ_CHECK(std::memcmp(encoded.data(), data + at, encoded.size()) == 0);
        at = record_end(record);
    }
    if (damage < contents.damage.size()) {
        FUZZ_CHECK(contents.damage[damage].begin == at && contents.damage[damage].end == size);
        at = size;
        ++damage;
    }
    FUZZ_CHECK(at == size && damage == contents.damage.size());
    for (const img_whiten::journal_damage& region : contents.damage) {
        FUZZ_CHECK(region.begin < region.end && region.why != nullptr);
    }

    // Cut short, as by a run killed while appending: the records that end
    // before the cut, up to the first that does not, are found as they were.
    const std::size_t cut = size - size / 3;
    const reading prefix = read(data, cut);
    std::size_t kept = 0;
    while (kept < contents.records.size() && record_end(contents.records[kept]) <= cut) {
        ++kept;
    }
    const std::uint64_t next =
        kept < contents.records.size() ? contents.records[kept].at : std::uint64_t{cut};
    std::size_t found = 0;
    while (found < prefix.contents.records.size() && prefix.contents.records[found].at < next) {
        FUZZ_CHECK(found < kept && prefix.contents.records[found].at == contents.records[found].at);
        ++found;
    }
    FUZZ_CHECK(found == kept);
    return 0;
}
