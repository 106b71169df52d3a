#include "walk.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "file_io.h"
#include "patch_file.h"
#include "scheduler.h"
#include "undo_journal.h"
#include "write_back.h"

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

// True when `name` ends in `extension` (a dot and lower-case letters), in any ASCII case.
bool ends_in(const char* name, const char* extension) {
    const std::size_t length = std::strlen(name);
    const std::size_t wanted = std::strlen(extension);
    if (length < wanted) {
        return false;
    }
    for (std::size_t i = 0; i < wanted; ++i) {
        const char c = name[length - wanted + i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != extension[i]) {
            return false;
        }
    }
    return true;
}

// The walk's state, owned by the one thread that walks.
struct walk {
    run_printer& printer;   // for the display's count of files found
    file_scheduler& files;  // what the walk tells goes through it, in walk order
    const exclude_rules& excludes;
    undo_journal* journal;
    seen_files seen;  // folders entered (files are the scheduler's)
};

void walk_folder(walk& run, const std::shared_ptr<const open_folder>& parent, const char* name,
                 const std::string& path, const std::string& relative);

// A file that may be one of the run's targets: opened, claimed in walk order
// and patched by the scheduler.
void visit_file(walk& run, const std::shared_ptr<const open_folder>& parent, const char* name,
                const std::string& path, bool model_name) {
    file_job job;
    job.path = path;
    job.parent = parent;
    job.name = name != nullptr ? name : "";
    job.model_name = model_name;
    job.journal = run.journal;
    run.files.visit(std::move(job));
}

// One entry of a walked folder: a folder to walk, a file to patch, or
// anything else, passed over without being opened.
void visit_entry(walk& run, const std::shared_ptr<const open_folder>& folder,
                 const std::string& relative, const folder_listing& listing, std::size_t index) {
    const char* name = listing.name(index);
    const path_kind kind = listing.kind(index);
    if (kind != path_kind::folder && kind != path_kind::regular) {
        return;
    }
    const bool model_name = has_model_name(name);
    if (kind == path_kind::regular && !model_name && !has_archive_name(name)) {
        return;
    }
    // The entry's path below the folder named, with '/' on every platform.
    const std::string below = relative.empty() ? name : relative + "/" + name;
    if (!run.excludes.empty() && run.excludes.excludes(below, kind == path_kind::folder)) {
        return;
    }
    const std::string path = join_path(folder->path, name);
    switch (kind) {
        case path_kind::folder:
            walk_folder(run, folder, name, path, below);
            break;
        case path_kind::regular:
            visit_file(run, folder, name, path, model_name);
            break;
        case path_kind::link:
        case path_kind::other:
            break;
    }
}

void walk_opened_folder(walk& run, const std::shared_ptr<const open_folder>& folder,
                        const std::string& relative) {
    if (run.seen.contains(folder->identity)) {
        return;  // entered already, through another path
    }
    run.seen.add(folder->identity);
    folder_listing listing;
    if (!list_folder(*folder, &listing)) {
        run.files.fail(folder->path.c_str(), nullptr, "cannot read the folder: %s",
                       std::strerror(errno));
        return;
    }
    std::uint64_t targets = 0;  // for the display: the files to visit, excluded ones left out
    for (std::size_t index = 0; index < listing.size(); ++index) {
        const char* name = listing.name(index);
        targets += listing.kind(index) == path_kind::regular &&
                   (has_model_name(name) || has_archive_name(name)) &&
                   (run.excludes.empty() ||
                    !run.excludes.excludes(relative.empty() ? name : relative + "/" + name, false));
    }
    run.printer.progress.found(targets);
    for (std::size_t index = 0; index < listing.size(); ++index) {
        run.files.end_if_signalled();
        try {
            visit_entry(run, folder, relative, listing, index);
        } catch (const std::bad_alloc&) {
            run.files.fail(folder->path.c_str(), listing.name(index), "not visited: %s",
                           std::strerror(ENOMEM));
        }
    }
}

void close_and_free(open_folder* folder) {
    close_folder(*folder);
    delete folder;
}

// Walks the folder `name` of `parent` (or, with no parent, the named `path`).
void walk_folder(walk& run, const std::shared_ptr<const open_folder>& parent, const char* name,
                 const std::string& path, const std::string& relative) {
    // Shared with the jobs of its files, which may still need it after the walk moves on.
    std::shared_ptr<open_folder> folder(new open_folder, close_and_free);
    const file_place place{parent.get(), name, path.c_str()};
    run.files.before_folder();
    switch (open_folder_at(place, folder.get())) {
        case open_status::opened:
            break;
        case open_status::failed:
            run.files.fail(path.c_str(), nullptr, "cannot read the folder: %s",
                           std::strerror(errno));
            return;
        default:
            return;  // no longer a folder, or a link now: not followed
    }
    try {
        walk_opened_folder(run, folder, relative);
    } catch (const std::bad_alloc&) {
        run.files.fail(path.c_str(), nullptr, "cannot read the folder: %s", std::strerror(ENOMEM));
    }
}

struct named_path {
    const char* path;
    bool found;
    int error;     // why it was not found
    bool pattern;  // a wildcard that matched nothing; `error` says why, or is 0
    path_kind kind;
    std::string relative;  // a listed path as the patterns see it; "" for one named
    file_identity identity;
};

}  // namespace

bool has_archive_name(const std::string& name) {
    return ends_in(name.c_str(), ".img");
}

bool has_model_name(const char* path) {
    return ends_in(last_component(path), ".dff");
}

run_result patch_paths(const std::vector<const char*>& paths, const run_request& request,
                       std::FILE* out, std::FILE* err) {
    const exclude_rules& excludes = request.excludes;
    undo_journal* const journal = request.journal;
    run_settings settings = request.settings;
    std::vector<named_path> named;
    std::vector<const char*> journal_named;
    std::uint64_t found = 0;  // for the display
    // What each path names decides the output's form before anything is patched;
    // what is opened later is checked again by its descriptor.
    for (std::size_t index = 0; index < paths.size(); ++index) {
        const char* path = paths[index];
        named_path target{path, false, 0, false, path_kind::other, "", {}};
        for (const auto& unmatched : request.unmatched) {
            target.pattern |= unmatched.first == path;
            target.error = unmatched.first == path ? unmatched.second : target.error;
        }
        if (!target.pattern) {
            target.found = kind_of_path(path, &target.kind, &target.identity);
            target.error = errno;
        }
        const bool folder = target.found && target.kind == path_kind::folder;
        if (index >= request.first_listed) {
            target.relative = listed_relative(path);
            if (!excludes.empty() && excludes.excludes(target.relative, folder)) {
                continue;
            }
        }
        settings.several_files |= folder;
        found += target.found && target.kind == path_kind::regular;
        const bool matched =
            index < request.wildcard_matched.size() && request.wildcard_matched[index];
        if (journal != nullptr && target.found && target.kind == path_kind::regular &&
            target.identity == journal->identity() && !matched) {
            journal_named.push_back(path);
        }
        named.push_back(target);
    }
    settings.several_files |= paths.size() > 1;
    run_printer printer(out, err, settings, request.progress);
    if (!journal_named.empty()) {
        // A wrong command line: nothing is patched, and a journal made for the run is gone again.
        for (const char* path : journal_named) {
            printer.report(path, nullptr,
                           "the undo journal of this run: refusing to patch it; name another file "
                           "for --undo-log");
        }
        journal->discard();
        printer.set_usage_error();
        return {printer.status(), 0};
    }
    printer.progress.found(found);
    unsigned jobs = request.jobs;
    if (!settings.several_files) {
        jobs = 1;  // one archive or model by name: one sequential pass
    } else if (jobs == 0) {
        jobs = default_jobs(paths[0]);
    }

    {
        file_scheduler files(printer, jobs);
        walk run{printer, files, excludes, journal, {}};
        if (journal != nullptr) {
            files.keep_out(journal->identity());  // passed over, whatever its name
        }
        for (const named_path& target : named) {
            files.end_if_signalled();
            try {
                if (target.pattern && target.error != 0) {
                    files.fail(target.path, nullptr, "cannot list the folder of this pattern: %s",
                               std::strerror(target.error));
                } else if (target.pattern) {
                    files.fail(target.path, nullptr, "no file or folder matches this pattern");
                } else if (!target.found) {
                    files.fail(target.path, nullptr, "%s: %s", cannot_open(settings),
                               std::strerror(target.error));
                } else if (target.kind == path_kind::folder) {
                    walk_folder(run, nullptr, nullptr, target.path, target.relative);
                } else if (target.kind == path_kind::regular) {
                    visit_file(run, nullptr, nullptr, target.path, has_model_name(target.path));
                } else {
                    files.fail(target.path, nullptr, "not a regular file: left alone");
                }
            } catch (const std::bad_alloc&) {
                files.fail(target.path, nullptr, "not visited: %s", std::strerror(ENOMEM));
            }
        }
        files.finish();
    }
    int error = 0;
    if (journal != nullptr && !journal->close(&error)) {
        printer.report(journal->path().c_str(), nullptr, "cannot write the undo journal: %s",
                       std::strerror(error));
    }
    if (printer.wants_summary()) {
        printer.print_summary();
    }
    printer.progress.erase();
    printer.check_written(true);
    printer.end_if_signalled();
    return {printer.status(), printer.materials_whitened()};
}

}  // namespace img_whiten
