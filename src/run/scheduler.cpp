#include "scheduler.h"

#if defined(__GLIBC__)
#include <pthread.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <utility>

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

// Files handed to a worker at once: enough that handoffs cost little next to
// the files' own system calls.
constexpr std::size_t most_batch_files = 16;
// Batches whose output may wait for an earlier one, per job: more lets
// workers run ahead of a long file, fewer keeps what waits small.
constexpr std::size_t waiting_batches_per_job = 2;

// Each file in flight may hold two descriptors (its own, and its folder's once
// the walk has left that folder). has_room() keeps them, beside the walk's
// folders, within the `descriptors` the process may have; where those are
// few, the files in flight are at most a quarter of them, and the jobs fewer,
// so that each job still has two files in flight.
std::size_t most_files_in_flight(unsigned jobs, std::size_t descriptors) {
    return std::min(std::size_t{jobs} * most_batch_files * waiting_batches_per_job,
                    descriptors / 4);
}

unsigned jobs_for_descriptors(unsigned jobs, std::size_t descriptors) {
    return static_cast<unsigned>(
        std::min<std::size_t>(jobs, std::max<std::size_t>(1, descriptors / 8)));
}

// Descriptors has_room() leaves out: the standard streams, the journal, a
// folder's listing and slack.
constexpr std::size_t descriptors_kept = 8;

// Closes a candidate the claims refused: another path took it first, or
// there was no memory to note it (said, as a failure of its own).
void refuse_claim(file_report& output, file_job& job, file_claims::verdict verdict) {
    if (verdict == file_claims::verdict::out_of_memory) {
        output.memory_ran_out = true;
        report(output, job.path.c_str(), nullptr, "not patched: %s", std::strerror(ENOMEM));
    }
    close_or_report(output, job.path.c_str(), job.file);
}

std::size_t window_for(unsigned jobs) {
    // The window, a mark bit per byte of it and, at worst, a read-back as long.
    const std::size_t share = bytes_in_flight / jobs * 8 / 17;
    return std::max(smallest_window,
                    std::min(model_window_size, share / sector_size * sector_size));
}

}  // namespace

// What one file (or a failure of the walk) told, kept until its turn, and the file itself.
struct file_scheduler::item : file_report {
    item(file_scheduler& owner, std::uint64_t turn)
        : file_report(owner.printer_.settings(), owner.printer_.progress),
          scheduler(owner),
          number(turn) {
        // Only once the files before it in its batch are done: until then its
        // own worker holds them. A live report holds nothing of theirs.
        memory_wait = [this] {
            return live == nullptr && patching && scheduler.wait_for_turn(number);
        };
    }

    file_scheduler& scheduler;
    const std::uint64_t number;     // in walk order, from 1
    std::unique_ptr<file_job> job;  // set when there is a file to visit
    // Read and written by whoever patches its batch: whether it was opened as
    // one to patch, what its claim said, and whether it is being patched.
    bool candidate = false;
    file_claims::verdict verdict = file_claims::verdict::taken_already;
    bool patching = false;  // the files before it in its batch are done
    // Set before it is done: memory ran out on a worker before a byte of the
    // file was written, and the walk patches it again itself in its turn.
    bool redo = false;
    // Set by the walk until the file is handed out, then by whoever patches
    // it: read by the walk without a lock, so that putting out what is done
    // never waits on workers.
    enum class state { waiting, done };
    std::atomic<state> now{state::waiting};
};

// Consecutive files in walk order, patched together.
struct file_scheduler::batch {
    std::vector<item*> files;      // room for batch_files_, kept from the start
    batch* next = nullptr;         // the one handed out after it, while neither is claimed
    std::condition_variable turn;  // its worker waits here for the batches before it to be claimed
};

namespace {

// A worker's deepest call is a message formatted under a few frames: it needs
// little stack, and threads' default 8 MiB each would take most of what a
// memory limit leaves, so that several jobs ran short where one did not.
constexpr std::size_t worker_stack_size = std::size_t{1} << 20;

// Jobs whose stacks take at most a quarter of the address space the process
// may have, so that a memory limit leaves the rest to the walk and the files.
unsigned jobs_for_memory(unsigned jobs) {
    const std::uint64_t allowed = address_space_allowed();
    if (allowed == 0) {
        return jobs;
    }
    return static_cast<unsigned>(
        std::min<std::uint64_t>(jobs, std::max<std::uint64_t>(1, allowed / 4 / worker_stack_size)));
}

void set_worker_stack() {
#if defined(__GLIBC__)
    pthread_attr_t attributes;
    if (pthread_getattr_default_np(&attributes) == 0) {
        if (pthread_attr_setstacksize(&attributes, worker_stack_size) == 0) {
            pthread_setattr_default_np(&attributes);
        }
        pthread_attr_destroy(&attributes);
    }
#endif
}

}  // namespace

file_scheduler::file_scheduler(run_printer& printer, unsigned jobs)
    : printer_(printer), descriptors_(open_files_left()) {
    const unsigned wanted = jobs_for_memory(jobs_for_descriptors(std::max(jobs, 1u), descriptors_));
    window_ = window_for(wanted);
    buffers_.window = window_;
    set_worker_stack();
    for (unsigned i = 0; wanted > 1 && i < wanted; ++i) {
        try {
            workers_.emplace_back([this] { work(); });
        } catch (const std::exception&) {
            break;  // no room for another thread (memory, or a limit on threads): fewer jobs
        }
    }
    if (workers_.size() < 2) {
        stop_workers();  // a lone worker would only wait on the walk: it patches each batch itself
    }
    jobs_ = std::max<unsigned>(1, static_cast<unsigned>(workers_.size()));
    most_in_flight_ = most_files_in_flight(jobs_, descriptors_);
    batch_files_ = std::max<std::size_t>(
        1, std::min(most_batch_files, most_in_flight_ / waiting_batches_per_job / jobs_));
}

void file_scheduler::stop_workers() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    work_.notify_all();
    for (std::thread& worker : workers_) {
        worker.join();
    }
    workers_.clear();
}

file_scheduler::~file_scheduler() {
    stop_workers();
}

void file_scheduler::keep_out(const file_identity& identity) {
    claims_.keep_out(identity);
}

file_scheduler::item* file_scheduler::new_item() {
    make_room();
    try {
        in_flight_.push_back(std::make_unique<item>(*this, numbered_ + 1));
        ++numbered_;
        return in_flight_.back().get();
    } catch (const std::bad_alloc&) {
        // No memory to keep it: all before it goes out, and fewer are let in flight.
        wait_until_all_put_out();
        most_in_flight_ = std::max<std::size_t>(1, most_in_flight_ / 2);
        return nullptr;
    }
}

void file_scheduler::fail(const char* path, const char* entry_name, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    item* told = new_item();
    if (told != nullptr) {
        vreport(*told, path, entry_name, format, args);
        told->now = item::state::done;
    } else {
        file_report here(printer_.settings(), printer_.progress);
        here.live = &printer_;
        vreport(here, path, entry_name, format, args);
        printer_.put_out(here, path);
    }
    va_end(args);
}

void file_scheduler::wait_until_all_put_out() {
    // Put out as they are done: a worker short of memory waits for those before its file.
    for (release_done(); !in_flight_.empty(); release_done()) {
        hand_out();
        wait_until_done([this] { return front_done(); });
    }
}

bool file_scheduler::wait_for_turn(std::uint64_t number) {
    memory_short_ = true;
    std::unique_lock<std::mutex> lock(mutex_);
    turn_.wait(lock, [&] { return put_out_ + 1 >= number; });
    return true;
}

template <typename Done>
void file_scheduler::wait_until_done(Done done) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!done_.wait_for(lock, progress_redraw_interval, done)) {
        // A long file: the display goes on showing how far the workers are.
        lock.unlock();
        printer_.progress.tick();
        lock.lock();
    }
}

bool file_scheduler::front_done() const {
    // Patched on this thread by hand_out(), with one job, and put out already.
    return in_flight_.empty() || in_flight_.front()->now == item::state::done;
}

bool file_scheduler::has_room() const {
    // The walk's folders, the folders files in flight keep open, and two descriptors for each
    // of those files and the next (its own, and the anchor it is opened through).
    return in_flight_.size() < most_in_flight_ &&
           open_folders() + 2 * (in_flight_.size() + 1) + descriptors_kept <= descriptors_;
}

void file_scheduler::make_room() {
    release_done();
    if (memory_short_.exchange(false)) {
        most_in_flight_ = std::max<std::size_t>(1, most_in_flight_ / 2);  // fewer at once
    }
    // A long file holds up the output of those after it: wait rather than keep too much, or
    // hold more descriptors than the process may have.
    while (!in_flight_.empty() && !has_room()) {
        hand_out();  // what is gathered is among what there is to wait for
        wait_until_done([this] { return front_done(); });
        release_done();
    }
}

void file_scheduler::patch_here(file_job& job, bool claimed) {
    file_report here(printer_.settings(), printer_.progress);
    here.live = &printer_;
    job.output = &here;
    bool taken = false;
    if (open_candidate(job)) {
        taken = claimed;
        if (!claimed) {
            const file_claims::verdict verdict = claims_.claim(job.file.identity);
            taken = verdict == file_claims::verdict::taken;
            if (!taken) {
                refuse_claim(here, job, verdict);
            }
        }
    }
    if (taken) {
        patch_prepared_file(job, buffers_);
    }
    printer_.put_out(here, job.path.c_str());
    printer_.progress.done();
    printer_.check_written(false);
}

void file_scheduler::visit(file_job&& job) {
    item* file = new_item();
    try {
        if (file == nullptr) {
            throw std::bad_alloc();
        }
        if (forming_ == nullptr) {
            auto files = std::make_unique<batch>();
            files->files.reserve(batch_files_);
            forming_ = std::move(files);
        }
        file->job.reset(new file_job(std::move(job)));  // moved only once there is room for it
    } catch (const std::bad_alloc&) {
        // No memory to hand it on: patched on this thread, once all before it is out.
        if (file != nullptr) {
            file->now = item::state::done;
        }
        wait_until_all_put_out();
        most_in_flight_ = std::max<std::size_t>(1, most_in_flight_ / 2);
        patch_here(job, false);
        return;
    }
    file->job->output = file;
    forming_->files.push_back(file);  // within the room kept: takes no memory
    if (forming_->files.size() == batch_files_) {
        hand_out();
    }
}

void file_scheduler::hand_out() {
    if (forming_ == nullptr) {
        return;
    }
    batch* files = forming_.release();  // the list owns it now
    {
        std::lock_guard<std::mutex> lock(mutex_);
        (last_ != nullptr ? last_->next : first_) = files;
        last_ = files;
        if (untaken_ == nullptr && !workers_.empty()) {
            untaken_ = files;
        }
    }
    if (workers_.empty()) {
        patch_batch(*files, buffers_, true);  // with one job: taken at once, by the walk
        release_done();
    } else {
        work_.notify_one();
    }
}

void file_scheduler::before_folder() {
    make_room();  // for the folder and its listing, as for a file
    if (forming_ == nullptr) {
        return;
    }
    bool starving = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        starving = untaken_ == nullptr;
    }
    if (starving) {
        hand_out();
    }
}

std::unique_ptr<file_scheduler::batch> file_scheduler::claim_in_order(batch& files,
                                                                      std::size_t window) {
    for (item* file : files.files) {
        // After a signal no file is started: none is opened either.
        file->candidate = arrived_signal() == 0 && open_candidate(*file->job);
        if (window > 0 && file->candidate && file->job->model_name) {
            // Its first window is asked for now, so that the disk reads the batch's files
            // side by side while they are patched one by one (a window of 0: not).
            advise_will_read(file->job->file,
                             std::min<std::uint64_t>(file->job->file.size, window));
        }
    }
    {
        std::unique_lock<std::mutex> lock(mutex_);
        // Every batch handed out before this one was taken before it (the list
        // is first in, first out) and waits for none after it: no cycle.
        files.turn.wait(lock, [&] { return first_ == &files; });
        for (item* file : files.files) {
            if (file->candidate) {
                file->verdict = claims_.claim(file->job->file.identity);
            }
        }
        first_ = files.next;
        if (first_ == nullptr) {
            last_ = nullptr;
        } else if (first_ != untaken_) {
            // Only the next batch's worker can go on now: it alone is woken, while the lock
            // still keeps its batch from being claimed and freed.
            first_->turn.notify_one();
        }
    }
    for (item* file : files.files) {
        if (!file->candidate || file->verdict == file_claims::verdict::taken) {
            continue;  // not opened, or closed by open_candidate(); or taken
        }
        refuse_claim(*file, *file->job, file->verdict);
        file->candidate = false;
    }
    return std::unique_ptr<batch>(&files);
}

void file_scheduler::patch_batch(batch& taken, model_buffers& buffers, bool here) {
    // Read ahead only while the files were not all in the cache: a warm tree is not.
    const std::size_t ahead = std::exchange(buffers.cache_missed, false) ? buffers.window : 0;
    const std::unique_ptr<batch> files = claim_in_order(taken, ahead);
    for (item* file : files->files) {
        if (here) {
            release_done();
            if (file->items.empty() && file->messages_lost == 0) {
                file->live = &printer_;  // everything before it is out: it goes out as told
            }
        }
        if (!file->candidate) {
            // not one to patch: what it told is all there is
        } else if (arrived_signal() != 0) {
            close_file(file->job->file);  // no file is started after a signal
        } else {
            file->patching = true;
            patch_prepared_file(*file->job, buffers);
        }
        file->redo = !here && file->memory_ran_out && !file->file_written && arrived_signal() == 0;
        file->now = item::state::done;  // the walk may put it out and free it at any time now
    }
    if (!here) {
        // Taken, so that the walk either saw the files done or waits already to be woken.
        std::lock_guard<std::mutex> lock(mutex_);
    }
    done_.notify_one();  // only the walk waits for files to be done
}

void file_scheduler::work() {
    keep_terminating_signals_off_this_thread();
    model_buffers buffers;
    buffers.window = window_;
    for (;;) {
        batch* taken = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            work_.wait(lock, [this] { return closing_ || untaken_ != nullptr; });
            if (untaken_ == nullptr) {
                return;
            }
            taken = untaken_;
            untaken_ = taken->next;
        }
        patch_batch(*taken, buffers, false);
    }
}

void file_scheduler::release_done() {
    for (;;) {
        if (in_flight_.empty() || in_flight_.front()->now != item::state::done) {
            return;
        }
        // One at a time: releasing takes no memory of its own.
        const std::unique_ptr<item> file = std::move(in_flight_.front());
        in_flight_.pop_front();
        {
            // Counted out now, so that files after it that wait for memory go on.
            std::lock_guard<std::mutex> lock(mutex_);
            ++put_out_;
        }
        turn_.notify_all();
        if (file->redo) {
            // What its worker told is dropped. Not waiting for the files after it (their
            // workers may wait for this one to be out): fewer are let in flight instead.
            most_in_flight_ = std::max<std::size_t>(1, most_in_flight_ / 2);
            if (arrived_signal() == 0) {
                file_job job(std::move(*file->job));
                patch_here(job, file->verdict == file_claims::verdict::taken);
            }
        } else {
            // Written with no lock held: workers go on meanwhile.
            try {
                printer_.put_out(*file, file->job != nullptr ? file->job->path.c_str() : nullptr);
            } catch (const std::bad_alloc&) {
                // Its lines could not be kept for stdout: say so, without memory.
                printer_.say_message_lost(file->job != nullptr ? file->job->path.c_str() : nullptr);
            }
            if (file->job != nullptr) {
                printer_.progress.done();
                printer_.check_written(false);
            }
        }
        printer_.progress.tick();
    }
}

void file_scheduler::finish() {
    wait_until_all_put_out();
    printer_.end_if_signalled();
}

void file_scheduler::end_if_signalled() {
    if (arrived_signal() != 0) {
        finish();
    }
}

namespace {

// A job per processor, at least two: enough to keep every processor busy,
// while each job asks for its whole batch's reads at once, so that the disk
// is kept busy without more threads, which on few processors only contend.
// On Windows, where a file can be asked for only by reading it, the disk's
// depth comes from the jobs alone: at least 8 there.
unsigned jobs_for_processors() {
    const unsigned processors = std::thread::hardware_concurrency();
#if defined(_WIN32)
    constexpr unsigned fewest = 8;
#else
    constexpr unsigned fewest = 2;
#endif
    return std::min(16u, std::max(fewest, processors));
}

}  // namespace

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
    return jobs_for_processors();
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
                return rotational == '1' ? 1 : jobs_for_processors();
            }
        }
    }
    return jobs_for_processors();
#endif
}

}  // namespace img_whiten
