// What a run tells: progress lines on stdout, failures on stderr, and the
// totals for the summary that ends a run over several files.
#ifndef IMG_WHITEN_OUTPUT_H
#define IMG_WHITEN_OUTPUT_H

#include <cstdint>
#include <cstdio>

namespace img_whiten {

// Exit statuses of a run.
constexpr int exit_done = 0;
constexpr int exit_failure_reported = 1;
constexpr int exit_usage = 2;  // a wrong command line

struct run_output {
    std::FILE* out;
    std::FILE* err;
    bool dry_run = false;
    bool several_files = false;  // lines name their file, and a summary ends the run
    int status = exit_done;
    bool output_failure_reported = false;
    std::uint64_t files_visited = 0;
    std::uint64_t models_changed = 0;
    std::uint64_t materials_whitened = 0;
};

// The one way a failure reaches stderr: "img-whiten: <path>: [<entry>: ]<what>",
// where <what> ends in ": <reason>" when there is one. Sets the exit status.
#if defined(__GNUC__)
__attribute__((format(printf, 4, 5)))
#endif
void report(run_output& output, const char* path, const char* entry_name, const char* format, ...);

// "Patching NAME " for an archive entry, whose name is printed as its bytes.
void print_entry_start(run_output& output, const char* entry_name);
// "Patching PATH " for a loose model, whose path reads right in a console.
void print_model_start(run_output& output, const char* path);
// "patched N materials", ending the line; counted for the summary.
void print_count(run_output& output, std::int64_t count);
// "==> PATH <==" before the entries of an archive, when the run has several files.
void print_archive_heading(run_output& output, const char* path);
// The last line of a run over several files: what it visited and changed.
void print_summary(run_output& output);

// Reports once, naming `path` (or no file when null), that progress lines
// could not be written, if stdout has failed so far; with `flush`, after
// handing it what it still holds.
void check_progress_written(run_output& output, const char* path, bool flush);

}  // namespace img_whiten

#endif
