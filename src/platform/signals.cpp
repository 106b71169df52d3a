#include "signals.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <initializer_list>

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace img_whiten {

namespace {

// Written by the handler (on the walk's thread, the only one that takes the
// signals), read by every thread; lock-free, so the handler may touch it.
std::atomic<int> arrived{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may use it");

extern "C" void take_note(int signal) {
    if (arrived != 0) {
        // A second signal: the user insists, so end as the signal would have.
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    arrived = signal;
}

}  // namespace

#if defined(_WIN32)

// A Windows console ends the process its own way; nothing to hold back.
void hold_back_terminating_signals() {}

void release_terminating_signals() {}

void keep_terminating_signals_off_this_thread() {}

#else

void hold_back_terminating_signals() {
    // Past a file-size limit (ulimit -f) a write then fails with EFBIG, is
    // reported, and any colour word it cut is put back, instead of the run
    // being killed in the middle of it.
    std::signal(SIGXFSZ, SIG_IGN);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        action.sa_handler = take_note;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // a write blocked on a pipe nobody reads returns, and the run ends
        struct sigaction before {};
        sigaction(signal, &action, &before);
        if (before.sa_handler == SIG_IGN) {
            sigaction(signal, &before, nullptr);  // ignored by whoever started us (nohup): stays so
        }
    }
}

void keep_terminating_signals_off_this_thread() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&set, signal);
    }
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void release_terminating_signals() {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        std::signal(signal, SIG_DFL);
    }
}

#endif

int arrived_signal() {
    return arrived;
}

void end_by_arrived_signal() {
    const int signal = arrived;
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    std::_Exit(128 + signal);  // not reached: the signal's default is to end the process
}

}  // namespace img_whiten
