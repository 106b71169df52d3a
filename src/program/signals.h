// Signals that end the process by default (Ctrl+C's SIGINT, SIGTERM, SIGHUP)
// are held back while a file is being written: Linux stops a write between
// two pages when the process is killed, which could leave a colour word that
// straddles them part white. The run ends by the same signal right after the
// write in progress, as it would have before.
#ifndef IMG_WHITEN_SIGNALS_H
#define IMG_WHITEN_SIGNALS_H

namespace img_whiten {

// Catches the terminating signals; from now on they only take note.
void hold_back_terminating_signals();

// Ends the process by the signal that arrived, if one did, as it would have
// ended at once. Called after each write, between entries and between files.
void end_if_signalled();

}  // namespace img_whiten

#endif
