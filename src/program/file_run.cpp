#include "file_run.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "archive.h"
#include "archive_run.h"
#include "byte_order.h"

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

namespace {

const char* open_failure(const run_output& output) {
    // Named by what the run means to do, whichever open came first.
    return output.dry_run ? "cannot open for reading: %s" : "cannot open for update: %s";
}

// Opens the file at the target's place for reading, reporting why it could
// not be; a link or a non-regular file met in a folder is passed over.
bool open_or_report(patch_target& target) {
    const file_place& place = target.place;
    switch (open_file_at(place, &target.file)) {
        case open_status::opened:
            target.opened_size = target.file.size;
            return true;
        case open_status::link:
            return false;
        case open_status::not_regular:
            if (place.parent == nullptr) {
                report(target.output, target.path(), nullptr, "not a regular file: left alone");
            }
            return false;
        case open_status::in_use:
        case open_status::failed:
            break;
    }
    report(target.output, target.path(), nullptr, open_failure(target.output),
           std::strerror(errno));
    return false;
}

// Opens the file for update too. A file that is read-only, or on read-only
// media, is still read: it fails the run only if it holds a word to whiten.
bool open_for_update_or_report(patch_target& target) {
    switch (open_for_update(target.place, &target.file)) {
        case open_status::opened:
            return true;
        case open_status::in_use:
            report(target.output, target.path(), nullptr, "in use by another program: %s",
                   in_use_reason());
            return false;
        default:
            break;
    }
    if (errno == EROFS || errno == EACCES || errno == EPERM) {
        target.update_error = errno;
        return true;
    }
    report(target.output, target.path(), nullptr, "cannot open for update: %s",
           std::strerror(errno));
    return false;
}

struct file_facts {
    unsigned char header[archive_header_size] = {};
    std::size_t header_bytes = 0;  // how many of the header's bytes the file holds
    std::size_t preread = 0;       // bytes of a loose model already in the model buffer
};

// The file's first bytes (of a loose model, its first window); false when
// they cannot be read (reported).
bool read_facts(patch_target& target, bool model_name, model_buffers& buffers, file_facts* facts) {
    int error = 0;
    const std::uint64_t size = target.file.size;
    if (model_name && size > 0) {
        const bool read = read_window(target, 0, size, buffers, &facts->preread, &error);
        facts->header_bytes = std::min(facts->preread, archive_header_size);
        if (facts->header_bytes > 0) {
            std::memcpy(facts->header, buffers.data.items, facts->header_bytes);
        }
        if (!read) {
            facts->preread = 0;
            report(target.output, target.path(), nullptr, "cannot read: %s", std::strerror(error));
            return false;
        }
        return true;
    }
    facts->header_bytes = read_at(target.file, 0, facts->header, archive_header_size, &error);
    if (error != 0) {
        report(target.output, target.path(), nullptr, "cannot read the header: %s",
               std::strerror(error));
        return false;
    }
    return true;
}

bool begins_an_archive(const file_facts& facts) {
    return facts.header_bytes >= 4 &&
           load_le32(facts.header + header_magic_offset) == archive_magic;
}

// An archive with entries: one with none, or too short to be one, is left alone.
bool is_patched_archive(const file_facts& facts) {
    return begins_an_archive(facts) && facts.header_bytes == archive_header_size &&
           decode_archive_header(facts.header).entry_count > 0;
}

void close_or_report(patch_target& target) {
    if (target.file.fd >= 0 && !close_file(target.file)) {
        report(target.output, target.path(), nullptr, "cannot close: %s", std::strerror(errno));
    }
}

void patch_opened_file(patch_target& target, const file_facts& facts, model_buffers& buffers) {
    run_output& output = target.output;
    ++output.files_visited;
    if (begins_an_archive(facts)) {
        print_archive_heading(output, target.path());
        patch_archive_entries(target, target.file.size, facts.header, buffers);
        return;
    }
    const std::uint64_t size = target.file.size;
    if (size == 0) {
        print_model_line(output, target.path(), nullptr, 0);
    } else {
        patch_model(target, nullptr, 0, size, size, buffers, facts.preread);
    }
}

void patch_target_file(patch_target& target, bool model_name, seen_files& seen,
                       model_buffers& buffers) {
    run_output& output = target.output;
    if (!open_or_report(target)) {
        return;
    }
    if (seen.contains(target.file.identity)) {
        close_or_report(target);  // patched already, through another path
        return;
    }
    // A file whose name says model is one of the files the run patches: it is
    // opened for update, and locked, before a byte of it is read.
    if (!output.dry_run && model_name && !open_for_update_or_report(target)) {
        close_or_report(target);
        return;
    }
    file_facts facts;
    if (!read_facts(target, model_name, buffers, &facts) ||
        !(begins_an_archive(facts) ? is_patched_archive(facts) : model_name)) {
        close_or_report(target);
        return;
    }
    if (!output.dry_run && !target.file.writable && target.update_error == 0) {
        // An archive: open it for update as well, and look again at what it holds now.
        if (!open_for_update_or_report(target) || !read_facts(target, false, buffers, &facts) ||
            !is_patched_archive(facts)) {
            close_or_report(target);
            return;
        }
    }
    seen.add(target.file.identity);
    patch_opened_file(target, facts, buffers);
    close_or_report(target);
}

}  // namespace

void patch_file(run_output& output, const file_place& place, bool model_name, seen_files& seen,
                model_buffers& buffers) {
    patch_target target{output, place, {}, 0, 0, {}};
    output.progress.at(place.path);
    output.progress.tick();
    try {
        patch_target_file(target, model_name, seen, buffers);
    } catch (const std::bad_alloc&) {
        report(output, place.path, nullptr, "not patched further: %s", std::strerror(ENOMEM));
        if (target.file.fd >= 0) {
            close_file(target.file);
        }
    }
    output.progress.done();
    output.progress.at("");
    check_progress_written(output, place.path, false);
}

}  // namespace img_whiten
