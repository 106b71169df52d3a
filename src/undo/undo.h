// --undo JOURNAL: every word the journal recorded that is white now goes
// back to grey, in place, newest record first; a file that is no longer the
// one recorded is left alone.
#ifndef IMG_WHITEN_UNDO_H
#define IMG_WHITEN_UNDO_H

#include <cstdio>

#include "output.h"

namespace img_whiten {

// Puts back what the journal at `journal_path` recorded, printing one line
// (with settings.json, one object) per file to `out` (none when quiet) and a
// summary, and failures to `err`; a dry run writes nothing. Returns
// exit_done, exit_failure_reported, or exit_usage (said on `err` alone) when
// the journal cannot be opened or read.
int undo_from_journal(const char* journal_path, const run_settings& settings, std::FILE* out,
                      std::FILE* err);

}  // namespace img_whiten

#endif
