// One model's bytes, read from an open file through a window of fixed size,
// whitened, counted on stdout and written back where they changed: shared by
// archive entries and loose models. Memory does not grow with a model. A dry
// run writes nothing and remembers what it whitened instead, so that later
// reads of the same bytes see what a real run would.
#ifndef IMG_WHITEN_MODEL_PATCH_H
#define IMG_WHITEN_MODEL_PATCH_H

#include <cstdint>
#include <cstdlib>
#include <map>
#include <vector>

#include "archive.h"
#include "file_io.h"
#include "output.h"

namespace img_whiten {

class undo_journal;

// A model is read this much at a time (at most); most are read whole in one window.
constexpr std::size_t model_window_size = std::size_t{4} << 20;
static_assert(model_window_size % sector_size == 0, "windows start and end on sectors");
static_assert(model_window_size >= 2 * sector_size, "a window always holds the walk's next step");

// One growing block reused for every model: memory stays at the largest window read.
template <typename T>
struct reused_block {
    T* items = nullptr;
    std::size_t capacity = 0;

    reused_block() = default;
    reused_block(const reused_block&) = delete;
    reused_block& operator=(const reused_block&) = delete;
    ~reused_block() { std::free(items); }

    bool reserve(std::size_t count) {
        if (count <= capacity) {
            return true;
        }
        std::free(items);
        items = count <= SIZE_MAX / sizeof(T) ? static_cast<T*>(std::malloc(count * sizeof(T)))
                                              : nullptr;
        capacity = items != nullptr ? count : 0;
        return items != nullptr;
    }
};

// A run of bytes a window's walk marked, [first, end) from the window's start.
struct marked_run {
    std::size_t first, end;
};

// A window of a model's bytes, one mark bit per byte the walk changed, and
// room to read back the sectors about to be written; reused from model to model.
struct model_buffers {
    std::size_t window = model_window_size;  // a multiple of the sector, at least two
    reused_block<unsigned char> data;
    reused_block<std::uint64_t> marks;
    reused_block<unsigned char> check;
    std::vector<marked_run> runs;                  // of the window being written
    std::vector<std::uint64_t> journal_positions;  // of its whitened words
    std::vector<unsigned char> journal_record;
};

// Bytes, by file position, that a dry run would have whitened so far.
class pending_whites {
public:
    // Records the bytes marked in `marks` (one bit per byte) of `length` bytes
    // read at `offset`. May throw std::bad_alloc.
    void record(std::uint64_t offset, const std::uint64_t* marks, std::size_t length);
    // Whitens the recorded bytes that fall in `length` bytes read from `offset`.
    void apply(std::uint64_t offset, unsigned char* data, std::size_t length) const;

private:
    std::map<std::uint64_t, std::uint64_t> runs_;  // first byte -> one past the last
};

// A file open for patching (or, in a dry run, for reading).
struct patch_target {
    run_output& output;
    file_place place;
    open_file file;
    std::uint64_t opened_size = 0;  // the length it had when opened: it must keep it
    int update_error = 0;   // why it could not be opened for update (read-only), found out only
                            // when there is something to write; 0 otherwise
    pending_whites whites;  // dry run only
    undo_journal* journal = nullptr;  // told where each window's words lie before it is written
    const char* path() const { return place.path; }
};

enum class next_step { go_on, stop };

// Patches the model whose `declared` bytes begin at `offset`, of which the
// file holds `available`: walks them window by window, prints the model's
// line, and writes back the 2048-byte sectors (counted from the file's start,
// where `offset` lies on one) that hold a whitened byte, each only after
// checking that the file still holds there what was read. `entry_name`
// names an archive entry, or is null for a loose model. The line counts the
// words that reached the file (in a dry run, that would). The first `preread`
// bytes may already be in `buffers.data` (0: none). Returns stop when no
// later entry of the file may be visited: a write failed (after putting back
// any colour word it cut in two), or the file changed underneath.
next_step patch_model(patch_target& target, const char* entry_name, std::uint64_t offset,
                      std::uint64_t available, std::uint64_t declared, model_buffers& buffers,
                      std::size_t preread = 0);

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
write_back write_marked_sectors(patch_target& target, const char* entry_name, std::uint64_t offset,
                                const unsigned char* data, const std::uint64_t* marks,
                                std::size_t length, unsigned char marked_was,
                                model_buffers& buffers);

// Reads up to one window of the model at `offset` (of which the file holds
// `available` bytes) into `buffers.data`, setting *got; false with the
// failure in *error (ENOMEM: no memory for it).
bool read_window(const patch_target& target, std::uint64_t offset, std::uint64_t available,
                 model_buffers& buffers, std::size_t* got, int* error);

}  // namespace img_whiten

#endif
