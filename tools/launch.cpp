// launch MODE PROGRAM [ARGUMENT]...: starts PROGRAM as windowless launchers,
// scripts and scheduled tasks do, or as a drop on it does, waits for it for
// at most 30 seconds with no key pressed but those asked for, and exits with
// its status, or with 99 when it had to be ended. The end-to-end tests use it
// under Wine. MODE is one of:
//   no-window   CREATE_NO_WINDOW: a console that has no window
//   detached    DETACHED_PROCESS: no console at all
//   no-handles  no standard handles: stdin, stdout and stderr are all null
//   new-console TEMP
//               CREATE_NEW_CONSOLE: a console window of its own, as files
//               dropped on an exe get (Wine gives one only on an X display),
//               with TMP and TEMP set to the folder TEMP; once a file appears
//               there, the launcher's standard input is typed into that
//               console, each newline as Enter
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr DWORD patience_ms = 30000;

bool folder_has_a_file(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    bool any = false;
    for (bool more = search != INVALID_HANDLE_VALUE; more && !any;
         more = FindNextFileW(search, &found) != 0) {
        any = std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0;
    }
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    }
    return any;
}

// Types `keys` into the console of `process` once a file appears in `folder`:
// only then, as joining the console earlier would change the count of its
// processes that the program looks at when it starts.
void type_when_a_file_appears(HANDLE process, DWORD id, const std::wstring& folder,
                              const std::string& keys, ULONGLONG started) {
    const auto gone = [&] {
        return WaitForSingleObject(process, 20) != WAIT_TIMEOUT ||
               GetTickCount64() - started > patience_ms;
    };
    while (!folder_has_a_file(folder)) {
        if (gone()) {
            return;
        }
    }
    FreeConsole();
    while (!AttachConsole(id)) {
        if (gone()) {
            return;
        }
    }
    const HANDLE input =
        CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<INPUT_RECORD> records;
    for (char key : keys) {
        for (BOOL down : {TRUE, FALSE}) {
            INPUT_RECORD record{};
            record.EventType = KEY_EVENT;
            record.Event.KeyEvent.bKeyDown = down;
            record.Event.KeyEvent.wRepeatCount = 1;
            record.Event.KeyEvent.wVirtualKeyCode =
                key == '\n' ? VK_RETURN
                            : static_cast<WORD>(VkKeyScanW(static_cast<wchar_t>(key)) & 0xFF);
            record.Event.KeyEvent.uChar.UnicodeChar =
                key == '\n' ? L'\r' : static_cast<wchar_t>(key);
            records.push_back(record);
        }
    }
    DWORD written = 0;
    if (input == INVALID_HANDLE_VALUE ||
        !WriteConsoleInputW(input, records.data(), static_cast<DWORD>(records.size()), &written)) {
        std::fprintf(stderr, "launch: cannot type into the console: error %lu\n", GetLastError());
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int program = 2;
    if (argc >= 3 && std::wcscmp(argv[1], L"new-console") == 0) {
        program = 3;
    }
    if (argc < program + 1) {
        std::fputs(
            "usage: launch no-window|detached|no-handles|new-console TEMP PROGRAM [ARGUMENT]...\n",
            stderr);
        return 2;
    }
    DWORD flags = 0;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    std::string keys;
    if (std::wcscmp(argv[1], L"no-window") == 0) {
        flags = CREATE_NO_WINDOW;
    } else if (std::wcscmp(argv[1], L"detached") == 0) {
        flags = DETACHED_PROCESS;
    } else if (std::wcscmp(argv[1], L"no-handles") == 0) {
        startup.dwFlags = STARTF_USESTDHANDLES;  // and every handle null
    } else if (program == 3) {
        flags = CREATE_NEW_CONSOLE;
        SetEnvironmentVariableW(L"TMP", argv[2]);
        SetEnvironmentVariableW(L"TEMP", argv[2]);
        for (int c; (c = std::getchar()) != EOF;) {
            keys += static_cast<char>(c);
        }
    } else {
        std::fputs("launch: unknown mode\n", stderr);
        return 2;
    }
    std::wstring command_line;
    for (int i = program; i < argc; ++i) {
        command_line += (i > program ? L" \"" : L"\"") + std::wstring(argv[i]) + L"\"";
    }
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &command_line[0], nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(stderr, "launch: cannot start: error %lu\n", GetLastError());
        return 98;
    }
    const ULONGLONG started = GetTickCount64();
    if (program == 3) {
        type_when_a_file_appears(process.hProcess, process.dwProcessId, argv[2], keys, started);
    }
    const ULONGLONG waited = GetTickCount64() - started;
    DWORD status = 99;
    if (WaitForSingleObject(process.hProcess,
                            waited < patience_ms ? static_cast<DWORD>(patience_ms - waited) : 0) ==
        WAIT_TIMEOUT) {
        std::fputs("launch: still running after 30 s: ended\n", stderr);
        TerminateProcess(process.hProcess, 99);
    } else {
        GetExitCodeProcess(process.hProcess, &status);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}
