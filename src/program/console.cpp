#include "console.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>

#include "utf16.h"
#endif

namespace img_whiten {

bool console_closes_with_process(const console_facts& facts) {
    return facts.attached_processes == 1 && !facts.in_wine_terminal && facts.input_is_console &&
           facts.output_is_console && facts.error_is_console;
}

#if defined(_WIN32)

namespace {

HANDLE console_handle(std::FILE* stream) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) ? handle : nullptr;
}

}  // namespace

console_facts query_console() {
    DWORD processes[2];
    console_facts facts{};
    facts.attached_processes = static_cast<unsigned>(GetConsoleProcessList(processes, 2));
    // Wine gives a program started from a Unix terminal a console of its own.
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    facts.in_wine_terminal =
        ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    facts.input_is_console = console_handle(stdin) != nullptr;
    facts.output_is_console = console_handle(stdout) != nullptr;
    facts.error_is_console = console_handle(stderr) != nullptr;
    return facts;
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

console_facts query_console() {
    return console_facts{};
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
