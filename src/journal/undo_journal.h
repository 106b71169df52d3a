// The undo journal: before a run writes a window of a file, it appends a
// record of where the window's whitened words lie, so that --undo can turn
// exactly those words grey again. Every record stands alone, ends in a
// CRC-32C of its bytes, and is found again after damage by its magic.
//
// A record, every number little-endian:
//
//   offset    size  field
//        0       8  magic: the bytes "IW-UNDO\n"
//        8       4  version: 2 (1.3.0 wrote 1, read still: see below)
//       12       4  record_length: the whole record's bytes, magic to checksum
//       16       8  device: the file's device (POSIX st_dev; Windows volume serial number)
//       24       8  index: the file's inode (Windows file index)
//       32       8  file_length: the file's length in bytes when the run opened it
//       40       4  path_length: P, the path's bytes, 1 to 1 MiB
//       44       4  count: C, the positions that follow, at least 1
//       48       4  folder_length: F, the folder's bytes, 0 to 1 MiB (0: none recorded)
//       52       4  sectors_crc: CRC-32C of the file's sectors that hold a byte of a
//                   recorded word, in order, as the run leaves them, each recorded
//                   word's red, green and blue counted as grey (word_sectors_crc)
//       56       P  path: the file's path as the run reached it (UTF-8), no NUL byte
//     56+P       F  folder: the run's current folder, absolute, when the path is relative
//   56+P+F     8*C  positions: byte offsets in the file of the whitened colour words
//                   (of their red byte), strictly increasing, each word inside file_length
// 56+P+F+8C      4  checksum: CRC-32C (Castagnoli) of every byte of the record before it
//
// so record_length is 60 + P + F + 8*C. A version-1 record has neither
// folder_length nor sectors_crc: its path follows the count at 48, and its
// record_length is 52 + P + 8*C.
#ifndef IMG_WHITEN_UNDO_JOURNAL_H
#define IMG_WHITEN_UNDO_JOURNAL_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "file_io.h"

namespace img_whiten {

constexpr unsigned char journal_magic[] = {'I', 'W', '-', 'U', 'N', 'D', 'O', '\n'};
constexpr std::size_t journal_magic_size = sizeof journal_magic;
constexpr std::uint32_t journal_version = 2;
constexpr std::uint32_t journal_version_1 = 1;
constexpr std::size_t journal_version_offset = 8;
constexpr std::size_t journal_length_offset = 12;
constexpr std::size_t journal_device_offset = 16;
constexpr std::size_t journal_index_offset = 24;
constexpr std::size_t journal_file_length_offset = 32;
constexpr std::size_t journal_path_length_offset = 40;
constexpr std::size_t journal_count_offset = 44;
constexpr std::size_t journal_header_1_size = 48;
constexpr std::size_t journal_folder_length_offset = 48;
constexpr std::size_t journal_sectors_crc_offset = 52;
constexpr std::size_t journal_header_size = 56;
constexpr std::size_t journal_position_size = 8;
constexpr std::size_t journal_checksum_size = 4;
constexpr std::size_t journal_word_size = 4;  // a colour word: red, green, blue, alpha
constexpr std::size_t journal_path_limit = std::size_t{1} << 20;
// The longest record a run may write, and a reader accepts.
constexpr std::uint64_t journal_record_limit = std::uint64_t{64} << 20;
static_assert(journal_magic_size == journal_version_offset, "the version follows the magic");
static_assert(journal_count_offset + 4 == journal_header_1_size, "version 1: the path follows");
static_assert(journal_count_offset + 4 == journal_folder_length_offset &&
                  journal_folder_length_offset + 4 == journal_sectors_crc_offset &&
                  journal_sectors_crc_offset + 4 == journal_header_size,
              "the path follows the sectors' CRC");
static_assert(journal_header_size + 2 * journal_path_limit + journal_checksum_size <
                  journal_record_limit,
              "a record of the longest path and folder has room for positions");

// CRC-32C of `length` bytes, carried on from `crc` (the CRC of the bytes before them; 0 for none).
std::uint32_t crc32c(const unsigned char* data, std::size_t length, std::uint32_t crc = 0);

// Carries `crc` over the bytes of `data`, the file's `length` bytes from `at`
// (on a sector), that lie in a sector holding a byte of one of the `count`
// words at `positions` (increasing), each such word's red, green and blue
// taken as grey: whether it is white, grey or part white now does not
// change it. Sectors past `at + length` are left for the next call.
std::uint32_t word_sectors_crc(const unsigned char* data, std::uint64_t at, std::size_t length,
                               const std::uint64_t* positions, std::size_t count,
                               std::uint32_t crc);

// What a record says besides its positions.
struct journal_header {
    std::uint32_t version = journal_version;
    file_identity identity{};
    std::uint64_t file_length = 0;
    std::uint32_t sectors_crc = 0;  // version 2 only
};

// Encodes the record of `count` positions (strictly increasing, each word
// inside `header.file_length`) in the file at `path`, reached from `folder`
// (empty: none recorded; version 1 records none), into `record`. False when
// the path is empty, it or the folder too long, or the record would be:
// nothing is encoded then. May throw std::bad_alloc.
bool encode_journal_record(const journal_header& header, const std::string& path,
                           const std::string& folder, const std::uint64_t* positions,
                           std::size_t count, std::vector<unsigned char>* record);

// True when the first `length` bytes of a file may begin a journal: they
// are the magic, or as much of it as a journal cut short holds.
bool begins_as_journal(const unsigned char* start, std::size_t length);

enum class journal_open {
    opened,
    failed,         // errno says why
    in_use,         // another program holds it (in_use_reason() says how)
    not_regular,    // a device, FIFO, socket or folder
    not_a_journal,  // a file that holds something else: never appended to
};

// The journal a run appends to, shared by every job of the run.
class undo_journal {
public:
    undo_journal();
    ~undo_journal();
    undo_journal(const undo_journal&) = delete;
    undo_journal& operator=(const undo_journal&) = delete;

    // Opens the journal at `path` to append to, creating it if missing, with
    // other writers kept out as while a file is patched. A file that is
    // neither empty nor a journal is closed again untouched.
    journal_open open(const char* path);
    const std::string& path() const { return path_; }
    const file_identity& identity() const { return file_.identity; }
    // The current folder when the run started (empty if it could not be
    // found out): relative paths of its records are taken from there.
    const std::string& folder() const { return folder_; }
    // Closes the journal of a run refused before it began, and removes it
    // if open() created it.
    void discard();
    // Appends an encoded record at the end of the journal, then flushes the
    // journal to disk if a second has passed since it last was. False with
    // *error set when either fails. Safe to call from several threads.
    bool append(const std::vector<unsigned char>& record, int* error);
    // Flushes the journal to disk and closes it; false with *error set on a failure.
    bool close(int* error);

private:
    std::mutex mutex_;  // guards everything below
    open_file file_;
    std::string path_;
    std::uint64_t end_ = 0;  // where the next record goes
    bool created_ = false;   // by open(), so nothing else ever wrote to it
    std::chrono::steady_clock::time_point flushed_;
    std::string folder_;  // set once, before any job starts
};

// Reads up to `length` bytes of a journal at `offset`, as read_at does.
using journal_source = std::function<std::size_t(std::uint64_t offset, unsigned char* data,
                                                 std::size_t length, int* error)>;

// One whole, sound record of a journal read.
struct journal_record {
    std::uint64_t at;  // where it begins in the journal
    journal_header header;
    std::size_t path_begin, path_length;      // in journal_contents::paths
    std::size_t folder_begin, folder_length;  // in journal_contents::paths too
    std::size_t first_position, count;        // in journal_contents::positions
};

// Bytes of a journal that hold no sound record: each ignored, with the
// reason its first record was refused.
struct journal_damage {
    std::uint64_t begin, end;  // [begin, end)
    const char* why;
};

struct journal_contents {
    std::vector<journal_record> records;  // in the journal's order, oldest first
    std::string paths;                    // every record's path and folder, one after the other
    std::vector<std::uint64_t> positions;
    std::vector<journal_damage> damage;  // in the journal's order
};

// Reads every sound record of the `size` bytes of a journal and notes the
// regions between them that hold none, looking for the next magic after
// each. Reads a piece at a time; memory grows only with the sound records
// found, and time with the journal's size. False with *error set when
// `source` fails. May throw std::bad_alloc.
bool read_journal(const journal_source& source, std::uint64_t size, journal_contents* contents,
                  int* error);

// True when what read_journal found is no journal at all: not a sound
// record anywhere, and bytes at the start that no record begins with.
bool holds_no_journal(const journal_contents& contents);

}  // namespace img_whiten

#endif
