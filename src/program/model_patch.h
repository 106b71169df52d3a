// One model's bytes, read from an open file, whitened, counted on stdout and
// written back where they changed: shared by archive entries and loose
// models. A dry run writes nothing and remembers what it whitened instead,
// so that later reads of the same bytes see what a real run would.
#ifndef IMG_WHITEN_MODEL_PATCH_H
#define IMG_WHITEN_MODEL_PATCH_H

#include <cstdint>
#include <cstdlib>
#include <map>

#include "file_io.h"
#include "output.h"

namespace img_whiten {

// One growing block reused for every model: memory stays at the largest model read.
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

// The model's bytes and one mark bit per byte, reused from model to model.
struct model_buffers {
    reused_block<unsigned char> data;
    reused_block<std::uint64_t> marks;
};

// Bytes, by file position, that a dry run would have whitened so far.
class pending_whites {
public:
    // Records the bytes marked in `marks` (one bit per byte) of `length` bytes read at `offset`.
    void record(std::uint64_t offset, const std::uint64_t* marks, std::size_t length);
    // Whitens the recorded bytes that fall in `length` bytes read from `offset`.
    void apply(std::uint64_t offset, unsigned char* data, std::size_t length) const;

private:
    std::map<std::uint64_t, std::uint64_t> runs_;  // first byte -> one past the last
};

// A file open for patching (or, in a dry run, for reading).
struct patch_target {
    run_output& output;
    const char* path;
    open_file file;
    pending_whites whites;  // dry run only
};

enum class next_step { go_on, stop };

// Reads `wanted` bytes at `offset`, whitens them, prints the count and writes
// back the 2048-byte blocks (counted from the file's start, where `offset`
// lies on one) that hold a whitened byte. `declared` is the model's length;
// fewer bytes read than that is reported after the count. `entry_name` names
// an archive entry in messages, or is null for a loose model. Returns stop
// when a write failed, after putting back any colour word it cut in two.
next_step patch_model_bytes(patch_target& target, const char* entry_name, std::uint64_t offset,
                            std::uint64_t wanted, std::uint64_t declared, model_buffers& buffers);

// Reads `wanted` bytes at `offset` into `buffers.data`, setting *got to the
// bytes read; false with the failure in *error (ENOMEM: no memory for them).
bool read_model(const patch_target& target, std::uint64_t offset, std::uint64_t wanted,
                model_buffers& buffers, std::size_t* got, int* error);

// The rest of patch_model_bytes, for the `got` bytes read_model read.
next_step patch_read_model(patch_target& target, const char* entry_name, std::uint64_t offset,
                           std::size_t got, std::uint64_t declared, model_buffers& buffers);

}  // namespace img_whiten

#endif
