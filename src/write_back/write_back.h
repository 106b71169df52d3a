// The one write-back of patching and undo alike: a file opened for update
// (or why not), a window's marked bytes grouped into writes of whole
// sectors, each checked against the file just before it is written, and
// the file closed or the failure said.
#ifndef IMG_WHITEN_WRITE_BACK_H
#define IMG_WHITEN_WRITE_BACK_H

#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "archive.h"
#include "file_io.h"
#include "output.h"

namespace img_whiten {

// A model is read this much at a time (at most); most are read whole in one window.
constexpr std::size_t model_window_size = std::size_t{4} << 20;
static_assert(model_window_size % sector_size == 0, "windows start and end on sectors");
static_assert(model_window_size >= 2 * sector_size, "a window always holds the walk's next step");

// Grows `block` to at least `count` items: one block reused from model to
// model stays at the largest window read. False when memory ran out.
template <typename T>
bool hold(std::vector<T>& block, std::size_t count) {
    if (block.size() >= count) {
        return true;
    }
    try {
        std::vector<T>().swap(block);  // the old block goes before the new one comes
        block.resize(count);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// A run of bytes a window's walk marked, [first, end) from the window's start.
struct marked_run {
    std::size_t first, end;
};

// A window of a model's bytes, one mark bit per byte the walk changed, and
// room to read back the sectors about to be written; reused from model to model.
struct model_buffers {
    std::size_t window = model_window_size;  // a multiple of the sector, at least two
    std::vector<unsigned char> data;
    std::vector<std::uint64_t> marks;
    std::vector<unsigned char> check;
    std::vector<marked_run> runs;                  // of the window being written
    std::vector<std::uint64_t> journal_positions;  // of its whitened words
    std::vector<unsigned char> journal_record;
    // A window read since this was last cleared was not all in the system's
    // cache: files are read ahead while it is set (a warm tree is not).
    bool cache_missed = true;
};

// A file open for writing back (or, in a dry run, for reading): a model's or an undo's.
struct write_target {
    file_report& output;
    file_place place;
    open_file file;
    std::uint64_t opened_size = 0;  // the length it had when opened: it must keep it
    int update_error = 0;  // why it could not be opened for update (read-only), found out only
                           // when there is something to write; 0 otherwise
    const char* path() const { return place.path; }
};

// Opens the target's file for update as well, with other writers kept out;
// false with *why saying why not. A file that is read-only, or on read-only
// media, also sets `update_error`: a patch still reads it.
bool open_for_writing(write_target& target, std::string* why);

// What a failed open of a file to patch or undo is called, by what the run
// means to do with it: "cannot open for reading" in a dry run, else "cannot
// open for update".
const char* cannot_open(const run_settings& settings);

// Closes the file if open, reporting a failure to.
void close_or_report(file_report& output, const char* path, open_file& file);

enum class next_step { go_on, stop };

// Notes every run of bytes marked in `marks` (one bit per byte of `length`),
// in order: the one pass over a window's marks before it is written. May
// throw std::bad_alloc.
void find_marked_runs(const std::uint64_t* marks, std::size_t length,
                      std::vector<marked_run>* runs);

// How a write-back ended.
struct write_back {
    next_step step = next_step::stop;  // go_on: every sector written
    std::size_t written = 0;           // every marked byte before this one reached the file
    // A write that failed: data[written, failed_stop), of which failed_put
    // bytes reached the file at least; failed_stop is 0 for any other end.
    std::size_t failed_stop = 0, failed_put = 0;
};

// Writes back data[0, length), read at `offset`, where `marks` marks a byte:
// the sectors `buffers.runs` (find_marked_runs) says hold one, neighbouring
// ones in one write. The one check before every write, of runs and undos
// alike: the file must still have `target.opened_size` bytes and hold there
// what was read (`marked_was` where a byte is marked, data's byte
// elsewhere); otherwise, or when a write fails, that is reported and nothing
// more is written. Stops too between writes when a signal arrived.
write_back write_marked_sectors(write_target& target, const char* entry_name, std::uint64_t offset,
                                const unsigned char* data, const std::uint64_t* marks,
                                std::size_t length, unsigned char marked_was,
                                model_buffers& buffers);

// ": later entries not visited" for an archive's entry, "" for a loose file:
// what a message adds when the file is left from there on.
const char* later_entries(const char* entry_name);

}  // namespace img_whiten

#endif
