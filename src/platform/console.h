// The console the tool runs in: messages that read right in a Windows
// console, and keeping a console window open that would close with the tool.
#ifndef IMG_WHITEN_CONSOLE_H
#define IMG_WHITEN_CONSOLE_H

#include <cstdio>
#include <string>

namespace img_whiten {

// What decides whether the console window closes with the process.
struct console_facts {
    unsigned attached_processes;  // processes sharing the console; 0 when there is none
    bool window_visible;          // the console has a window the user can see: not one made with
                                  // CREATE_NO_WINDOW, nor Wine's stand-in for a Unix terminal
    bool input_is_console;
    bool output_is_console;
    bool error_is_console;
};

// True when the console was made for this process alone (the exe was
// double-clicked or had files dropped on it), its window can be seen, and no
// stream is redirected: the window would vanish, with the result, when the
// run ends. A console nobody can see is never waited on.
bool console_closes_with_process(const console_facts& facts);

// The facts for this process; on systems without consoles of that kind, none.
console_facts query_console();

// Prints a blank line and "Press Enter to close this window." on `prompt`
// and waits for Enter (or the end of standard input).
void wait_for_enter(std::FILE* prompt);

// From now on, until forget_on_console_close(), the file at `path` is removed
// when the console's window is closed, the user logs off, the system shuts
// down, or Ctrl+C or Ctrl+Break ends the process (Windows; elsewhere nothing).
void remove_on_console_close(const char* path);
void forget_on_console_close();

// True when `stream` is a terminal (a console on Windows); its width in
// columns then goes to *columns (the window's, on Windows; 80 when it cannot be
// found out). Cheap enough to ask at each redraw of the progress line.
bool is_terminal(std::FILE* stream, unsigned* columns);

// Writes the UTF-8 `text` to `stream`: as UTF-16 when the stream is a Windows
// console, so any path reads right whatever its code page, else as bytes.
void write_message(std::FILE* stream, const std::string& text);

}  // namespace img_whiten

#endif
