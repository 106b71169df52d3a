#include "jobs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "signals.h"

#if defined(_WIN32)
#include <windows.h>
#include <winioctl.h>

#include "utf16.h"
#else
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdlib>
#include <fstream>
#endif

namespace img_whiten {

namespace {

// Bytes all jobs' model windows (with their marks and read-back room) may
// take together: a job's window shrinks rather than exceed it.
constexpr std::size_t bytes_in_flight = std::size_t{60} << 20;
// A job's window is never smaller than this.
constexpr std::size_t smallest_window = std::size_t{64} << 10;
static_assert(smallest_window % sector_size == 0 && smallest_window >= 2 * sector_size,
              "a window holds the walk's next step");

// Files whose output may wait for an earlier one, per job: more lets workers
// run ahead of a long file, fewer keeps what waits small.
constexpr std::size_t waiting_files_per_job = 4;

std::size_t window_for(unsigned jobs) {
    // The window, a mark bit per byte of it and, at worst, a read-back as long.
    const std::size_t share = bytes_in_flight / jobs * 8 / 17;
    return std::max(smallest_window,
                    std::min(model_window_size, share / sector_size * sector_size));
}

}  // namespace

struct file_scheduler::item {
    explicit item(run_output& run) : output(run, &log) {}

    file_log log;
    run_output output;              // keeps what the file tells, until its turn
    std::unique_ptr<file_job> job;  // set when there is a file to visit
    std::uint64_t visit = 0;        // its number among the files handed to workers; 0: none
    std::condition_variable turn;   // its worker waits here for the files before it to be claimed
    bool claimed = false;           // to be patched; read and written by its worker alone
    enum class state { telling, waiting, working, done } now = state::telling;
};

file_scheduler::file_scheduler(run_output& run, unsigned jobs)
    : run_(run), jobs_(std::max(jobs, 1u)) {
    if (jobs_ == 1) {
        return;
    }
    for (unsigned i = 0; i < jobs_; ++i) {
        try {
            workers_.emplace_back([this] { work(); });
        } catch (const std::exception&) {
            break;  // no room for another thread (memory, or a limit on threads): fewer jobs
        }
    }
    if (workers_.empty()) {
        jobs_ = 1;  // the walk patches each file itself
    }
}

file_scheduler::~file_scheduler() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    work_.notify_all();
    for (std::thread& worker : workers_) {
        worker.join();
    }
}

run_output& file_scheduler::next_output() {
    if (jobs_ == 1) {
        return run_;
    }
    settle_last_told();
    release_done();
    {
        // A long file holds up the output of those after it: wait rather than keep too much.
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] {
            return in_flight_.size() < jobs_ * waiting_files_per_job ||
                   in_flight_.front()->now == item::state::done;
        });
    }
    release_done();
    try {
        auto next = std::make_unique<item>(run_);
        run_output& output = next->output;
        std::lock_guard<std::mutex> lock(mutex_);
        in_flight_.push_back(std::move(next));
        return output;
    } catch (const std::bad_alloc&) {
        return run_;  // no memory to keep it: told at once, and visit() patches nothing
    }
}

void file_scheduler::settle_last_told() {
    // What the walk told but handed neither to visit() nor to told() (memory ran
    // out between) is all there is of it.
    std::lock_guard<std::mutex> lock(mutex_);
    if (!in_flight_.empty() && in_flight_.back()->now == item::state::telling) {
        in_flight_.back()->now = item::state::done;
    }
}

void file_scheduler::visit(file_job& job) {
    if (jobs_ == 1) {
        if (open_candidate(job) && claim(job, seen_)) {
            patch_prepared_file(job, buffers_);
            check_progress_written(run_, job.path.c_str(), false);
        } else {
            run_.progress.done();  // not one to patch after all
        }
        return;
    }
    if (&job.output == &run_) {
        report(run_, job.path.c_str(), nullptr, "not visited: %s", std::strerror(ENOMEM));
        return;  // next_output() had no memory for it
    }
    std::unique_ptr<file_job> kept;
    try {
        kept.reset(new file_job(std::move(job)));
    } catch (const std::bad_alloc&) {
        report(job.output, job.path.c_str(), nullptr, "not visited: %s", std::strerror(ENOMEM));
        told();
        return;
    }
    {
        std::unique_lock<std::mutex> lock(mutex_);
        item& last = *in_flight_.back();
        try {
            waiting_.push_back(&last);  // first: a file numbered must be queued, or none after it
        } catch (const std::bad_alloc&) {
            lock.unlock();
            report(job.output, kept->path.c_str(), nullptr, "not visited: %s",
                   std::strerror(ENOMEM));
            told();
            return;
        }
        last.job = std::move(kept);
        last.visit = ++visits_;
        last.now = item::state::waiting;
    }
    work_.notify_one();
}

void file_scheduler::claim_in_order(item& file) {
    const bool candidate = open_candidate(*file.job);
    std::unique_lock<std::mutex> lock(mutex_);
    // Every file handed out before this one was taken by a worker before it (the
    // queue is first in, first out) and waits for none after it: no cycle.
    file.turn.wait(lock, [&] { return claims_done_ == file.visit - 1; });
    const bool taken = candidate && claim(*file.job, seen_);
    ++claims_done_;
    // Only the next file's worker can go on now: it alone is woken.
    item* next = nullptr;
    for (const std::unique_ptr<item>& other : in_flight_) {
        if (other->visit == claims_done_ + 1) {
            next = other.get();
            break;
        }
    }
    lock.unlock();
    if (next != nullptr) {
        next->turn.notify_one();
    }
    file.claimed = taken;  // if not, closed by open_candidate() or claim(): nothing to patch
}

void file_scheduler::told() {
    if (jobs_ == 1) {
        return;
    }
    settle_last_told();
}

void file_scheduler::work() {
    keep_terminating_signals_off_this_thread();
    model_buffers buffers;
    buffers.window = window_for(jobs_);
    for (;;) {
        item* next = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            work_.wait(lock, [this] { return closing_ || !waiting_.empty(); });
            if (waiting_.empty()) {
                return;
            }
            next = waiting_.front();
            waiting_.pop_front();
            next->now = item::state::working;
        }
        claim_in_order(*next);
        if (!next->claimed) {
            // not one to patch: what it told is all there is
        } else if (arrived_signal() != 0) {
            close_file(next->job->file);  // no file is started after a signal
        } else {
            patch_prepared_file(*next->job, buffers);
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            next->now = item::state::done;
        }
        done_.notify_one();  // only the walk waits for a file to be done
    }
}

void file_scheduler::release_done() {
    for (;;) {
        std::unique_ptr<item> file;  // one at a time: releasing takes no memory of its own
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (in_flight_.empty() || in_flight_.front()->now != item::state::done) {
                return;
            }
            file = std::move(in_flight_.front());
            in_flight_.pop_front();
        }
        // Written with no lock held: workers go on meanwhile.
        try {
            release(run_, file->output);
        } catch (const std::bad_alloc&) {
            // Its lines could not be kept for stdout: say so, without memory.
            run_.status = exit_failure_reported;
            std::fputs("img-whiten: lines of a file lost: out of memory\n", run_.err);
        }
        if (file->job != nullptr) {
            run_.progress.done();
            check_progress_written(run_, file->job->path.c_str(), false);
        }
        run_.progress.tick();
    }
}

void file_scheduler::finish() {
    if (jobs_ > 1) {
        settle_last_told();
        {
            std::unique_lock<std::mutex> lock(mutex_);
            done_.wait(lock, [this] {
                return std::all_of(in_flight_.begin(), in_flight_.end(),
                                   [](const std::unique_ptr<item>& file) {
                                       return file->now == item::state::done;
                                   });
            });
        }
        release_done();
    }
    img_whiten::end_if_signalled(run_);
}

void file_scheduler::end_if_signalled() {
    if (arrived_signal() != 0) {
        finish();
    }
}

unsigned default_jobs(const char* path) {
#if defined(_WIN32)
    // One reader where the volume's disk says it incurs a seek penalty (a rotational one).
    const std::wstring wide = utf8_to_wide(path);
    wchar_t volume[MAX_PATH + 1];
    if (GetVolumePathNameW(wide.c_str(), volume, MAX_PATH + 1) && volume[0] != L'\\' &&
        volume[1] == L':') {
        const std::wstring device = std::wstring(L"\\\\.\\") + volume[0] + L":";
        const HANDLE disk = CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
        if (disk != INVALID_HANDLE_VALUE) {
            STORAGE_PROPERTY_QUERY query{};
            query.PropertyId = StorageDeviceSeekPenaltyProperty;
            query.QueryType = PropertyStandardQuery;
            DEVICE_SEEK_PENALTY_DESCRIPTOR penalty{};
            DWORD returned = 0;
            const bool known =
                DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &penalty,
                                sizeof penalty, &returned, nullptr) != 0 &&
                returned >= sizeof penalty;
            CloseHandle(disk);
            if (known && penalty.IncursSeekPenalty) {
                return 1;
            }
        }
    }
    return 8;
#else
    // One reader on a rotational disk, where the system says so: many would
    // only make it seek. A virtual disk (virtio, Xen) says it of itself
    // whatever the host's media are, so its word is not taken.
    struct stat info;
    if (stat(path, &info) == 0) {
        const std::string device = "/sys/dev/block/" + std::to_string(major(info.st_dev)) + ":" +
                                   std::to_string(minor(info.st_dev));
        char* resolved = realpath(device.c_str(), nullptr);
        const bool virtual_disk = resolved != nullptr && (std::strstr(resolved, "/virtio") ||
                                                          std::strstr(resolved, "/vbd-"));
        std::free(resolved);
        for (const char* queue : {"/queue/rotational", "/../queue/rotational"}) {
            std::ifstream flag(device + queue);
            char rotational = 0;
            if (!virtual_disk && flag >> rotational) {
                return rotational == '1' ? 1 : 8;
            }
        }
    }
    return 8;
#endif
}

}  // namespace img_whiten
