#include "patch_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "archive.h"
#include "byte_order.h"
#include "material_walk.h"
#include "patch_entries.h"
#include "signals.h"
#include "undo_journal.h"

namespace img_whiten {

namespace {

// Opens the file at the job's place for reading, reporting why it could not
// be; a link or a non-regular file met in a folder is passed over.
bool open_or_report(file_job& job) {
    switch (open_file_at(job.place(), &job.file)) {
        case open_status::opened:
            return true;
        case open_status::link:
            return false;
        case open_status::not_regular:
            if (job.parent == nullptr) {
                report(*job.output, job.path.c_str(), nullptr, "not a regular file: left alone");
            }
            return false;
        case open_status::in_use:
        case open_status::failed:
            break;
    }
    // Named by what the run means to do, whichever open came first.
    report(*job.output, job.path.c_str(), nullptr, "%s: %s", cannot_open(job.output->settings),
           std::strerror(errno));
    return false;
}

// Opens the file for update too. A file that is read-only, or on read-only
// media, is still read: it fails the run only if it holds a word to whiten.
bool open_for_update_or_report(patch_target& target) {
    std::string why;
    if (open_for_writing(target, &why) || target.update_error != 0) {
        return true;
    }
    report(target.output, target.path(), nullptr, "%s", why.c_str());
    return false;
}

bool begins_an_archive(const unsigned char* header, std::size_t header_bytes) {
    return header_bytes >= 4 && load_le32(header + header_magic_offset) == archive_magic;
}

// An archive with entries: one with none, or too short to be one, is left alone.
bool is_patched_archive(const unsigned char* header, std::size_t header_bytes) {
    return begins_an_archive(header, header_bytes) && header_bytes == archive_header_size &&
           decode_archive_header(header).entry_count > 0;
}

// Reads the file's 8 header bytes; false when they cannot be read (reported).
bool read_header(file_report& output, const char* path, const open_file& file,
                 unsigned char* header, std::size_t* header_bytes) {
    int error = 0;
    *header_bytes = read_at(file, 0, header, archive_header_size, &error);
    if (error != 0) {
        report(output, path, nullptr, "cannot read the header: %s", std::strerror(error));
        return false;
    }
    return true;
}

void patch_opened_archive(patch_target& target, const unsigned char* header,
                          model_buffers& buffers) {
    ++target.output.files_visited;
    print_archive_heading(target.output, target.path());
    patch_archive_entries(target, target.file.size, header, buffers);
}

// Patches the archive whose header the file showed before the run opened it
// for update: in a real run, only once it is open for update (and locked),
// from its header read again.
void patch_archive_under_lock(patch_target& target, const unsigned char* header,
                              model_buffers& buffers) {
    if (target.output.settings.dry_run) {
        patch_opened_archive(target, header, buffers);
        return;
    }
    if (!open_for_update_or_report(target)) {
        return;
    }
    if (target.update_error != 0) {
        patch_opened_archive(target, header, buffers);  // read-only: what was read is all there is
        return;
    }
    // Look again at what the archive holds now that no other writer can change it.
    unsigned char locked_header[archive_header_size];
    std::size_t header_bytes = 0;
    if (read_header(target.output, target.path(), target.file, locked_header, &header_bytes) &&
        is_patched_archive(locked_header, header_bytes)) {
        patch_opened_archive(target, locked_header, buffers);
    }
}

// Whether the loose model, its first window read into `buffers` (`preread`
// bytes), holds no grey Material, walked window by window without the lock.
// False too where a read falls short or fails: the pass under the lock says why.
bool holds_nothing_to_whiten(patch_target& target, std::uint64_t size, model_buffers& buffers,
                             std::size_t preread) {
    walk_cursor cursor;
    std::uint64_t window_start = 0;
    for (std::size_t got = preread;;) {
        if (got != std::min<std::uint64_t>(size - window_start, buffers.window) ||
            whiten_grey_materials_in_window(buffers.data.data(), window_start, got, size,
                                            &cursor) != 0) {
            return false;
        }
        if (cursor.ended || cursor.position >= size) {
            return true;
        }
        window_start = cursor.position >> sector_shift << sector_shift;
        int error = 0;
        if (arrived_signal() != 0 ||
            !read_window(target, window_start, size - window_start, buffers, &got, &error)) {
            return false;
        }
    }
}

// A loose model, read for its first window before the run opens it for
// update: that window says whether it is an archive after all, and one with
// no grey Material is never opened for update.
void patch_loose_model(patch_target& target, model_buffers& buffers) {
    file_report& output = target.output;
    const std::uint64_t size = target.file.size;
    if (size == 0) {
        ++output.files_visited;
        print_model_line(output, target.path(), nullptr, 0);
        return;
    }
    std::size_t preread = 0;
    int error = 0;
    const bool read = read_window(target, 0, size, buffers, &preread, &error);
    const std::size_t header_bytes = std::min(preread, archive_header_size);
    unsigned char header[archive_header_size] = {};
    if (header_bytes > 0) {
        std::memcpy(header, buffers.data.data(), header_bytes);
    }
    if (!read) {
        report(output, target.path(), nullptr, "cannot read: %s", std::strerror(error));
        return;
    }
    if (begins_an_archive(header, header_bytes)) {
        if (is_patched_archive(header, header_bytes)) {
            patch_archive_under_lock(target, header, buffers);
        }
        return;  // too short, or no entries: left alone
    }
    if (!output.settings.dry_run) {
        if (holds_nothing_to_whiten(target, size, buffers, preread)) {
            ++output.files_visited;  // the whole model walked, nothing to write
            print_model_line(output, target.path(), nullptr, 0);
            return;
        }
        // Something to write: opened for update and locked first, then read and walked
        // again, so that what is written rests only on what the file holds under the lock.
        if (!open_for_update_or_report(target)) {
            return;
        }
        preread = 0;
    }
    ++output.files_visited;
    patch_model(target, nullptr, 0, size, size, buffers, preread);
}

void patch_opened_file(file_job& job, patch_target& target, model_buffers& buffers) {
    if (job.model_name) {
        patch_loose_model(target, buffers);
    } else {
        patch_archive_under_lock(target, job.header, buffers);
    }
}

}  // namespace

bool open_candidate(file_job& job) {
    try {
        if (!open_or_report(job)) {
            return false;
        }
        if (job.journal != nullptr && job.file.identity == job.journal->identity()) {
            notice(*job.output, job.path.c_str(), "the undo journal of this run: passed over");
            close_file(job.file);
            return false;
        }
        // A model by its name; any other file only when its first bytes are an archive's.
        if (!job.model_name &&
            (!read_header(*job.output, job.path.c_str(), job.file, job.header, &job.header_bytes) ||
             !is_patched_archive(job.header, job.header_bytes))) {
            close_or_report(*job.output, job.path.c_str(), job.file);
            return false;
        }
        return true;
    } catch (const std::bad_alloc&) {
        job.output->memory_ran_out = true;
        report(*job.output, job.path.c_str(), nullptr, "not patched: %s", std::strerror(ENOMEM));
        if (job.file.fd >= 0) {
            close_file(job.file);
        }
        return false;
    }
}

void patch_prepared_file(file_job& job, model_buffers& buffers) {
    file_report& output = *job.output;
    output.started(job.path.c_str());
    patch_target target{{output, job.place(), job.file, job.file.size, 0}, {}, job.journal};
    job.file.fd = -1;  // the target owns the descriptor now
    try {
        patch_opened_file(job, target, buffers);
    } catch (const std::bad_alloc&) {
        output.memory_ran_out = true;
        report(output, job.path.c_str(), nullptr, "not patched further: %s", std::strerror(ENOMEM));
    }
    close_or_report(output, target.path(), target.file);
    output.finished(job.path.c_str());
}

}  // namespace img_whiten
