#include "program.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <utility>

#include "command_line.h"
#include "console.h"
#include "file_io.h"
#include "path_list.h"
#include "signals.h"
#include "undo.h"
#include "undo_journal.h"
#include "walk.h"
#include "wildcards.h"

namespace img_whiten {

namespace {

// --help and --version: a stdout that cannot take them is a failure, and said.
int print_or_report(void (*print)(std::FILE*)) {
    print(stdout);
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) {
        return exit_done;
    }
    const int error = errno;
    write_message(stderr, std::string("img-whiten: cannot write to standard output: ") +
                              std::strerror(error) + "\n");
    return exit_failure_reported;
}

int usage_error(const std::string& option, const std::string& what) {
    const std::string at = option.empty() ? "" : option + ": ";
    write_message(stderr, "img-whiten: " + at + what + "; see img-whiten --help\n");
    return exit_usage;
}

// Appends the paths of the --files-from list to `paths`; `listed` holds them.
bool add_listed_paths(const command_line& line, std::vector<std::string>* listed,
                      std::vector<const char*>* paths) {
    std::string reason;
    if (!read_path_list(line.files_from, line.null_separated, listed, &reason)) {
        run_printer(stdout, stderr, {}, false)
            .report(line.files_from, nullptr, "cannot read the list of paths: %s", reason.c_str());
        return false;
    }
    for (const std::string& path : *listed) {
        paths->push_back(path.c_str());
    }
    return true;
}

// Opens the journal of --undo-log before anything is patched; false (reported) when it cannot be.
bool open_journal_or_report(undo_journal& journal, const char* path) {
    const journal_open status = journal.open(path);
    const int error = errno;
    run_printer printer(stdout, stderr, {}, false);
    switch (status) {
        case journal_open::opened:
            return true;
        case journal_open::in_use:
            printer.report(path, nullptr,
                           "cannot open the undo journal: in use by another program: %s",
                           in_use_reason());
            break;
        case journal_open::not_regular:
            printer.report(path, nullptr, "cannot open the undo journal: not a regular file");
            break;
        case journal_open::not_a_journal:
            printer.report(
                path, nullptr,
                "not an undo journal (it does not begin with one): refusing to append to it; "
                "name a new file for --undo-log");
            break;
        case journal_open::failed:
            printer.report(path, nullptr, "cannot open the undo journal: %s", std::strerror(error));
            break;
    }
    return false;
}

#if defined(_WIN32)
// Windows shells hand * and ? over as typed: each path with them becomes the
// paths it matches, kept in `matched` and noted in `request`; one matching
// nothing stays, noted there too. Paths after -- too, as a Windows name cannot hold either.
void expand_wildcards(std::vector<const char*>* paths, std::deque<std::string>* matched,
                      run_request* request) {
    std::vector<const char*> expanded;
    std::vector<bool>& from_wildcard = request->wildcard_matched;
    for (const char* path : *paths) {
        std::vector<std::string> matches;
        from_wildcard.resize(expanded.size());
        if (!has_wildcard(path)) {
            expanded.push_back(path);
        } else if (!expand_wildcard(path, &matches)) {
            expanded.push_back(path);
            request->unmatched.emplace_back(path, errno);
        } else if (matches.empty()) {
            expanded.push_back(path);
            request->unmatched.emplace_back(path, 0);
        } else {
            for (std::string& match : matches) {
                matched->push_back(std::move(match));
                expanded.push_back(matched->back().c_str());
            }
            from_wildcard.resize(expanded.size(), true);
        }
    }
    paths->swap(expanded);
}
#endif

}  // namespace

int patch_archive(int argc, char** argv) {
    // Before any file is opened: no file may take the place of a closed standard stream.
    if (!occupy_closed_standard_streams()) {
        return exit_failure_reported;
    }
    const command_line line = parse_command_line(argc, argv);
    switch (line.what) {
        case command::help:
            return print_or_report(print_help);
        case command::version:
            return print_or_report(print_version);
        case command::no_path:
            return usage_error("", "no path given");
        case command::bad_option:
            return usage_error(line.option, line.problem);
        case command::undo:
            hold_back_terminating_signals();
            {
                run_settings settings;
                settings.dry_run = line.dry_run;
                settings.quiet = line.quiet;
                settings.json = line.json;
                return undo_from_journal(line.undo, settings, stdout, stderr);
            }
        case command::patch:
            break;
    }
    run_request request;
    request.settings.dry_run = line.dry_run;
    request.settings.quiet = line.quiet;
    request.settings.json = line.json;
    request.settings.list = line.list;
    request.progress = line.progress;
    request.jobs = line.jobs;
    for (const std::string& pattern : line.excludes) {
        request.excludes.add(pattern);
    }
    std::vector<const char*> paths = line.paths;
    std::deque<std::string> matched;  // the paths wildcards matched; a deque never moves them
#if defined(_WIN32)
    expand_wildcards(&paths, &matched, &request);
#endif
    request.first_listed = paths.size();
    std::vector<std::string> listed;
    // A list that cannot be read is a wrong command line: nothing has run yet.
    if (line.files_from != nullptr && !add_listed_paths(line, &listed, &paths)) {
        return exit_usage;
    }
    // Opened before the walk, so that it is never taken for a file to patch.
    undo_journal journal;
    if (line.undo_log != nullptr) {
        if (!open_journal_or_report(journal, line.undo_log)) {
            return exit_usage;
        }
        request.journal = &journal;
    }
    // Only now: a list read from a terminal or a pipe stays interruptible.
    hold_back_terminating_signals();
    const run_result result = patch_paths(paths, request, stdout, stderr);
    if (line.check && result.status == exit_done && result.materials_whitened > 0) {
        return exit_would_change;
    }
    return result.status;
}

}  // namespace img_whiten
