// The patch run: opens an archive for update, whitens the grey materials of
// every model entry, writes back the entries it changed, and reports.
#ifndef IMG_WHITEN_PATCH_RUN_H
#define IMG_WHITEN_PATCH_RUN_H

#include <cstdio>

namespace img_whiten {

// Exit statuses of a run.
constexpr int exit_done = 0;
constexpr int exit_failure_reported = 1;
constexpr int exit_usage = 2;  // an option without its archive

enum class run_mode {
    patch,    // write back what changed
    dry_run,  // open read-only and write nothing, printing what a real run would
};

// Patches the archive at the UTF-8 `path`, printing one progress line per
// model entry to `out` and every failure to `err`. Returns exit_done, or
// exit_failure_reported when it wrote a failure to `err`.
int patch_archive_file(const char* path, std::FILE* out, std::FILE* err,
                       run_mode mode = run_mode::patch);

// The program, on UTF-8 arguments: argv[1] is an option or the archive's
// path, arguments after the path are ignored, and no argument at all is a
// silent exit_done.
int patch_archive(int argc, char** argv);

}  // namespace img_whiten

#endif
