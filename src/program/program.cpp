#include "program.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "command_line.h"
#include "console.h"
#include "file_io.h"
#include "signals.h"
#include "targets.h"

namespace img_whiten {

namespace {

// --help and --version: a stdout that cannot take them is a failure, and said.
int print_or_report(void (*print)(std::FILE*)) {
    print(stdout);
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) {
        return exit_done;
    }
    const int error = errno;
    write_message(stderr, std::string("img-whiten: cannot write to standard output: ") +
                              std::strerror(error) + "\n");
    return exit_failure_reported;
}

int usage_error(const char* option, const char* what) {
    write_message(stderr,
                  std::string("img-whiten: ") + option + ": " + what + "; see img-whiten --help\n");
    return exit_usage;
}

}  // namespace

int patch_paths(const std::vector<const char*>& paths, run_mode mode, std::FILE* out,
                std::FILE* err) {
    run_output output{out, err};
    output.dry_run = mode == run_mode::dry_run;
    patch_paths(output, paths);
    return output.status;
}

int patch_archive(int argc, char** argv) {
    // Before any file is opened: no file may take the place of a closed standard stream.
    if (!occupy_closed_standard_streams()) {
        return exit_failure_reported;
    }
    hold_back_terminating_signals();
    const command_line line = parse_command_line(argc, argv);
    switch (line.what) {
        case command::nothing:
            return exit_done;
        case command::help:
            return print_or_report(print_help);
        case command::version:
            return print_or_report(print_version);
        case command::no_path:
            return usage_error(line.option, "no archive given");
        case command::bad_option:
            return usage_error(line.option, "unknown option");
        case command::patch:
            break;
    }
    return patch_paths(line.paths, line.dry_run ? run_mode::dry_run : run_mode::patch, stdout,
                       stderr);
}

}  // namespace img_whiten
