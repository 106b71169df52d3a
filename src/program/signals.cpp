#include "signals.h"

#include <csignal>
#include <initializer_list>

namespace img_whiten {

namespace {

volatile std::sig_atomic_t arrived = 0;

extern "C" void take_note(int signal) {
    arrived = signal;
}

}  // namespace

#if defined(_WIN32)

// A Windows console ends the process its own way; nothing to hold back.
void hold_back_terminating_signals() {}

#else

void hold_back_terminating_signals() {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        action.sa_handler = take_note;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // a write blocked on a pipe nobody reads returns, and the run ends
        sigaction(signal, &action, nullptr);
    }
}

#endif

void end_if_signalled() {
    const int signal = arrived;
    if (signal != 0) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
}

}  // namespace img_whiten
