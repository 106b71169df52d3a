// What a run tells: progress lines on stdout, failures on stderr, and the
// totals for the summary that ends a run over several files.
#ifndef IMG_WHITEN_OUTPUT_H
#define IMG_WHITEN_OUTPUT_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "progress.h"

namespace img_whiten {

// Exit statuses of a run.
constexpr int exit_done = 0;
constexpr int exit_failure_reported = 1;
constexpr int exit_usage = 2;         // a wrong command line
constexpr int exit_would_change = 3;  // --check: something would be whitened, nothing failed

// Progress lines on their way to stdout: whole lines only, handed to the
// system with write() where stdout is a descriptor, so that a signal that
// interrupts a write loses nothing and a run ended by a signal can still put
// out every line it owes. Owned by the thread that runs the walk.
class line_sink {
public:
    explicit line_sink(std::FILE* out);
    line_sink(const line_sink&) = delete;
    line_sink& operator=(const line_sink&) = delete;
    ~line_sink() { flush(); }

    // Takes one or more whole lines: UTF-8 text (paths), which a Windows
    // console is given as Unicode, or, with `as_bytes`, bytes as they are
    // (names from inside archives).
    void put(const std::string& lines, bool as_bytes = false);
    // Hands the system every line taken; false once stdout has failed.
    bool flush();
    bool failed() const;
    bool is_terminal() const { return line_buffered_; }
    std::FILE* stream() const { return out_; }

private:
    std::FILE* out_;
    int fd_ = -1;  // -1: through the C stream (Windows, and streams without a descriptor)
    bool line_buffered_ = false;  // a terminal: every line at once
    bool is_pipe_ = false;        // written in pieces it takes whole
    bool failed_ = false;
    bool given_up_ = false;  // the run is ending by a signal, and stdout took nothing for long
    std::string pending_;
};

// What one file's run told, in order, while files are patched side by side:
// kept until the thread that owns stdout and stderr puts it out, in walk
// order. Owned by whoever holds the file's job.
struct file_log {
    struct told {
        bool to_err;    // a message for stderr, else lines for stdout
        bool as_bytes;  // lines holding names from inside an archive
        std::string text;
    };
    std::vector<told> items;
    // Set by whoever keeps the log: waits until memory held for the files told
    // before this one can be freed; false when there is none to wait for.
    virtual bool wait_for_memory() { return false; }

protected:
    ~file_log() = default;
};

struct run_output {
    run_output(std::FILE* out_stream, std::FILE* err_stream) : out(out_stream), err(err_stream) {}
    // An output that keeps what it is told in `kept`, with the settings of `run`,
    // whose progress display it tells the bytes it reads and the file it patches.
    run_output(run_output& run, file_log* kept)
        : out(nullptr),
          err(run.err),
          dry_run(run.dry_run),
          quiet(run.quiet),
          json(run.json),
          several_files(run.several_files),
          log(kept) {
        progress.feed(run.progress);
    }

    line_sink out;
    std::FILE* err;
    bool dry_run = false;
    bool quiet = false;          // no model lines or headings: the summary and failures stay
    bool json = false;           // stdout is JSON Lines: one object per model, failure and run
    bool several_files = false;  // lines name their file, and a summary ends the run
    int status = exit_done;
    bool output_failure_reported = false;
    bool summary_printed = false;  // a signal after it ends the run without another
    std::uint64_t files_visited = 0;
    std::uint64_t models_changed = 0;
    std::uint64_t materials_whitened = 0;
    std::uint64_t bytes_read = 0;  // of models
    // Paths that had a failure reported, once each, in order: listed again after the summary.
    std::vector<std::string> failed_paths;
    bool failed_paths_incomplete = false;    // memory ran out while noting one
    std::uint64_t failed_paths_unnoted = 0;  // failures whose path there was no memory to note
    // Messages a kept output had no memory for: said, in their turn, by release().
    std::uint64_t messages_lost = 0;
    // Of a kept output, about its one file: memory ran out on the way, and
    // whether a byte of the file was handed to the system to write.
    bool memory_ran_out = false;
    bool file_written = false;
    progress_display progress;
    file_log* log = nullptr;  // set: what is told is kept there, not written
};

// Puts out what `file` kept, in the order it was told, and adds its counts,
// status and failed paths to `run`'s. A message it had no memory for is
// said as one with no memory of its own would be, naming `file_path` if given.
void release(run_output& run, run_output& file, const char* file_path = nullptr);

// The one way a failure reaches stderr: "img-whiten: <path>: [<entry>: ]<what>",
// where <what> ends in ": <reason>" when there is one. Sets the exit status.
// The path and entry name are printed with control characters escaped.
#if defined(__GNUC__)
__attribute__((format(printf, 4, 5)))
#endif
void report(run_output& output, const char* path, const char* entry_name, const char* format, ...);

// A notice on stderr that is no failure, "img-whiten: <path>: <what>": the
// exit status stays as it is, and JSON Lines on stdout hold nothing of it.
void notice(run_output& output, const char* path, const char* what);

// `name` as lines, messages and the progress display print it, so that no
// name can forge a line or drive a terminal and no two names print alike: as
// it is, unless it holds a control character (0x01 to 0x1F, 0x7F, a C1
// control U+0080 to U+009F in UTF-8, or a byte 0x80 to 0x9F that is not part
// of valid UTF-8) or begins with '"'. Such a name is printed in double quotes,
// with '"' and '\' escaped by a backslash, \n, \t and \r, other control bytes
// as \xHH and C1 controls as \u00HH; its other bytes as they are.
std::string printable(const char* name);

// "Patching NAME patched N materials", one whole line, for an archive entry
// (whose name is printed as its bytes) or, with a null entry name, for the
// loose model at `path` (whose path reads right in a console). Counted for
// the summary.
void print_model_line(run_output& output, const char* path, const char* entry_name,
                      std::int64_t count);
// "==> PATH <==" before the entries of an archive, when the run has several files.
void print_archive_heading(run_output& output, const char* path);
// The last line of a run over several files (or of any quiet or JSON run):
// what it visited and changed and, after a failure, how many paths failed,
// which stderr then lists again.
void print_summary(run_output& output);
bool wants_summary(const run_output& output);

// "Restoring PATH restored N materials": a file whose recorded words were
// put back to grey (in a dry run, would be). Not printed when quiet.
void print_restore_line(run_output& output, const char* path, std::uint64_t count);
// The last line of an undo: "Restored N files: M materials put back", and
// after a failure how many paths failed, which stderr then lists again.
void print_undo_summary(run_output& output, std::uint64_t files, std::uint64_t materials);

// Reports once, as the run's own failure (no file is to blame), that
// progress lines could not be written, if stdout has failed so far; with
// `flush`, after handing it what it still holds.
void check_progress_written(run_output& output, bool flush);

// Ends the run by the signal that arrived, if one did, after putting out
// every whole line it owes. Called after each write, between entries and
// between files: never while a write is in progress.
void end_if_signalled(run_output& output);

// True when a signal arrived and the file's run must stop here: an output
// that keeps what it is told belongs to a file patched beside others, whose
// run ends once every file in progress has stopped. Any other run ends at
// once, as end_if_signalled does.
bool interrupted(run_output& output);

}  // namespace img_whiten

#endif
