// What a run tells, in three parts: the run's settings; a file's report (its
// lines for stdout, its messages for stderr, its counts), which is all that
// patching and undo see; and the run's printer, which puts reports out in
// order beside the progress display and ends the run with its summary.
#ifndef IMG_WHITEN_OUTPUT_H
#define IMG_WHITEN_OUTPUT_H

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "material_walk.h"
#include "progress.h"

namespace img_whiten {

// Exit statuses of a run.
constexpr int exit_done = 0;
constexpr int exit_failure_reported = 1;
constexpr int exit_usage = 2;         // a wrong command line
constexpr int exit_would_change = 3;  // --check: something would be whitened, nothing failed

// Lines on their way to stdout: whole lines only, handed to the
// system with write() where stdout is a descriptor, so that a signal that
// interrupts a write loses nothing and a run ended by a signal can still put
// out every line it owes. Owned by the run's printer.
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

private:
    std::FILE* out_;
    int fd_ = -1;  // -1: through the C stream (Windows, and streams without a descriptor)
    bool line_buffered_ = false;  // a terminal: every line at once
    bool is_pipe_ = false;        // written in pieces it takes whole
    bool failed_ = false;
    bool given_up_ = false;  // the run is ending by a signal, and stdout took nothing for long
    std::string pending_;
};

// The run's settings: fixed before the first file is visited, read by whoever needs them.
struct run_settings {
    bool dry_run = false;
    bool quiet = false;          // no model lines or headings: the summary and failures stay
    bool json = false;           // stdout is JSON Lines: one object per model, failure and run
    bool several_files = false;  // lines name their file, and a summary ends the run
    bool list = false;           // only models with grey materials, each with where they sit
    bool undo = false;           // an --undo run: its counts are of files and materials put back
};

class run_printer;

// What one file tells, in order (its lines and messages), and its counts:
// all that patching and undo code see of the run's output. Kept until the
// run's printer puts it out, in walk order; or, while `live` is set, put out
// as it is told. Owned by whoever holds the file.
struct file_report {
    struct told {
        bool to_err;    // a message for stderr, else lines for stdout
        bool as_bytes;  // lines holding names from inside an archive
        std::string text;
    };

    file_report(const run_settings& run, progress_display& display)
        : settings(run), progress(display) {}
    file_report(const file_report&) = delete;
    file_report& operator=(const file_report&) = delete;
    // Waits until memory held for the files told before this one can be
    // freed; false when there is none to wait for.
    bool wait_for_memory() const { return memory_wait && memory_wait(); }
    // What the progress display shows: the file being patched from started()
    // to finished(), and the bytes read. Any thread may tell it.
    void started(const char* path) {
        progress.at(path);
        progress.tick();
    }
    void finished(const char* path) { progress.left(path); }
    void read(std::uint64_t bytes) {
        progress.read(bytes);
        progress.tick();
    }

    const run_settings& settings;
    progress_display& progress;  // the run's, told through started(), finished() and read()
    // Set (by the scheduler, or by undo) while the file is patched (or put
    // back) on the printer's thread and nothing told before it is still
    // owed: what it tells goes out at once.
    run_printer* live = nullptr;
    std::function<bool()> memory_wait;  // set by the scheduler for a file patched beside others
    std::vector<told> items;
    // With --list, an archive's heading: told before its first listed model, if any.
    std::string heading;
    int status = exit_done;
    std::uint64_t files_visited = 0;
    std::uint64_t models_changed = 0;
    std::uint64_t materials_whitened = 0;
    // Paths that had a failure reported, once each, in order.
    std::vector<std::string> failed_paths;
    bool failed_paths_incomplete = false;    // memory ran out while noting one
    std::uint64_t failed_paths_unnoted = 0;  // failures whose path there was no memory to note
    std::uint64_t messages_lost = 0;         // messages there was no memory for
    // Memory ran out on the way, and whether a byte of the file was handed
    // to the system to write: the scheduler may patch it again.
    bool memory_ran_out = false;
    bool file_written = false;
};

// The run's printer: stdout's lines, stderr's messages, the progress display,
// the totals, the failed list, the summary, and the end by a signal. Used by
// the thread that walks (or undoes) alone.
class run_printer {
public:
    // Shows the progress display on `err` if `progress` and it is a terminal.
    run_printer(std::FILE* out, std::FILE* err, const run_settings& settings, bool progress);
    run_printer(const run_printer&) = delete;
    run_printer& operator=(const run_printer&) = delete;

    // Puts out what `file` kept, in the order it was told, and adds its
    // counts, status and failed paths to the run's. A message it had no
    // memory for is said as one with no memory of its own would be, naming
    // `file_path` if given.
    void put_out(file_report& file, const char* file_path = nullptr);
    // A failure of the run itself, or of a path before any file report is
    // made for it, said at once.
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    void
    report(const char* path, const char* entry_name, const char* format, ...);
    // The last line of a run over several files (or of any quiet or JSON run):
    // what it visited and changed and, after a failure, how many paths failed,
    // which stderr then lists again.
    void print_summary();
    bool wants_summary() const;
    // The last line of an undo: "Restored N files: M materials put back", and
    // after a failure how many paths failed, which stderr then lists again
    // (with --json, the summary object).
    void print_undo_summary();
    // Reports once, as the run's own failure (no file is to blame), that
    // progress lines could not be written, if stdout has failed so far; with
    // `flush`, after handing it what it still holds.
    void check_written(bool flush);
    // Ends the run by the signal that arrived, if one did, after putting out
    // every whole line it owes. Called between files and after the last.
    void end_if_signalled();
    // A wrong command line found before anything was patched.
    void set_usage_error() {
        status_ = exit_usage;
    }

    int status() const {
        return status_;
    }
    std::uint64_t materials_whitened() const {
        return materials_whitened_;
    }
    const run_settings& settings() const {
        return settings_;
    }

    progress_display progress;

    // A live file report's lines and messages, as it tells them.
    void put_lines(const std::string& text, bool as_bytes);
    void put_message(const std::string& line);
    void say_message_lost(const char* path);

private:
    void note_failed_path(const char* path);
    void drop_repeated_failures();
    void list_failed_paths();
    std::string summary_object(int signal) const;

    const run_settings settings_;
    line_sink out_;
    std::FILE* err_;
    int status_ = exit_done;
    bool output_failure_reported_ = false;
    bool summary_printed_ = false;  // a signal after it ends the run without another
    // In an undo: the files and materials put back.
    std::uint64_t files_visited_ = 0;
    std::uint64_t models_changed_ = 0;
    std::uint64_t materials_whitened_ = 0;
    // Paths that had a failure reported, once each, in order: listed again after the summary.
    std::vector<std::string> failed_paths_;
    bool failed_paths_incomplete_ = false;
    std::uint64_t failed_paths_unnoted_ = 0;
};

// The one way a failure reaches stderr: "img-whiten: <path>: [<entry>: ]<what>",
// where <what> ends in ": <reason>" when there is one. Sets the exit status.
// The path and entry name are printed with control characters escaped.
#if defined(__GNUC__)
__attribute__((format(printf, 4, 5)))
#endif
void report(file_report& output, const char* path, const char* entry_name, const char* format,
            ...);
void vreport(file_report& output, const char* path, const char* entry_name, const char* format,
             std::va_list args);

// A notice on stderr that is no failure, "img-whiten: <path>: <what>": the
// exit status stays as it is, and JSON Lines on stdout hold nothing of it.
void notice(file_report& output, const char* path, const char* what);

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
// the summary. With --list, only for a model with grey Materials written (in
// a dry run: found), followed by a line for each of them, the first `count`
// of `listed`: "  geometry G, material M, texture NAME" (with no memory for
// those, the line alone, and that is reported).
void print_model_line(file_report& output, const char* path, const char* entry_name,
                      std::int64_t count, const std::vector<grey_material>* listed = nullptr);
// "==> PATH <==" before the entries of an archive, when the run has several
// files; with --list, only before the first model listed.
void print_archive_heading(file_report& output, const char* path);
// "Restoring PATH restored N materials": a file whose recorded words were
// put back to grey (in a dry run, would be). Not printed when quiet.
// Counted for the summary, as a file visited and its materials.
void print_restore_line(file_report& output, const char* path, std::uint64_t count);

}  // namespace img_whiten

#endif
