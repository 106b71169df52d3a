#include "targets.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "archive.h"
#include "file_io.h"
#include "file_run.h"
#include "signals.h"

namespace img_whiten {

namespace {

const char* last_component(const char* path) {
    const char* name = path;
    for (const char* at = path; *at != '\0'; ++at) {
#if defined(_WIN32)
        if (*at == '\\' || *at == ':') {
            name = at + 1;
        }
#endif
        if (*at == '/') {
            name = at + 1;
        }
    }
    return name;
}

struct walk {
    run_output& output;
    seen_files seen;
    model_buffers buffers;
};

void report_unreadable_folder(run_output& output, const char* path) {
    report(output, path, nullptr, "cannot read the folder: %s", std::strerror(errno));
}

void walk_folder(walk& run, const std::string& path) {
    file_identity identity;
    if (!identify_path(path.c_str(), &identity)) {
        report_unreadable_folder(run.output, path.c_str());
        return;
    }
    if (!run.seen.first_folder_visit(identity)) {
        return;
    }
    std::vector<folder_entry> entries;
    if (!list_folder(path.c_str(), &entries)) {
        report_unreadable_folder(run.output, path.c_str());
        return;
    }
    for (const folder_entry& entry : entries) {
        end_if_signalled();
        const std::string child = join_path(path, entry.name);
        if (entry.kind == path_kind::folder) {
            walk_folder(run, child);
        } else if (entry.kind == path_kind::regular) {
            const bool model_name = is_model_entry(entry.name.c_str());
            if (model_name || has_archive_name(entry.name)) {
                patch_file(run.output, child.c_str(), model_name, run.seen, run.buffers);
            }
        }
    }
}

struct named_path {
    const char* path;
    bool found;
    int error;  // why it was not found
    path_kind kind;
};

}  // namespace

bool has_archive_name(const std::string& name) {
    static const char extension[] = ".img";
    if (name.size() < 4) {
        return false;
    }
    for (std::size_t i = 0; i < 4; ++i) {
        const char c = name[name.size() - 4 + i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != extension[i]) {
            return false;
        }
    }
    return true;
}

bool has_model_name(const char* path) {
    return is_model_entry(last_component(path));
}

void patch_paths(run_output& output, const std::vector<const char*>& paths) {
    walk run{output, {}, {}};
    std::vector<named_path> named;
    for (const char* path : paths) {
        named_path target{path, false, 0, path_kind::other};
        target.found = kind_of_path(path, &target.kind);
        target.error = errno;
        file_identity identity;
        if (target.found && target.kind == path_kind::regular && identify_path(path, &identity)) {
            run.seen.add_named(identity);
        }
        output.several_files |= target.found && target.kind == path_kind::folder;
        named.push_back(target);
    }
    output.several_files |= paths.size() > 1;

    for (const named_path& target : named) {
        end_if_signalled();
        if (!target.found) {
            report(output, target.path, nullptr,
                   output.dry_run ? "cannot open for reading: %s" : "cannot open for update: %s",
                   std::strerror(target.error));
        } else if (target.kind == path_kind::folder) {
            walk_folder(run, target.path);
        } else if (target.kind == path_kind::regular) {
            patch_file(output, target.path, has_model_name(target.path), run.seen, run.buffers);
        } else {
            report(output, target.path, nullptr, "not a regular file: left alone");
        }
    }
    if (output.several_files) {
        print_summary(output);
    }
    check_progress_written(output, paths.size() == 1 ? paths[0] : nullptr, true);
    end_if_signalled();
}

}  // namespace img_whiten
