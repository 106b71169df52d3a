#include "undo_journal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive.h"
#include "byte_order.h"
#include "material_walk.h"

namespace img_whiten {

namespace {

// CRC-32C's polynomial, bit-reversed.
constexpr std::uint32_t castagnoli = 0x82F63B78;

// The CRC of each byte value, and of it followed by 1 to 7 zero bytes: the
// CRC then takes eight bytes a step ("slicing by 8").
struct crc_tables {
    std::uint32_t entries[8][256];
};

constexpr crc_tables make_crc_tables() {
    crc_tables tables{};
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        std::uint32_t crc = byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? crc >> 1 ^ castagnoli : crc >> 1;
        }
        tables.entries[0][byte] = crc;
    }
    for (std::size_t slice = 1; slice < 8; ++slice) {
        for (std::size_t byte = 0; byte < 256; ++byte) {
            const std::uint32_t before = tables.entries[slice - 1][byte];
            tables.entries[slice][byte] = before >> 8 ^ tables.entries[0][before & 0xFF];
        }
    }
    return tables;
}

constexpr crc_tables crc32c_tables = make_crc_tables();

// Flushed to disk at most this often while a run appends.
constexpr std::chrono::seconds flush_interval{1};

// The journal is read this much at a time.
constexpr std::size_t piece_size = 64 * 1024;
static_assert(piece_size % journal_position_size == 0 && piece_size >= journal_header_size,
              "a piece holds a header, and whole positions");

const char* const not_a_record = "no record begins there";
const char* const cut_short = "the journal ends inside a record";
const char* const cut_inside = "a record cut short, the next one beginning inside it";
const char* const other_version = "a record of another version";
const char* const malformed = "a malformed record";
const char* const bad_checksum = "a record whose checksum does not match";

}  // namespace

std::uint32_t crc32c(const unsigned char* data, std::size_t length, std::uint32_t crc) {
    const auto& t = crc32c_tables.entries;
    crc = ~crc;
    for (; length >= 8; data += 8, length -= 8) {
        const std::uint32_t low = load_le32(data) ^ crc;
        const std::uint32_t high = load_le32(data + 4);
        crc = t[7][low & 0xFF] ^ t[6][low >> 8 & 0xFF] ^ t[5][low >> 16 & 0xFF] ^ t[4][low >> 24] ^
              t[3][high & 0xFF] ^ t[2][high >> 8 & 0xFF] ^ t[1][high >> 16 & 0xFF] ^
              t[0][high >> 24];
    }
    for (; length > 0; ++data, --length) {
        crc = t[0][(crc ^ *data) & 0xFF] ^ crc >> 8;
    }
    return ~crc;
}

std::uint32_t word_sectors_crc(const unsigned char* data, std::uint64_t at, std::size_t length,
                               const std::uint64_t* positions, std::size_t count,
                               std::uint32_t crc) {
    const std::uint64_t end = at + length;
    std::uint64_t next = at >> sector_shift;  // the first sector not folded in yet
    unsigned char sector[sector_size];
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t word = positions[i];
        if (word + colour_changed_bytes <= at) {
            continue;  // folded in by the call for the bytes before
        }
        for (std::uint64_t s = std::max(next, word >> sector_shift);
             s <= (word + colour_changed_bytes - 1) >> sector_shift; ++s) {
            const std::uint64_t from = s << sector_shift;
            if (from >= end) {
                return crc;
            }
            const auto size = static_cast<std::size_t>(std::min(end - from, sector_size));
            std::memcpy(sector, data + (from - at), size);
            // Every recorded word with a byte in this sector.
            const std::uint64_t* first =
                std::lower_bound(positions, positions + count,
                                 from - std::min<std::uint64_t>(from, colour_changed_bytes - 1));
            for (std::size_t j = static_cast<std::size_t>(first - positions);
                 j < count && positions[j] < from + size; ++j) {
                for (std::uint64_t byte = positions[j]; byte < positions[j] + colour_changed_bytes;
                     ++byte) {
                    if (byte >= from && byte < from + size) {
                        sector[byte - from] = grey_byte;
                    }
                }
            }
            crc = crc32c(sector, size, crc);
            next = s + 1;
        }
    }
    return crc;
}

bool encode_journal_record(const journal_header& header, const std::string& path,
                           const std::string& folder, const std::uint64_t* positions,
                           std::size_t count, std::vector<unsigned char>* record) {
    const bool first_version = header.version == journal_version_1;
    const std::size_t header_size = first_version ? journal_header_1_size : journal_header_size;
    if (path.empty() || path.size() > journal_path_limit || folder.size() > journal_path_limit ||
        (first_version && !folder.empty()) || count == 0 ||
        count > (journal_record_limit - journal_header_size - 2 * journal_path_limit -
                 journal_checksum_size) /
                    journal_position_size) {
        return false;
    }
    const std::size_t length = header_size + path.size() + folder.size() +
                               count * journal_position_size + journal_checksum_size;
    record->resize(length);
    unsigned char* out = record->data();
    std::memcpy(out, journal_magic, journal_magic_size);
    store_le32(out + journal_version_offset, first_version ? journal_version_1 : journal_version);
    store_le32(out + journal_length_offset, static_cast<std::uint32_t>(length));
    store_le64(out + journal_device_offset, header.identity.device);
    store_le64(out + journal_index_offset, header.identity.index);
    store_le64(out + journal_file_length_offset, header.file_length);
    store_le32(out + journal_path_length_offset, static_cast<std::uint32_t>(path.size()));
    store_le32(out + journal_count_offset, static_cast<std::uint32_t>(count));
    if (!first_version) {
        store_le32(out + journal_folder_length_offset, static_cast<std::uint32_t>(folder.size()));
        store_le32(out + journal_sectors_crc_offset, header.sectors_crc);
    }
    unsigned char* at = out + header_size;
    std::memcpy(at, path.data(), path.size());
    at += path.size();
    if (!folder.empty()) {
        std::memcpy(at, folder.data(), folder.size());
        at += folder.size();
    }
    for (std::size_t i = 0; i < count; ++i, at += journal_position_size) {
        store_le64(at, positions[i]);
    }
    store_le32(at, crc32c(out, length - journal_checksum_size));
    return true;
}

undo_journal::undo_journal() {
    if (!current_folder(&folder_)) {
        folder_.clear();  // relative paths are then taken from the folder undo runs in
    }
}

undo_journal::~undo_journal() {
    if (file_.fd >= 0) {
        close_file(file_);
    }
}

bool begins_as_journal(const unsigned char* start, std::size_t length) {
    return std::memcmp(start, journal_magic, std::min(length, journal_magic_size)) == 0;
}

journal_open undo_journal::open(const char* path) {
    switch (open_journal_file(path, &file_, &created_)) {
        case open_status::opened:
            break;
        case open_status::in_use:
            return journal_open::in_use;
        case open_status::not_regular:
            return journal_open::not_regular;
        default:
            return journal_open::failed;
    }
    // Looked at under the lock, so that no other run can make it a journal or not meanwhile.
    unsigned char start[journal_magic_size] = {};
    std::uint64_t size = 0;
    int error = 0;
    std::size_t got = 0;
    if (!current_size(file_, &size)) {
        error = errno;
    } else {
        got = read_at(file_, 0, start,
                      static_cast<std::size_t>(std::min<std::uint64_t>(size, journal_magic_size)),
                      &error);
    }
    if (error != 0 || !begins_as_journal(start, got)) {
        if (created_) {
            remove_created_file(path, file_);
        } else {
            close_file(file_);
        }
        errno = error;
        return error != 0 ? journal_open::failed : journal_open::not_a_journal;
    }
    path_ = path;
    end_ = size;
    flushed_ = std::chrono::steady_clock::now();
    return journal_open::opened;
}

void undo_journal::discard() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_.fd < 0) {
        return;
    }
    if (created_) {
        remove_created_file(path_.c_str(), file_);
    } else {
        close_file(file_);
    }
}

bool undo_journal::append(const std::vector<unsigned char>& record, int* error) {
    // Held across the write: a record goes where the last one ended, which is
    // known only once that one is written (a failed write that cannot be
    // cut back moves the end by what it wrote), and no record may begin
    // inside another. Records are a few KiB, one per window written: jobs
    // seldom wait here.
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t put = write_at(file_, end_, record.data(), record.size(), error);
    if (put != record.size()) {
        // A record cut short describes writes that never began: taken off
        // again, so that the journal still ends on a whole record.
        if (put != 0 && !cut_file(file_, end_)) {
            end_ += put;
        }
        return false;
    }
    end_ += put;
    const auto now = std::chrono::steady_clock::now();
    if (now - flushed_ >= flush_interval) {
        if (!flush_to_disk(file_)) {
            *error = errno;
            return false;
        }
        flushed_ = now;
    }
    return true;
}

bool undo_journal::close(int* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    *error = 0;
    if (file_.fd < 0) {
        return true;
    }
    if (!flush_to_disk(file_)) {
        *error = errno;
    }
    if (!close_file(file_) && *error == 0) {
        *error = errno;
    }
    return *error == 0;
}

namespace {

// A journal's bytes, seen through one buffer of a piece.
class journal_bytes {
public:
    journal_bytes(const journal_source& source, std::uint64_t size)
        : source_(source), size_(size), buffer_(piece_size) {}

    // The journal's length: less than said once a read finds it shorter.
    std::uint64_t size() const { return size_; }

    // Points *data at the bytes held from `at` on, *got of them: at least
    // `wanted` (at most a piece), fewer only at the journal's end. Reads a
    // piece from `at` only when fewer are held. False with *error set when a
    // read fails.
    bool view(std::uint64_t at, std::size_t wanted, const unsigned char** data, std::size_t* got,
              int* error) {
        *got = 0;
        if (at >= size_) {
            return true;
        }
        wanted = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, size_ - at));
        if (at < begin_ || at + wanted > begin_ + held_) {
            const auto count =
                static_cast<std::size_t>(std::min<std::uint64_t>(piece_size, size_ - at));
            begin_ = at;
            held_ = source_(at, buffer_.data(), count, error);
            if (*error != 0) {
                held_ = 0;
                return false;
            }
            if (held_ < count) {
                size_ = at + held_;  // shorter than it was said to be
            }
        }
        *data = buffer_.data() + (at - begin_);
        *got = begin_ + held_ > at ? static_cast<std::size_t>(begin_ + held_ - at) : 0;
        return true;
    }

private:
    const journal_source& source_;
    std::uint64_t size_;
    std::vector<unsigned char> buffer_;
    std::uint64_t begin_ = 0;  // of the bytes held
    std::size_t held_ = 0;
};

enum class verdict { sound, damaged, failed };

// Takes the record at `at` into `contents` if it is whole and sound; else
// gives in *why what is wrong with it. *length is the length its header
// claims once that header is sound, 0 before. A record is refused at
// the first byte that breaks its layout, which keeps a search through
// damage linear in the journal's size: every header holds a NUL byte, which
// a path never does, and its magic reads as the same position each time,
// which strictly increasing positions can hold only once.
verdict take_record(journal_bytes& bytes, std::uint64_t at, journal_contents* contents,
                    std::uint64_t* length, const char** why, int* error) {
    *length = 0;
    const unsigned char* data = nullptr;
    std::size_t got = 0;
    if (!bytes.view(at, journal_header_size, &data, &got, error)) {
        return verdict::failed;
    }
    if (std::memcmp(data, journal_magic, std::min(got, journal_magic_size)) != 0) {
        *why = not_a_record;
        return verdict::damaged;
    }
    if (got < journal_length_offset) {
        *why = cut_short;
        return verdict::damaged;
    }
    const std::uint32_t version = load_le32(data + journal_version_offset);
    if (version != journal_version && version != journal_version_1) {
        *why = other_version;
        return verdict::damaged;
    }
    const std::size_t header_size =
        version == journal_version_1 ? journal_header_1_size : journal_header_size;
    if (got < header_size) {
        *why = cut_short;
        return verdict::damaged;
    }
    const std::uint32_t record_length = load_le32(data + journal_length_offset);
    const std::uint32_t path_length = load_le32(data + journal_path_length_offset);
    const std::uint32_t count = load_le32(data + journal_count_offset);
    const std::uint64_t file_length = load_le64(data + journal_file_length_offset);
    const std::uint32_t folder_length =
        version == journal_version_1 ? 0 : load_le32(data + journal_folder_length_offset);
    const std::uint64_t expected = std::uint64_t{header_size} + path_length + folder_length +
                                   std::uint64_t{count} * journal_position_size +
                                   journal_checksum_size;
    if (path_length == 0 || path_length > journal_path_limit ||
        folder_length > journal_path_limit || count == 0 || record_length != expected ||
        record_length > journal_record_limit || file_length < journal_word_size) {
        *why = malformed;
        return verdict::damaged;
    }
    *length = record_length;
    if (record_length > bytes.size() - at) {
        *why = cut_short;
        return verdict::damaged;
    }
    journal_header header;
    header.version = version;
    header.identity = {load_le64(data + journal_device_offset),
                       load_le64(data + journal_index_offset)};
    header.file_length = file_length;
    header.sectors_crc =
        version == journal_version_1 ? 0 : load_le32(data + journal_sectors_crc_offset);
    journal_record record{at,
                          header,
                          contents->paths.size(),
                          path_length,
                          contents->paths.size() + path_length,
                          folder_length,
                          contents->positions.size(),
                          count};
    std::uint32_t crc = crc32c(data, header_size);
    // What this record added, taken back if it proves unsound.
    auto refuse = [&](const char* reason) {
        contents->paths.resize(record.path_begin);
        contents->positions.resize(record.first_position);
        *why = reason;
        return verdict::damaged;
    };
    std::uint64_t cursor = at + header_size;
    for (std::size_t left = std::size_t{path_length} + folder_length; left > 0;) {
        if (!bytes.view(cursor, std::min(left, piece_size), &data, &got, error)) {
            refuse(nullptr);
            return verdict::failed;
        }
        if (got == 0) {
            return refuse(cut_short);
        }
        got = std::min(got, left);
        if (std::memchr(data, 0, got) != nullptr) {
            return refuse(malformed);
        }
        crc = crc32c(data, got, crc);
        contents->paths.append(reinterpret_cast<const char*>(data), got);
        cursor += got;
        left -= got;
    }
    const std::uint64_t last_position = file_length - journal_word_size;
    for (std::size_t left = count; left > 0;) {
        const std::size_t wanted = std::min(left, piece_size / journal_position_size);
        if (!bytes.view(cursor, wanted * journal_position_size, &data, &got, error)) {
            refuse(nullptr);
            return verdict::failed;
        }
        const std::size_t whole = std::min(got / journal_position_size, wanted);
        if (whole == 0) {
            return refuse(cut_short);
        }
        for (std::size_t i = 0; i < whole; ++i) {
            const std::uint64_t position = load_le64(data + i * journal_position_size);
            if (position > last_position || (contents->positions.size() > record.first_position &&
                                             position <= contents->positions.back())) {
                return refuse(malformed);
            }
            contents->positions.push_back(position);
        }
        crc = crc32c(data, whole * journal_position_size, crc);
        cursor += whole * journal_position_size;
        left -= whole;
    }
    if (!bytes.view(cursor, journal_checksum_size, &data, &got, error)) {
        refuse(nullptr);
        return verdict::failed;
    }
    if (got < journal_checksum_size) {
        return refuse(cut_short);
    }
    if (load_le32(data) != crc) {
        return refuse(bad_checksum);
    }
    contents->records.push_back(record);
    return verdict::sound;
}

// The first place at or after `from` where the magic begins, or where the
// journal ends in a part of it; the journal's end when there is none.
bool next_magic(journal_bytes& bytes, std::uint64_t from, std::uint64_t* found, int* error) {
    for (std::uint64_t at = from; at < bytes.size();) {
        const unsigned char* data = nullptr;
        std::size_t got = 0;
        if (!bytes.view(at, 1, &data, &got, error)) {
            return false;
        }
        const void* first = std::memchr(data, journal_magic[0], got);
        if (first == nullptr) {
            at += got;
            continue;
        }
        at += static_cast<std::size_t>(static_cast<const unsigned char*>(first) - data);
        if (!bytes.view(at, journal_magic_size, &data, &got, error)) {
            return false;
        }
        if (std::memcmp(data, journal_magic, std::min(got, journal_magic_size)) == 0) {
            *found = at;
            return true;
        }
        ++at;
    }
    *found = bytes.size();
    return true;
}

}  // namespace

bool read_journal(const journal_source& source, std::uint64_t size, journal_contents* contents,
                  int* error) {
    *error = 0;
    journal_bytes bytes(source, size);
    bool in_damage = false;
    journal_damage damage{};
    for (std::uint64_t at = 0; at < bytes.size();) {
        std::uint64_t length = 0;
        const char* why = nullptr;
        switch (take_record(bytes, at, contents, &length, &why, error)) {
            case verdict::failed:
                return false;
            case verdict::sound:
                if (in_damage) {
                    damage.end = at;
                    contents->damage.push_back(damage);
                    in_damage = false;
                }
                at += length;
                continue;
            case verdict::damaged:
                break;
        }
        const std::uint64_t begin = at;
        if (!next_magic(bytes, at + 1, &at, error)) {
            return false;
        }
        if (!in_damage) {
            // As a run killed while appending leaves it, when another run appended after it.
            in_damage = true;
            damage = {begin, 0, at < begin + length && at < bytes.size() ? cut_inside : why};
        }
    }
    if (in_damage) {
        damage.end = bytes.size();
        contents->damage.push_back(damage);
    }
    return true;
}

bool holds_no_journal(const journal_contents& contents) {
    return contents.records.empty() && !contents.damage.empty() &&
           contents.damage.front().begin == 0 && contents.damage.front().why == not_a_record;
}

}  // namespace img_whiten
