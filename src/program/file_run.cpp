#include "file_run.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive.h"
#include "archive_run.h"
#include "byte_order.h"

namespace img_whiten {

bool seen_files::first_visit(const file_identity& identity, std::uint64_t links) {
    if (visited_.count(identity) != 0) {
        return false;
    }
    if (links > 1 || named_.count(identity) != 0) {
        visited_.insert(identity);
    }
    return true;
}

namespace {

// Opens `path` as asked, reporting why it could not be.
bool open_or_report(run_output& output, const char* path, file_access access, open_file* file) {
    switch (open_file_at(path, access, file)) {
        case open_status::opened:
            return true;
        case open_status::in_use:
            report(output, path, nullptr, "in use by another program: %s", in_use_reason());
            return false;
        case open_status::not_regular:
            report(output, path, nullptr, "not a regular file: left alone");
            return false;
        case open_status::failed:
            break;
    }
    // Named by what the run means to do, whichever open came first.
    report(output, path, nullptr,
           output.dry_run ? "cannot open for reading: %s" : "cannot open for update: %s",
           std::strerror(errno));
    return false;
}

// A loose model no larger than this is read whole at once, and its first bytes
// tell whether it is an archive after all; of a larger file the header is read first.
constexpr std::uint64_t whole_read_limit = std::uint64_t{64} << 20;

struct file_facts {
    unsigned char header[archive_header_size] = {};
    std::size_t header_bytes = 0;  // how many of the header's bytes the file holds
    bool whole_read = false;       // the model buffer holds the whole file
    std::size_t whole_bytes = 0;
};

// The file's first bytes (of a small loose model, all of them); false when
// they cannot be read (reported).
bool read_facts(patch_target& target, bool model_name, model_buffers& buffers, file_facts* facts) {
    int error = 0;
    const std::uint64_t size = target.file.size;
    if (model_name && size > 0 && size <= whole_read_limit) {
        facts->whole_read = read_model(target, 0, size, buffers, &facts->whole_bytes, &error);
        facts->header_bytes = std::min(facts->whole_bytes, archive_header_size);
        std::memcpy(facts->header, buffers.data.items, facts->header_bytes);
        if (error != 0) {
            report(target.output, target.path, nullptr, "cannot read: %s", std::strerror(error));
            return false;
        }
        return true;
    }
    facts->header_bytes = read_at(target.file, 0, facts->header, archive_header_size, &error);
    if (error != 0) {
        report(target.output, target.path, nullptr, "cannot read the header: %s",
               std::strerror(error));
        return false;
    }
    return true;
}

bool begins_an_archive(const file_facts& facts) {
    return facts.header_bytes >= 4 &&
           load_le32(facts.header + header_magic_offset) == archive_magic;
}

void close_or_report(patch_target& target) {
    if (target.file.fd >= 0 && !close_file(target.file)) {
        report(target.output, target.path, nullptr, "cannot close: %s", std::strerror(errno));
    }
}

void patch_opened_file(patch_target& target, const file_facts& facts, bool model_name,
                       model_buffers& buffers) {
    run_output& output = target.output;
    if (begins_an_archive(facts)) {
        if (facts.header_bytes < archive_header_size) {
            return;  // too short to be an archive: left alone
        }
        ++output.files_visited;
        print_archive_heading(output, target.path);
        patch_archive_entries(target, target.file.size, facts.header, buffers);
    } else if (model_name) {
        ++output.files_visited;
        print_model_start(output, target.path);
        const std::uint64_t size = target.file.size;
        if (facts.whole_read) {
            patch_read_model(target, nullptr, 0, facts.whole_bytes, size, buffers);
        } else if (size == 0) {
            print_count(output, 0);
        } else {
            patch_model_bytes(target, nullptr, 0, size, size, buffers);
        }
    }
}

}  // namespace

void patch_file(run_output& output, const char* path, bool model_name, seen_files& seen,
                model_buffers& buffers) {
    patch_target target{output, path, {}, {}};
    // A file whose name says model is one of the files the run patches; any
    // other is first read to see whether it is an archive.
    const bool update_at_once = !output.dry_run && model_name;
    if (!open_or_report(output, path, update_at_once ? file_access::update : file_access::read_only,
                        &target.file)) {
        return;
    }
    file_facts facts;
    if (!seen.first_visit(target.file.identity, target.file.links) ||
        !read_facts(target, model_name, buffers, &facts) ||
        !(begins_an_archive(facts) || model_name)) {
        close_or_report(target);
        return;
    }
    if (!output.dry_run && !update_at_once) {
        // An archive: open it again, for update, and look again at what it holds now.
        close_or_report(target);
        if (!open_or_report(output, path, file_access::update, &target.file)) {
            return;
        }
        if (!read_facts(target, model_name, buffers, &facts)) {
            close_or_report(target);
            return;
        }
    }
    patch_opened_file(target, facts, model_name, buffers);
    close_or_report(target);
    // Without a flush: stdout's own writes have set its error flag if one failed.
    check_progress_written(output, path, false);
}

}  // namespace img_whiten
