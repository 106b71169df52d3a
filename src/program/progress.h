// The progress display: one line on stderr, only when stderr is a terminal
// and the run has lasted more than a second, redrawn in place a few times a
// second and erased before anything else is written to the terminal, and at
// the end. It says how many files are done of those found so far, how many
// bytes were read, and the path being patched.
#ifndef IMG_WHITEN_PROGRESS_H
#define IMG_WHITEN_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace img_whiten {

class progress_display {
public:
    // Shows nothing unless `wanted` and `err` is a terminal.
    void start(std::FILE* err, bool wanted);
    void found(std::uint64_t files) { found_ += files; }
    void done() { ++done_; }
    void read(std::uint64_t bytes) { read_ += bytes; }
    // The path now being patched; it must outlive the next tick or erase.
    void at(const char* path) { path_ = path; }
    // Redraws the line if it is time to.
    void tick();
    // Takes the line off the terminal, if it is shown.
    void erase();

private:
    std::FILE* err_ = nullptr;  // null: no display
    unsigned columns_ = 80;
    std::chrono::steady_clock::time_point started_{}, drawn_{};
    std::uint64_t found_ = 0, done_ = 0, read_ = 0;
    const char* path_ = "";
    std::size_t shown_ = 0;  // columns the line on the terminal takes
};

}  // namespace img_whiten

#endif
