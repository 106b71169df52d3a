#include "claims.h"

#include <algorithm>
#include <new>

namespace img_whiten {

namespace {

// Past this many recent identities, they are merged into the sorted block.
constexpr std::size_t recent_limit = 256;

}  // namespace

bool seen_files::contains(const file_identity& identity) const {
    return std::binary_search(merged_.begin(), merged_.end(), identity) ||
           std::binary_search(recent_.begin(), recent_.end(), identity);
}

void seen_files::add(const file_identity& identity) {
    if (recent_.size() == recent_limit) {
        // Grown by a quarter, not doubled: the block stays close to 16 bytes per file.
        if (merged_.capacity() < merged_.size() + recent_.size()) {
            merged_.reserve(merged_.size() + std::max(merged_.size() / 4, recent_limit));
        }
        const std::size_t old_size = merged_.size();
        merged_.insert(merged_.end(), recent_.begin(), recent_.end());
        std::inplace_merge(merged_.begin(), merged_.begin() + static_cast<std::ptrdiff_t>(old_size),
                           merged_.end());
        recent_.clear();
    }
    recent_.reserve(recent_limit);
    recent_.insert(std::upper_bound(recent_.begin(), recent_.end(), identity), identity);
}

file_claims::verdict file_claims::claim(const file_identity& identity) {
    const std::lock_guard<std::mutex> hold(lock_);
    if (seen_.contains(identity)) {
        return verdict::taken_already;
    }
    try {
        seen_.add(identity);
        return verdict::taken;
    } catch (const std::bad_alloc&) {
        return verdict::out_of_memory;
    }
}

void file_claims::keep_out(const file_identity& identity) {
    const std::lock_guard<std::mutex> hold(lock_);
    seen_.add(identity);
}

}  // namespace img_whiten
