// The progress display: one line on stderr, only when stderr is a terminal
// and the run has lasted more than a second, redrawn in place four times a
// second at most and erased before anything else is written to the terminal,
// and at the end. It says how many files are done of those found so far, how
// many bytes were read, and the path being patched.
#ifndef IMG_WHITEN_PROGRESS_H
#define IMG_WHITEN_PROGRESS_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace img_whiten {

// The display is redrawn at most once in this long.
constexpr auto progress_redraw_interval = std::chrono::milliseconds(250);

class progress_display {
public:
    // Shows nothing unless `wanted` and `err` is a terminal. The calling
    // thread draws the display, and alone counts files found and done.
    void start(std::FILE* err, bool wanted);
    void found(std::uint64_t files) { found_ += files; }
    void done() { ++done_; }
    // Bytes read, and each file being patched from at() until left(): any
    // thread may tell them. The file started last of those is shown, or
    // between files the one that left last.
    void read(std::uint64_t bytes);
    void at(const char* path);
    void left(const char* path);
    // Redraws the line if it is time to; does nothing on other threads than the drawing one.
    void tick();
    // Takes the line off the terminal, if it is shown.
    void erase();

private:
    std::FILE* err_ = nullptr;  // null: no display
    std::thread::id drawer_;
    std::chrono::steady_clock::time_point started_{}, drawn_{};
    std::uint64_t found_ = 0, done_ = 0;
    std::atomic<std::uint64_t> read_{0};
    std::mutex path_lock_;
    std::vector<std::string> paths_;  // guarded by path_lock_: files being patched, as started
    std::string last_;                // guarded by path_lock_: the last one left, when none is
    std::size_t shown_ = 0;           // columns the line on the terminal takes
};

}  // namespace img_whiten

#endif
