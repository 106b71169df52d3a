// The command line: the archive's path and the options recognised before it.
#ifndef IMG_WHITEN_COMMAND_LINE_H
#define IMG_WHITEN_COMMAND_LINE_H

#include <cstdio>

namespace img_whiten {

enum class command {
    nothing,      // no argument: a silent exit 0
    patch,        // ARCHIVE
    dry_run,      // --dry-run ARCHIVE, -n ARCHIVE
    help,         // --help, -h
    version,      // --version
    missing_path  // --dry-run or -n with no archive after it
};

struct command_line {
    command what;
    const char* path;  // the archive, for patch and dry_run
};

// Options count only as the first argument; any other first argument is the
// archive's path, and arguments after the path are ignored.
command_line parse_command_line(int argc, char** argv);

void print_help(std::FILE* out);
void print_version(std::FILE* out);

}  // namespace img_whiten

#endif
