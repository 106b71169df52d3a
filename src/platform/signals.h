// Signals that end the process by default (Ctrl+C's SIGINT, SIGTERM, SIGHUP)
// are held back while a file is being written: Linux stops a write between
// two pages when the process is killed, which could leave a colour word that
// straddles them part white. The run ends by the same signal right after the
// write in progress, as it would have before. A second signal ends it at once.
#ifndef IMG_WHITEN_SIGNALS_H
#define IMG_WHITEN_SIGNALS_H

namespace img_whiten {

// Catches the terminating signals; from now on the first only takes note.
void hold_back_terminating_signals();

// Keeps the terminating signals off the calling thread (a worker), so that
// they reach the thread that takes note and ends the run.
void keep_terminating_signals_off_this_thread();

// The signal that arrived, or 0.
int arrived_signal();

// Lets the terminating signals end the process at once again, so that a run
// that is ending cannot be held up for good (by a stdout nobody reads).
void release_terminating_signals();

// Ends the process by the signal that arrived, as it would have ended at once.
[[noreturn]] void end_by_arrived_signal();

}  // namespace img_whiten

#endif
