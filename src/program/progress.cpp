#include "progress.h"

#include "console.h"

namespace img_whiten {

namespace {

constexpr auto delay_before_showing = std::chrono::seconds(1);
constexpr auto redraw_interval = std::chrono::milliseconds(250);

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
    err_ = wanted && is_terminal(err, &columns_) ? err : nullptr;
    started_ = std::chrono::steady_clock::now();
}

void progress_display::tick() {
    if (err_ == nullptr) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - started_ < delay_before_showing || (shown_ > 0 && now - drawn_ < redraw_interval)) {
        return;
    }
    drawn_ = now;
    std::string line = std::to_string(done_) + "/" + std::to_string(found_) + " files, " +
                       amount(read_) + " read: ";
    // One column stays free, so that the cursor never wraps onto a new line.
    const std::size_t room = columns_ > columns_of(line) + 1 ? columns_ - columns_of(line) - 1 : 0;
    std::string path;
    for (const char* at = path_; *at != '\0'; ++at) {
        const auto c = static_cast<unsigned char>(*at);
        path += c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);  // never a control character
    }
    line += fit(path, room);
    const std::size_t width = columns_of(line);
    std::string text = "\r" + line;
    if (width < shown_) {
        text += std::string(shown_ - width, ' ') + "\r" + line;
    }
    write_message(err_, text);
    std::fflush(err_);
    shown_ = width;
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
