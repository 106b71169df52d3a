#include "drop_run.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "console.h"
#include "file_io.h"
#include "output.h"
#include "program.h"

namespace img_whiten {

namespace {

// A line from `answers`, without its line ending; false at the end of input.
bool read_answer(std::FILE* answers, std::string* answer) {
    answer->clear();
    int c;
    while ((c = std::fgetc(answers)) != EOF && c != '\n') {
        if (c != '\r' && c != ' ' && c != '\t') {
            *answer += static_cast<char>(c);
        }
    }
    return c != EOF || !answer->empty();
}

// Whether the journal holds no record. A write that failed may still have
// whitened words the run could not count: its record is what puts them back.
bool journal_is_empty(const char* path) {
    open_file file;
    if (open_named_file(path, &file) != open_status::opened) {
        return false;
    }
    const bool empty = file.size == 0;
    close_file(file);
    return empty;
}

void say(std::FILE* prompts, const char* text) {
    std::fflush(stdout);
    write_message(prompts, text);
    std::fflush(prompts);
}

}  // namespace

bool drop_keeps_journal(const command_line& line) {
    return line.what == command::patch && line.undo_log == nullptr && !line.dry_run;
}

int run_dropped(int argc, char** argv, std::FILE* answers, std::FILE* prompts) {
    std::string journal;
    bool journaled = drop_keeps_journal(parse_command_line(argc, argv));
    if (journaled && !create_temp_file("img-whiten", &journal)) {
        const int error = errno;  // before the printer asks about the terminal
        run_printer(stdout, prompts, {}, false)
            .report(journal.c_str(), nullptr,
                    "cannot create a journal for this run: %s; running without one",
                    std::strerror(error));
        journaled = false;
    }
    std::vector<char*> args(argv, argv + argc);
    std::string undo_log = "--undo-log";
    if (journaled) {
        args.insert(args.begin() + 1, {&undo_log[0], &journal[0]});
    }
    int status = patch_archive(static_cast<int>(args.size()), args.data());
    if (journaled && journal_is_empty(journal.c_str())) {
        remove_file(journal.c_str());  // nothing in it to put back
        journaled = false;
    }
    std::string answer;
    if (journaled) {
        remove_on_console_close(journal.c_str());
        say(prompts,
            "\nPress U then Enter to put back what this run changed, or Enter to close.\n");
        if (read_answer(answers, &answer) && (answer == "U" || answer == "u")) {
            // While it puts back, the journal is the record of what is still to be.
            forget_on_console_close();
            std::string undo = "--undo";
            char* undo_args[] = {argv[0], &undo[0], &journal[0], nullptr};
            const int undone = patch_archive(3, undo_args);
            status = undone != exit_done ? undone : status;
            if (undone != exit_done) {
                run_printer(stdout, prompts, {}, false)
                    .report(journal.c_str(), nullptr,
                            "kept: img-whiten --undo with this journal tries again");
                journaled = false;
            } else {
                remove_on_console_close(journal.c_str());
            }
            say(prompts, "\nPress Enter to close this window.\n");
            read_answer(answers, &answer);
        }
    } else {
        say(prompts, "\nPress Enter to close this window.\n");
        read_answer(answers, &answer);
    }
    if (journaled) {
        forget_on_console_close();
        remove_file(journal.c_str());
    }
    return status;
}

}  // namespace img_whiten
