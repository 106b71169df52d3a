// Files patched side by side (--jobs): the walk is the only producer of
// work and hands the files it meets to workers in batches of consecutive
// files, so that a handoff between threads is paid per batch, not per file.
// A worker opens its batch, claims it in walk order (so the path a one-job
// run would patch is the one patched) and patches each file whole with
// buffers of its own. What each file tells is kept and put out in walk
// order, by the walk's thread alone, so stdout and stderr read as they would
// with one job. With one job the walk opens and patches each file itself, as
// it finds it.
#ifndef IMG_WHITEN_JOBS_H
#define IMG_WHITEN_JOBS_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "output.h"
#include "patch_file.h"

namespace img_whiten {

class file_scheduler {
public:
    // `jobs` files at most are patched at once; 1 patches them one by one.
    file_scheduler(run_output& run, unsigned jobs);
    ~file_scheduler();
    file_scheduler(const file_scheduler&) = delete;
    file_scheduler& operator=(const file_scheduler&) = delete;

    // Where the walk tells what comes next in walk order: a failure, or a
    // file it is about to visit. What it told there must then be given to
    // visit() or to told().
    run_output& next_output();
    // Opens, claims and patches the job's file, made with the output
    // next_output() gave last: now, or on a worker.
    void visit(file_job& job);
    // Notes a file that must never be patched (the run's own journal, say).
    void keep_out(const file_identity& identity);
    // Nothing to patch for what the last next_output() was for.
    void told();
    // The walk is about to open a folder, which may take a while: files it
    // gathered are handed on now if no worker has any waiting.
    void before_folder();
    // Waits for every file in progress and puts out all that is owed; from
    // then on no file is started. Ends the run if a signal arrived.
    void finish();
    // Ends the run if a signal arrived, once every file in progress has stopped
    // and everything owed is out.
    void end_if_signalled();

private:
    struct item;
    struct batch;
    void work();
    std::unique_ptr<batch> claim_in_order(batch& files, std::size_t window);  // a worker's
    void hand_out();                                                          // walk's thread only
    void release_done();                                                      // walk's thread only
    void settle_last_told();                                                  // walk's thread only
    void put_out_all();     // walk's thread only: waits for every file in flight, puts it out
    bool has_room() const;  // walk's thread only: for one more file in flight
    void make_room();       // walk's thread only: waits, putting out what is done, for room
    template <typename Done>
    void wait_until_done(Done done);  // walk's thread only: redraws the display meanwhile
    // Walk's thread only: opens, claims (unless `claimed`) and patches the
    // job's file itself, its output going straight to the run's.
    void patch_here(file_job& job, bool claimed);
    void patch_again_here(item& file);  // walk's thread only
    void stop_workers();
    // A worker's, short of memory for the file numbered `number`: waits until
    // every file before it is put out, and so holds no memory.
    bool wait_for_turn(std::uint64_t number);

    run_output& run_;
    std::size_t descriptors_;                 // the process could still open when the run began
    std::size_t window_ = model_window_size;  // of each worker's buffers, set before any starts
    // Workers started; 1 when fewer than two could be (memory, a limit on
    // threads) or descriptors are few: the walk then patches each file itself.
    unsigned jobs_ = 1;
    // Files (and failures) told but not yet put out, at most: fewer once memory ran out.
    std::size_t most_in_flight_ = 0;
    std::size_t batch_files_ = 1;  // files handed to a worker at once
    model_buffers buffers_;        // the walk's own, for the files it patches itself
    std::vector<std::thread> workers_;

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
    // the first of them no worker took yet, the files claimed, how many files
    // were put out, and whether workers should stop. Each batch in the list is owned by the list.
    std::mutex mutex_;
    std::condition_variable work_;  // a batch waits for a worker, or workers should stop
    std::condition_variable done_;  // a batch is done: for the walk
    std::condition_variable turn_;  // a file was put out: for workers short of memory
    std::uint64_t put_out_ = 0;     // items put out (or being patched again) so far
    batch* first_ = nullptr;
    batch* last_ = nullptr;
    batch* untaken_ = nullptr;
    bool closing_ = false;
    seen_files seen_;  // files claimed; with one job, the walk's alone
};

// How many jobs suit the files behind `path` when the command line names none.
unsigned default_jobs(const char* path);

}  // namespace img_whiten

#endif
