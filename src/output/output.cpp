#include "output.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <new>

#include "console.h"
#include "json.h"
#include "signals.h"

#if !defined(_WIN32)
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace img_whiten {

namespace {

// Lines are handed to the system once this much is pending.
constexpr std::size_t sink_capacity = 64 * 1024;

// The JSON summary's "format_version": fields are only ever added within
// one, and a field's meaning never changes.
constexpr int json_format_version = 1;

#if !defined(_WIN32)
// Once a signal has arrived, stdout is waited for this long at most each time
// before a piece of it is written.
constexpr int ending_patience_ms = 500;

// How much of `count` pending bytes (whole lines) to write at once: at most
// PIPE_BUF bytes that end a line, which a pipe takes whole or not at all, so
// that a reader never sees a torn line, even when the run ends by a signal
// with the pipe full. A line longer than PIPE_BUF goes whole to one write,
// which the system may take in part: should the run then end before the pipe
// takes the rest, its reader sees the line cut.
std::size_t whole_lines_for_pipe(const char* data, std::size_t count) {
    if (count <= PIPE_BUF) {
        return count;
    }
    for (std::size_t end = PIPE_BUF; end > 0; --end) {
        if (data[end - 1] == '\n') {
            return end;
        }
    }
    const void* line_end = std::memchr(data + PIPE_BUF, '\n', count - PIPE_BUF);
    return line_end != nullptr
               ? static_cast<std::size_t>(static_cast<const char*>(line_end) - data) + 1
               : count;
}
#endif

bool is_control(unsigned char c) {
    return (c >= 0x01 && c <= 0x1F) || c == 0x7F;
}

// The printed form, inside quotes, of the character that starts at `at`:
// written to `out` (room for 6 bytes), its length returned, and the bytes it
// stands for in *taken. *escaped is set when it is a control character.
std::size_t quoted_form(const char* at, char* out, std::size_t* taken, bool* escaped) {
    static const char digits[] = "0123456789abcdef";
    const auto c = static_cast<unsigned char>(at[0]);
    const std::size_t sequence = utf8_sequence(at);
    *taken = 1;
    *escaped = true;
    if (sequence == 2 && c == 0xC2 && static_cast<unsigned char>(at[1]) <= 0x9F) {
        const auto code = static_cast<unsigned char>(at[1]);  // a C1 control, U+0080 to U+009F
        std::memcpy(out, "\\u00", 4);
        out[4] = digits[code >> 4];
        out[5] = digits[code & 0xF];
        *taken = 2;
        return 6;
    }
    const char named = c == '\n' ? 'n' : c == '\t' ? 't' : c == '\r' ? 'r' : '\0';
    if (named != '\0') {
        out[0] = '\\';
        out[1] = named;
        return 2;
    }
    if (is_control(c) || (sequence == 0 && c >= 0x80 && c <= 0x9F)) {
        out[0] = '\\';
        out[1] = 'x';
        out[2] = digits[c >> 4];
        out[3] = digits[c & 0xF];
        return 4;
    }
    *escaped = false;
    if (c == '\\' || c == '"') {
        out[0] = '\\';
        out[1] = static_cast<char>(c);
        return 2;
    }
    *taken = sequence > 1 ? sequence : 1;  // a byte outside valid UTF-8 stays as it is
    std::memcpy(out, at, *taken);
    return *taken;
}

// Printed in quotes: names with a control character, and those that begin
// with '"', which would otherwise read as quoted.
bool needs_quoting(const char* name) {
    if (name[0] == '"') {
        return true;
    }
    char form[6];
    for (const char* at = name; *at != '\0';) {
        std::size_t taken = 0;
        bool escaped = false;
        quoted_form(at, form, &taken, &escaped);
        if (escaped) {
            return true;
        }
        at += taken;
    }
    return false;
}

// Hands `put` the pieces of `name` as printable() prints it; allocates nothing.
template <typename Put>
void put_printable(const char* name, Put put) {
    if (!needs_quoting(name)) {
        put(name, std::strlen(name));
        return;
    }
    put("\"", 1);
    char form[6];
    for (const char* at = name; *at != '\0';) {
        std::size_t taken = 0;
        bool escaped = false;
        put(form, quoted_form(at, form, &taken, &escaped));
        at += taken;
    }
    put("\"", 1);
}

// Appends `"key":"value"` for a path or entry name, and `"key_bytes":"base64"`
// beside it when the name is not valid UTF-8; `"key":null` for no name.
void append_name(std::string& object, const char* key, const char* name) {
    object += '"';
    object += key;
    object += "\":";
    if (name == nullptr) {
        object += "null";
        return;
    }
    if (!append_json_string(object, name)) {
        object += ",\"";
        object += key;
        object += "_bytes\":";
        object += json_bytes(name);
    }
}

}  // namespace

line_sink::line_sink(std::FILE* out) : out_(out) {
    unsigned columns = 0;
    line_buffered_ = img_whiten::is_terminal(out, &columns);
#if !defined(_WIN32)
    fd_ = fileno(out);
    struct stat info;
    is_pipe_ = fd_ >= 0 && fstat(fd_, &info) == 0 && S_ISFIFO(info.st_mode);
#endif
}

void line_sink::put(const std::string& lines, bool as_bytes) {
    if (failed_) {
        return;
    }
    if (fd_ < 0) {
        if (as_bytes) {
            std::fputs(lines.c_str(), out_);
        } else {
            write_message(out_, lines);
        }
        return;
    }
    pending_ += lines;
    if (line_buffered_ || pending_.size() >= sink_capacity) {
        flush();
    }
}

bool line_sink::flush() {
#if !defined(_WIN32)
    if (fd_ >= 0) {
        std::size_t done = 0;
        while (done < pending_.size() && !failed_) {
            std::size_t count = pending_.size() - done;
            const bool ending = arrived_signal() != 0;
            if (ending) {
                // The run is ending: what a reader does not take soon is left
                // out rather than hold the end up. A pipe that says it has
                // room takes PIPE_BUF bytes without waiting.
                pollfd ready{fd_, POLLOUT, 0};
                if (given_up_ || poll(&ready, 1, ending_patience_ms) != 1 ||
                    (ready.revents & POLLOUT) == 0) {
                    given_up_ = true;  // and for every line still to come: the run is ending
                    break;
                }
            }
            if (is_pipe_ || ending) {
                count = whole_lines_for_pipe(pending_.data() + done, count);
            }
            const ssize_t moved = write(fd_, pending_.data() + done, count);
            if (moved > 0) {
                done += static_cast<std::size_t>(moved);
            } else if (moved < 0 && errno == EINTR) {
                continue;  // a signal taken note of: carry on as the run ends
            } else if (moved < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // A stdout its owner made non-blocking: wait until it takes more.
                pollfd ready{fd_, POLLOUT, 0};
                poll(&ready, 1, -1);
            } else {
                failed_ = true;
            }
        }
        pending_.clear();
        return !failed_;
    }
#endif
    if (std::fflush(out_) != 0) {
        failed_ = true;
    }
    return !failed();
}

bool line_sink::failed() const {
    return failed_ || (fd_ < 0 && std::ferror(out_) != 0);
}

std::string printable(const char* name) {
    std::string text;
    put_printable(name, [&](const char* piece, std::size_t length) { text.append(piece, length); });
    return text;
}

namespace {

// A message there was no memory for, said with none.
void say_lost(std::FILE* err, const char* path) {
    std::fputs("img-whiten: ", err);
    if (path != nullptr) {
        put_printable(path, [&](const char* piece, std::size_t length) {
            std::fwrite(piece, 1, length, err);
        });
        std::fputs(": ", err);
    }
    std::fputs("cannot allocate memory for a message\n", err);
}

// Notes `path` in `paths` once: failures of one file are reported one after the other.
void note_path(std::vector<std::string>& paths, bool* incomplete, std::uint64_t* unnoted,
               const char* path) {
    if (path == nullptr || (!paths.empty() && paths.back() == path)) {
        return;
    }
    try {
        paths.emplace_back(path);
    } catch (const std::bad_alloc&) {
        *incomplete = true;
        ++*unnoted;
    }
}

// Hands lines to stdout: kept in the report, or put out at once when it is live.
void tell_lines(file_report& output, std::string text, bool as_bytes = false) {
    if (output.live != nullptr) {
        output.live->put_lines(text, as_bytes);
    } else {
        output.items.push_back({false, as_bytes, std::move(text)});
    }
}

void tell_message(file_report& output, const std::string& line) {
    if (output.live != nullptr) {
        output.live->put_message(line);
    } else {
        output.items.push_back({true, false, line});
    }
}

// Says what report() was given; false, having said nothing, when memory ran out.
bool say(file_report& output, const char* path, const char* entry_name, const char* format,
         std::va_list args) {
    try {
        std::string line = "img-whiten: ";
        if (path != nullptr) {
            line += printable(path);
            line += ": ";
        }
        if (entry_name != nullptr) {
            line += printable(entry_name);
            line += ": ";
        }
        const std::size_t prefix = line.size();
        std::va_list measure;
        va_copy(measure, args);
        const int length = std::vsnprintf(nullptr, 0, format, measure);
        va_end(measure);
        if (length > 0) {
            // Formatted in place: vsnprintf's terminator lands where the line end goes.
            line.resize(prefix + static_cast<std::size_t>(length) + 1);
            std::vsnprintf(&line[prefix], static_cast<std::size_t>(length) + 1, format, args);
            line.back() = '\n';
        } else {
            line += '\n';
        }
        if (output.settings.json) {
            std::string object = "{\"type\":\"error\",";
            append_name(object, "file", path);
            object += ',';
            append_name(object, "entry", entry_name);
            object += ",\"message\":";
            line.pop_back();  // the line end
            append_json_string(object, line.c_str() + prefix);
            line += '\n';
            object += "}\n";
            tell_lines(output, object);
        }
        tell_message(output, line);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

std::string index_or_null(std::uint64_t index) {
    return index == grey_material::none ? "null" : std::to_string(index);
}

// The JSON array of the first `shown` materials of a listing:
// [{"geometry":G,"material":M,"texture":T},...].
std::string listed_materials_array(const std::vector<grey_material>& listed, std::size_t shown) {
    std::string array = "[";
    for (std::size_t i = 0; i < shown; ++i) {
        const grey_material& found = listed[i];
        array += array.size() == 1 ? "{\"geometry\":" : ",{\"geometry\":";
        array += index_or_null(found.geometry) + ",\"material\":" + index_or_null(found.material);
        array += ',';
        append_name(array, "texture", found.textured ? found.texture.c_str() : nullptr);
        array += '}';
    }
    return array + "]";
}

// The lines of the first `shown` materials of a listing: "  geometry G,
// material M, texture NAME", with "no geometry", "no material list" and "no
// texture" where there is none.
std::string listed_materials_lines(const std::vector<grey_material>& listed, std::size_t shown) {
    std::string lines;
    for (std::size_t i = 0; i < shown; ++i) {
        const grey_material& found = listed[i];
        lines += found.geometry == grey_material::none
                     ? "  no geometry, "
                     : "  geometry " + std::to_string(found.geometry) + ", ";
        lines += found.material == grey_material::none
                     ? "no material list, "
                     : "material " + std::to_string(found.material) + ", ";
        if (!found.textured) {
            lines += "no texture\n";
        } else if (found.texture.empty()) {
            lines += "texture \"\"\n";
        } else {
            lines += "texture " + printable(found.texture.c_str()) + "\n";
        }
    }
    return lines;
}

// Makes every line before it tells any, so that memory running out tells none.
// With a listing, names its first `shown` materials.
void put_model_line(file_report& output, const char* path, const char* entry_name,
                    std::int64_t count, const std::vector<grey_material>* listed,
                    std::size_t shown) {
    if (output.settings.json) {
        std::string object = "{\"type\":\"model\",";
        append_name(object, "file", path);
        object += ',';
        append_name(object, "entry", entry_name);
        object += ",\"whitened\":" + std::to_string(count);
        if (listed != nullptr) {
            object += ",\"materials\":" + listed_materials_array(*listed, shown);
        }
        tell_lines(output, object + "}\n");
        return;
    }
    std::string line = "Patching ";
    line += printable(entry_name != nullptr ? entry_name : path);
    line += " patched ";
    line += std::to_string(count);
    line += " materials\n";
    // Texture names come from inside the file: bytes, as entry names are.
    std::string materials =
        listed != nullptr ? listed_materials_lines(*listed, shown) : std::string();
    // Room for the three lines first, growing as push_back would: telling them cannot fail.
    std::vector<file_report::told>& items = output.items;
    if (output.live == nullptr && items.capacity() - items.size() < 3) {
        items.reserve(std::max<std::size_t>(2 * items.size(), items.size() + 3));
    }
    if (!output.heading.empty()) {
        tell_lines(output, std::move(output.heading));
        output.heading.clear();
    }
    tell_lines(output, std::move(line), entry_name != nullptr);
    if (!materials.empty()) {
        tell_lines(output, std::move(materials), true);
    }
}

}  // namespace

void vreport(file_report& output, const char* path, const char* entry_name, const char* format,
             std::va_list args) {
    output.status = exit_failure_reported;
    note_path(output.failed_paths, &output.failed_paths_incomplete, &output.failed_paths_unnoted,
              path);
    output.memory_ran_out |= output.failed_paths_incomplete;
    std::va_list again;
    va_copy(again, args);
    // A report short of memory tries once more, when the files before its own are out.
    if (!say(output, path, entry_name, format, args) &&
        !(output.wait_for_memory() && say(output, path, entry_name, format, again))) {
        output.memory_ran_out = true;
        if (output.live != nullptr) {
            output.live->say_message_lost(path);
        } else {
            ++output.messages_lost;  // said in its turn: stderr belongs to the printer
        }
    }
    va_end(again);
}

void report(file_report& output, const char* path, const char* entry_name, const char* format,
            ...) {
    std::va_list args;
    va_start(args, format);
    vreport(output, path, entry_name, format, args);
    va_end(args);
}

void notice(file_report& output, const char* path, const char* what) {
    try {
        tell_message(output, "img-whiten: " + printable(path) + ": " + what + "\n");
    } catch (const std::bad_alloc&) {
        if (output.live != nullptr) {
            output.live->say_message_lost(path);
        } else {
            ++output.messages_lost;
        }
    }
}

void print_model_line(file_report& output, const char* path, const char* entry_name,
                      std::int64_t count, const std::vector<grey_material>* listed) {
    output.models_changed += count > 0;
    output.materials_whitened += static_cast<std::uint64_t>(count);
    if (output.settings.quiet) {
        return;
    }
    // The first `count` found are the words that reached the file (in a dry run, all of them):
    // a listing names those, and only models that have any.
    const std::size_t shown = output.settings.list && listed != nullptr
                                  ? static_cast<std::size_t>(std::min<std::uint64_t>(
                                        listed->size(), static_cast<std::uint64_t>(count)))
                                  : 0;
    if (output.settings.list && shown == 0) {
        return;
    }
    if (!output.settings.list) {
        listed = nullptr;
    }
    try {
        put_model_line(output, path, entry_name, count, listed, shown);
        return;
    } catch (const std::bad_alloc&) {
        // A report short of memory tries once more, when the files before its own are out.
        if (!output.wait_for_memory() && listed == nullptr) {
            throw;
        }
    }
    try {
        put_model_line(output, path, entry_name, count, listed, shown);
    } catch (const std::bad_alloc&) {
        if (listed == nullptr) {
            throw;
        }
        // The count holds without the listing; the model is not said to be unpatched.
        output.memory_ran_out = true;
        put_model_line(output, path, entry_name, count, nullptr, 0);
        report(output, path, entry_name, "cannot list its materials: %s", std::strerror(ENOMEM));
    }
}

void print_archive_heading(file_report& output, const char* path) {
    if (output.settings.several_files && !output.settings.quiet && !output.settings.json) {
        std::string heading = "==> " + printable(path) + " <==\n";
        if (output.settings.list) {
            output.heading = std::move(heading);
        } else {
            tell_lines(output, heading);
        }
    }
}

void print_restore_line(file_report& output, const char* path, std::uint64_t count) {
    ++output.files_visited;
    output.materials_whitened += count;
    if (output.settings.quiet) {
        return;
    }
    if (output.settings.json) {
        std::string object = "{\"type\":\"restore\",";
        append_name(object, "file", path);
        object += ",\"restored\":" + std::to_string(count) + "}\n";
        tell_lines(output, object);
        return;
    }
    tell_lines(output, "Restoring " + printable(path) + " restored " + std::to_string(count) +
                           " materials\n");
}

run_printer::run_printer(std::FILE* out, std::FILE* err, const run_settings& settings,
                         bool progress_wanted)
    : settings_(settings), out_(out), err_(err) {
    progress.start(err, progress_wanted);
}

void run_printer::put_lines(const std::string& text, bool as_bytes) {
    // The progress line comes off a terminal the two streams share.
    if (out_.is_terminal()) {
        progress.erase();
    }
    out_.put(text, as_bytes);
}

void run_printer::put_message(const std::string& line) {
    // Lines go first, so they stay whole when both streams share a terminal.
    progress.erase();
    out_.flush();
    write_message(err_, line);
    std::fflush(err_);
}

void run_printer::say_message_lost(const char* path) {
    progress.erase();
    out_.flush();
    say_lost(err_, path);
    std::fflush(err_);
}

void run_printer::note_failed_path(const char* path) {
    note_path(failed_paths_, &failed_paths_incomplete_, &failed_paths_unnoted_, path);
}

void run_printer::put_out(file_report& file, const char* file_path) {
    for (; file.messages_lost > 0; --file.messages_lost) {
        say_message_lost(file_path);
    }
    for (const file_report::told& told : file.items) {
        if (told.to_err) {
            put_message(told.text);
        } else {
            put_lines(told.text, told.as_bytes);
        }
    }
    file.items.clear();
    if (file.status != exit_done) {
        status_ = file.status;
    }
    files_visited_ += file.files_visited;
    models_changed_ += file.models_changed;
    materials_whitened_ += file.materials_whitened;
    for (const std::string& path : file.failed_paths) {
        note_failed_path(path.c_str());
    }
    failed_paths_incomplete_ |= file.failed_paths_incomplete;
    failed_paths_unnoted_ += file.failed_paths_unnoted;
}

void run_printer::report(const char* path, const char* entry_name, const char* format, ...) {
    file_report own(settings_, progress);
    own.live = this;
    std::va_list args;
    va_start(args, format);
    vreport(own, path, entry_name, format, args);
    va_end(args);
    put_out(own, path);
}

bool run_printer::wants_summary() const {
    return settings_.several_files || settings_.quiet || settings_.json || settings_.dry_run;
}

// Keeps each failed path once, where it first failed: a path named twice may
// fail twice, with other failures between.
void run_printer::drop_repeated_failures() {
    std::vector<std::string>& paths = failed_paths_;
    try {
        std::vector<std::size_t> order(paths.size());
        for (std::size_t i = 0; i < order.size(); ++i) {
            order[i] = i;
        }
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return paths[a] < paths[b]; });
        std::vector<bool> repeated(paths.size(), false);
        for (std::size_t i = 1; i < order.size(); ++i) {
            repeated[order[i]] = paths[order[i]] == paths[order[i - 1]];
        }
        std::size_t kept = 0;
        for (std::size_t i = 0; i < paths.size(); ++i) {
            if (!repeated[i]) {
                if (kept != i) {
                    paths[kept] = std::move(paths[i]);
                }
                ++kept;
            }
        }
        paths.resize(kept);
    } catch (const std::bad_alloc&) {
        // counted and listed as noted
    }
}

// The paths that failed, listed again on stderr after the summary (when
// any did), so that the last screen of a console shows them.
void run_printer::list_failed_paths() {
    if (status_ == exit_done) {
        return;
    }
    out_.flush();
    std::string list;
    for (const std::string& path : failed_paths_) {
        list += "img-whiten: failed: " + printable(path.c_str()) + "\n";
    }
    if (failed_paths_incomplete_) {
        list += "img-whiten: failed: (more paths: no memory was left to note them)\n";
    }
    write_message(err_, list);
    std::fflush(err_);
}

// The JSON summary object, with what ended the run when a `signal` did.
std::string run_printer::summary_object(int signal) const {
    std::string object = "{\"type\":\"summary\",\"files\":" + std::to_string(files_visited_);
    if (settings_.undo) {
        object += ",\"restored\":" + std::to_string(materials_whitened_);
    } else {
        object += ",\"models_changed\":" + std::to_string(models_changed_) +
                  ",\"whitened\":" + std::to_string(materials_whitened_);
    }
    object += ",\"failed\":" + std::to_string(failed_paths_.size() + failed_paths_unnoted_) +
              ",\"dry_run\":" + (settings_.dry_run ? "true" : "false") +
              ",\"format_version\":" + std::to_string(json_format_version);
    if (signal != 0) {
        const char* name = signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : nullptr;
#if defined(SIGHUP)
        name = signal == SIGHUP ? "SIGHUP" : name;
#endif
        object += ",\"interrupted\":true,\"signal\":";
        object += name != nullptr ? "\"" + std::string(name) + "\"" : std::to_string(signal);
    }
    return object + "}\n";
}

void run_printer::print_summary() {
    progress.erase();
    drop_repeated_failures();
    const auto files = static_cast<unsigned long long>(files_visited_);
    const auto models = static_cast<unsigned long long>(models_changed_);
    const auto materials = static_cast<unsigned long long>(materials_whitened_);
    const char* const file_word = files == 1 ? "file" : "files";
    const char* const model_word = models == 1 ? "model" : "models";
    const char* const material_word = materials == 1 ? "material" : "materials";
    char line[256];
    if (settings_.dry_run) {
        std::snprintf(line, sizeof line,
                      "Visited %llu %s: %llu %s would change, %llu %s would be whitened "
                      "(dry run: nothing was written)",
                      files, file_word, models, model_word, materials, material_word);
    } else {
        std::snprintf(line, sizeof line, "Visited %llu %s: %llu %s changed, %llu %s whitened",
                      files, file_word, models, model_word, materials, material_word);
    }
    const std::uint64_t failed = failed_paths_.size() + failed_paths_unnoted_;
    summary_printed_ = true;
    if (settings_.json) {
        out_.put(summary_object(0));
    } else {
        std::string text = line;
        if (status_ != exit_done) {
            text += ", " + std::to_string(failed) + " failed";
        }
        out_.put(text + "\n");
    }
    list_failed_paths();
}

void run_printer::print_undo_summary() {
    drop_repeated_failures();
    summary_printed_ = true;
    if (settings_.json) {
        out_.put(summary_object(0));
        list_failed_paths();
        return;
    }
    const std::uint64_t files = files_visited_, materials = materials_whitened_;
    std::string text =
        (settings_.dry_run ? "Checked " : "Restored ") + std::to_string(files) +
        (files == 1 ? " file: " : " files: ") + std::to_string(materials) +
        (materials == 1 ? " material " : " materials ") +
        (settings_.dry_run ? "would be put back (dry run: nothing was written)" : "put back");
    if (status_ != exit_done) {
        text += ", " + std::to_string(failed_paths_.size() + failed_paths_unnoted_) + " failed";
    }
    out_.put(text + "\n");
    list_failed_paths();
}

void run_printer::check_written(bool flush) {
    const bool flush_failed = flush && !out_.flush();
    if ((flush_failed || out_.failed()) && !output_failure_reported_) {
        output_failure_reported_ = true;
        report(nullptr, nullptr, "cannot write progress to standard output");
    }
}

void run_printer::end_if_signalled() {
    if (arrived_signal() == 0) {
        return;
    }
    // A second signal while the owed lines go out ends the run at once.
    release_terminating_signals();
    progress.erase();
    if (settings_.json && !summary_printed_) {
        // The summary ends every JSON run: this one says how far it got.
        summary_printed_ = true;
        drop_repeated_failures();
        try {
            out_.put(summary_object(arrived_signal()));
        } catch (const std::bad_alloc&) {
            // the run ends without it
        }
    }
    out_.flush();
    std::fflush(err_);
    end_by_arrived_signal();
}

}  // namespace img_whiten
