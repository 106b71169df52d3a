// Files patched side by side (--jobs): the walk is the only producer of
// work and hands each file it meets to a worker, which opens it, claims it
// in walk order (so the path a one-job run would patch is the one patched)
// and patches it whole with buffers of its own. What each file tells is kept
// and put out in walk order, by the walk's thread alone, so stdout and
// stderr read as they would with one job. With one job the walk opens and
// patches each file itself, as it finds it.
#ifndef IMG_WHITEN_JOBS_H
#define IMG_WHITEN_JOBS_H

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "file_run.h"
#include "output.h"

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
    void keep_out(const file_identity& identity) { seen_.add(identity); }
    // Nothing to patch for what the last next_output() was for.
    void told();
    // Waits for every file in progress and puts out all that is owed; from
    // then on no file is started. Ends the run if a signal arrived.
    void finish();
    // Ends the run if a signal arrived, once every file in progress has stopped
    // and everything owed is out.
    void end_if_signalled();

private:
    struct item;
    void work();
    void claim_in_order(item& file);  // a worker's, before it patches
    void release_done();              // walk's thread only
    void settle_last_told();          // walk's thread only

    run_output& run_;
    unsigned jobs_;          // 1 also when no worker thread could be started
    model_buffers buffers_;  // the walk's own, with one job
    std::vector<std::thread> workers_;

    // Guarded by mutex_: items in walk order from the oldest not yet put out,
    // items waiting for a worker, and whether workers should stop.
    std::mutex mutex_;
    std::condition_variable work_;  // a file waits for a worker, or workers should stop
    std::condition_variable done_;  // a file is done: for the walk
    std::deque<std::unique_ptr<item>> in_flight_;
    std::deque<item*> waiting_;
    bool closing_ = false;
    seen_files seen_;                // files claimed; with one job, the walk's alone
    std::uint64_t visits_ = 0;       // files handed to workers, numbered from 1
    std::uint64_t claims_done_ = 0;  // files claimed (or not) so far, in that order
};

// How many jobs suit the files behind `path` when the command line names none.
unsigned default_jobs(const char* path);

}  // namespace img_whiten

#endif
