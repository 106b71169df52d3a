#include "console.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>

#include <mutex>

#include "utf16.h"
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace img_whiten {

bool console_closes_with_process(const console_facts& facts) {
    return facts.attached_processes == 1 && facts.window_visible && facts.input_is_console &&
           facts.output_is_console && facts.error_is_console;
}

#if defined(_WIN32)

namespace {

HANDLE console_handle(std::FILE* stream) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) ? handle : nullptr;
}

// Whether the console's window exists and is shown. user32 is loaded only
// here, so that the exe imports nothing beyond kernel32 and the C runtime; if
// it cannot be, the window counts as unseen: better not to wait than to hang.
bool console_window_visible() {
    const HWND window = GetConsoleWindow();
    if (window == nullptr) {
        return false;
    }
    const HMODULE user32 = LoadLibraryW(L"user32.dll");
    if (user32 == nullptr) {
        return false;
    }
    using is_window_visible_call = BOOL(WINAPI*)(HWND);
    const auto is_window_visible = reinterpret_cast<is_window_visible_call>(
        reinterpret_cast<void (*)()>(GetProcAddress(user32, "IsWindowVisible")));
    return is_window_visible != nullptr && is_window_visible(window) != FALSE;
}

// The file to remove when the console goes, or empty: set by the program's
// thread, read by the thread the system runs the handler on.
std::mutex removal_mutex;
std::wstring removal_path;

BOOL WINAPI remove_on_close(DWORD) {
    {
        const std::lock_guard<std::mutex> lock(removal_mutex);
        if (!removal_path.empty()) {
            DeleteFileW(removal_path.c_str());
            removal_path.clear();
        }
    }
    return FALSE;  // and the process ends as it would have
}

}  // namespace

void remove_on_console_close(const char* path) {
    static const bool handled = SetConsoleCtrlHandler(remove_on_close, TRUE) != 0;
    (void)handled;
    const std::lock_guard<std::mutex> lock(removal_mutex);
    removal_path = utf8_to_wide(path);
}

void forget_on_console_close() {
    const std::lock_guard<std::mutex> lock(removal_mutex);
    removal_path.clear();
}

console_facts query_console() {
    DWORD processes[2];
    console_facts facts{};
    facts.attached_processes = static_cast<unsigned>(GetConsoleProcessList(processes, 2));
    // Only a console of its own can close with the process; only then is its window asked about.
    facts.window_visible = facts.attached_processes == 1 && console_window_visible();
    facts.input_is_console = console_handle(stdin) != nullptr;
    facts.output_is_console = console_handle(stdout) != nullptr;
    facts.error_is_console = console_handle(stderr) != nullptr;
    return facts;
}

bool is_terminal(std::FILE* stream, unsigned* columns) {
    const HANDLE console = console_handle(stream);
    if (console == nullptr) {
        return false;
    }
    // The window's width, which may be less than its buffer's: a line wider
    // than the window would scroll it sideways.
    CONSOLE_SCREEN_BUFFER_INFO info;
    const bool known = GetConsoleScreenBufferInfo(console, &info) != 0;
    const int window = known ? info.srWindow.Right - info.srWindow.Left + 1 : 0;
    *columns = window > 0                   ? static_cast<unsigned>(window)
               : known && info.dwSize.X > 0 ? static_cast<unsigned>(info.dwSize.X)
                                            : 80;
    return true;
}

void write_message(std::FILE* stream, const std::string& text) {
    const HANDLE console = console_handle(stream);
    if (console == nullptr) {
        std::fputs(text.c_str(), stream);
        return;
    }
    std::fflush(stream);
    const std::wstring wide = utf8_to_wide(text.c_str());
    DWORD written = 0;
    WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}

#else

void remove_on_console_close(const char*) {}

void forget_on_console_close() {}

console_facts query_console() {
    return console_facts{};
}

bool is_terminal(std::FILE* stream, unsigned* columns) {
    const int fd = fileno(stream);
    if (fd < 0 || isatty(fd) != 1) {
        return false;
    }
    struct winsize size {};
    *columns = ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    return true;
}

void write_message(std::FILE* stream, const std::string& text) {
    std::fputs(text.c_str(), stream);
}

#endif

void wait_for_enter(std::FILE* prompt) {
    write_message(prompt, "\nPress Enter to close this window.\n");
    std::fflush(prompt);
    int c;
    do {
        c = std::getchar();
    } while (c != EOF && c != '\n');
}

}  // namespace img_whiten
