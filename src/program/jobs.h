// Files patched side by side (--jobs): the walk is the only producer of
// work and hands each file it accepts to a worker that patches it whole with
// buffers of its own. What each file tells is kept and put out in walk order,
// by the walk's thread alone, so stdout and stderr read as they would with
// one job. With one job the walk patches each file itself, as it finds it.
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
    // file it is about to prepare. What it told there must then be given to
    // patch() or to told().
    run_output& next_output();
    // Patches the job, which was prepared with the output next_output() gave last.
    void patch(file_job& job);
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
    void release_done();  // walk's thread only

    run_output& run_;
    unsigned jobs_;          // 1 also when no worker thread could be started
    model_buffers buffers_;  // the walk's own, with one job
    std::vector<std::thread> workers_;

    // Guarded by mutex_: items in walk order from the oldest not yet put out,
    // items waiting for a worker, and whether workers should stop.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::unique_ptr<item>> in_flight_;
    std::deque<item*> waiting_;
    bool closing_ = false;
};

// How many jobs suit the files behind `path` when the command line names none.
unsigned default_jobs(const char* path);

}  // namespace img_whiten

#endif
