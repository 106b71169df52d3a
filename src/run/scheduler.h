// The scheduler: the one path every file of a walk takes, with one job or
// several. The walk hands it the files it meets (and its own failures) in
// walk order; it gathers them in batches of consecutive files, so that a
// handoff between threads is paid per batch, not per file. A batch is opened,
// claimed in walk order (so the path a one-job run would patch is the one
// patched) and patched file by file with buffers of its own: by a worker,
// or, with one job, by the walk's thread as soon as the batch is full. What
// each file tells is kept in its report and put out in walk order, by the
// walk's thread alone, so stdout and stderr read the same whatever the jobs;
// a file patched on the walk's thread with nothing owed before it is put
// out as it is told.
#ifndef IMG_WHITEN_SCHEDULER_H
#define IMG_WHITEN_SCHEDULER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "claims.h"
#include "output.h"
#include "patch_file.h"

namespace img_whiten {

class file_scheduler {
public:
    // `jobs` files at most are patched at once: by that many workers, or
    // with 1 by the walk's thread.
    file_scheduler(run_printer& printer, unsigned jobs);
    ~file_scheduler();
    file_scheduler(const file_scheduler&) = delete;
    file_scheduler& operator=(const file_scheduler&) = delete;

    // A failure of the walk, put out in walk order.
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    void
    fail(const char* path, const char* entry_name, const char* format, ...);
    // Opens, claims and patches the job's file, now or on a worker, and puts
    // out what it tells in its turn.
    void visit(file_job&& job);
    // Notes a file that must never be patched (the run's own journal, say).
    void keep_out(const file_identity& identity);
    // The walk is about to open a folder, which may take a while: files it
    // gathered are handed on now if no worker has any waiting.
    void before_folder();
    // Waits for every file in progress and puts out all that is owed; from
    // then on no file is started. Ends the run if a signal arrived.
    void finish();
    // Ends the run if a signal arrived, once every file in progress has
    // stopped and everything owed is out.
    void end_if_signalled();

private:
    struct item;
    struct batch;
    // The walk's thread alone calls these, but for work(), patch_batch(),
    // claim_in_order() and wait_for_turn(), which workers call too.
    void work();  // a worker's loop
    std::unique_ptr<batch> claim_in_order(batch& files, std::size_t window);
    void patch_batch(batch& files, model_buffers& buffers, bool here);
    item* new_item();
    void hand_out();
    void release_done();
    void wait_until_all_put_out();  // waits for every file in flight, puts it out
    bool front_done() const;        // the oldest item in flight is done, or none is left
    bool has_room() const;
    void make_room();  // waits, putting out what is done, for room for one more
    template <typename Done>
    void wait_until_done(Done done);  // redraws the display meanwhile
    // Patches the job's file on the walk's thread, put out as it is told,
    // after everything before it is out: when there was no memory to keep
    // it, or to patch it again after a worker ran short.
    void patch_here(file_job& job, bool claimed);
    void stop_workers();
    // A worker's, short of memory for the file numbered `number`: waits until
    // every file before it is put out, and so holds no memory.
    bool wait_for_turn(std::uint64_t number);

    run_printer& printer_;
    std::size_t descriptors_;                 // the process could still open when the run began
    std::size_t window_ = model_window_size;  // of each job's buffers, set before any starts
    unsigned jobs_ = 1;                       // workers started, or 1 when there are none
    // Files (and failures) told but not yet put out, at most: fewer once memory ran out.
    std::size_t most_in_flight_ = 0;
    std::size_t batch_files_ = 1;  // files handed to a worker at once
    model_buffers buffers_;        // the walk's own, for the batches it patches itself
    std::vector<std::thread> workers_;
    file_claims claims_;

    // The walk's thread alone changes these: items in walk order from the
    // oldest not yet put out (a worker reads and changes an item's state only
    // under mutex_), and the files gathered for the next batch.
    std::deque<std::unique_ptr<item>> in_flight_;
    std::unique_ptr<batch> forming_;
    std::uint64_t numbered_ = 0;  // items made so far
    // Set by a worker short of memory, taken by the walk: fewer files in flight.
    std::atomic<bool> memory_short_{false};

    // Guarded by mutex_: batches handed out and not yet claimed, in walk
    // order (a list through batch::next, the first one's turn to be claimed),
    // the first of them no worker took yet, how many items were put out, and
    // whether workers should stop. Each batch in the list is owned by the list.
    std::mutex mutex_;
    std::condition_variable work_;  // a batch waits for a worker, or workers should stop
    std::condition_variable done_;  // a batch is done: for the walk
    std::condition_variable turn_;  // a file was put out: for workers short of memory
    std::uint64_t put_out_ = 0;     // items put out (or being patched again) so far
    batch* first_ = nullptr;
    batch* last_ = nullptr;
    batch* untaken_ = nullptr;
    bool closing_ = false;
};

// How many jobs suit the files behind `path` when the command line names none.
unsigned default_jobs(const char* path);

}  // namespace img_whiten

#endif
