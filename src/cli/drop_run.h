// A run started by files dropped on the exe, in a console window that closes
// with it: a journal of its own in the temporary folder, and at the end the
// offer to put back what the run changed.
#ifndef IMG_WHITEN_DROP_RUN_H
#define IMG_WHITEN_DROP_RUN_H

#include <cstdio>

#include "command_line.h"

namespace img_whiten {

// Whether a dropped command line gets a journal of its own: a run over paths
// that writes (no --dry-run or --check) and names no journal itself.
bool drop_keeps_journal(const command_line& line);

// Runs the program on the UTF-8 arguments as patch_archive does, with the
// journal drop_keeps_journal asks for as its --undo-log (or without one, said
// in one line, when it cannot be made). When the journal recorded something,
// offers on `prompts` to put it back, reading the answer from `answers`;
// then waits there for Enter. The journal is removed when the window closes.
int run_dropped(int argc, char** argv, std::FILE* answers, std::FILE* prompts);

}  // namespace img_whiten

#endif
