#include "progress.h"

#include <new>

#include "console.h"
#include "output.h"

namespace img_whiten {

namespace {

constexpr auto delay_before_showing = std::chrono::seconds(1);

// "812 MiB": a byte count in the largest unit that keeps it at or above 1.
std::string amount(std::uint64_t bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    std::size_t unit = 0;
    double value = static_cast<double>(bytes);
    while (value >= 1024 && unit + 1 < sizeof units / sizeof units[0]) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

// Characters, not bytes, of UTF-8 text: what a terminal gives columns to, near enough.
std::size_t columns_of(const std::string& text) {
    std::size_t count = 0;
    for (const char c : text) {
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }
    return count;
}

// The last `columns` characters of `path`, after "...", when it is longer.
std::string fit(const std::string& path, std::size_t columns) {
    if (columns_of(path) <= columns) {
        return path;
    }
    if (columns <= 3) {
        return "";
    }
    std::size_t start = path.size();
    for (std::size_t kept = 0; start > 0 && kept < columns - 3;) {
        --start;
        kept += (static_cast<unsigned char>(path[start]) & 0xC0) != 0x80;
    }
    return "..." + path.substr(start);
}

}  // namespace

void progress_display::start(std::FILE* err, bool wanted) {
    unsigned columns = 0;
    err_ = wanted && is_terminal(err, &columns) ? err : nullptr;
    drawer_ = std::this_thread::get_id();
    started_ = std::chrono::steady_clock::now();
}

void progress_display::read(std::uint64_t bytes) {
    read_.fetch_add(bytes, std::memory_order_relaxed);
}

void progress_display::at(const char* path) {
    const std::lock_guard<std::mutex> lock(path_lock_);
    try {
        paths_.emplace_back(path);
    } catch (const std::bad_alloc&) {
        // not shown
    }
}

void progress_display::left(const char* path) {
    const std::lock_guard<std::mutex> lock(path_lock_);
    for (auto at = paths_.end(); at != paths_.begin();) {
        if (*--at == path) {
            if (paths_.size() == 1) {
                last_.swap(*at);  // shown until the next file starts
            }
            paths_.erase(at);
            return;
        }
    }
}

void progress_display::tick() {
    if (err_ == nullptr || std::this_thread::get_id() != drawer_) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    // After an erase too: the line comes back at the next tick, not at once.
    if (now - started_ < delay_before_showing || now - drawn_ < progress_redraw_interval) {
        return;
    }
    drawn_ = now;
    unsigned columns = 80;
    if (!is_terminal(err_, &columns)) {  // the width, read again: the window may have changed
        return;
    }
    try {
        std::string path;
        {
            const std::lock_guard<std::mutex> lock(path_lock_);
            path = paths_.empty() ? last_ : paths_.back();
        }
        std::string line = std::to_string(done_) + "/" + std::to_string(found_) + " files, " +
                           amount(read_.load(std::memory_order_relaxed)) + " read: ";
        // One column stays free, so that the cursor never wraps onto a new line.
        const std::size_t used = columns_of(line) + 1;
        line += fit(printable(path.c_str()), columns > used ? columns - used : 0);
        const std::size_t width = columns_of(line);
        // A shorter line than the one shown is drawn over a blanked one.
        const std::string text =
            (width < shown_ ? "\r" + std::string(shown_, ' ') : std::string()) + "\r" + line;
        write_message(err_, text);
        std::fflush(err_);
        shown_ = width;
    } catch (const std::bad_alloc&) {
        // not drawn this time
    }
}

void progress_display::erase() {
    if (err_ == nullptr || shown_ == 0) {
        return;
    }
    write_message(err_, "\r" + std::string(shown_, ' ') + "\r");
    std::fflush(err_);
    shown_ = 0;
}

}  // namespace img_whiten
