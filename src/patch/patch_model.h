// One model's bytes, read from an open file through a window of fixed size,
// whitened, counted on stdout and written back where they changed: shared by
// archive entries and loose models. Memory does not grow with a model. A dry
// run writes nothing and remembers what it whitened instead, so that later
// reads of the same bytes see what a real run would.
#ifndef IMG_WHITEN_PATCH_MODEL_H
#define IMG_WHITEN_PATCH_MODEL_H

#include <cstdint>
#include <cstdlib>
#include <map>
#include <vector>

#include "write_back.h"

namespace img_whiten {

class undo_journal;

// Bytes, by file position, that a dry run would have whitened so far.
class pending_whites {
public:
    // Records the marked runs of a window read at `offset`. May throw std::bad_alloc.
    void record(std::uint64_t offset, const std::vector<marked_run>& runs);
    // Whitens the recorded bytes that fall in `length` bytes read from `offset`.
    void apply(std::uint64_t offset, unsigned char* data, std::size_t length) const;

private:
    std::map<std::uint64_t, std::uint64_t> runs_;  // first byte -> one past the last
};

// A file open for patching (or, in a dry run, for reading).
struct patch_target : write_target {
    pending_whites whites;            // dry run only
    undo_journal* journal = nullptr;  // told where each window's words lie before it is written
};

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

// Reads up to one window of the model at `offset` (of which the file holds
// `available` bytes) into `buffers.data`, setting *got; false with the
// failure in *error (ENOMEM: no memory for it).
bool read_window(const patch_target& target, std::uint64_t offset, std::uint64_t available,
                 model_buffers& buffers, std::size_t* got, int* error);

}  // namespace img_whiten

#endif
