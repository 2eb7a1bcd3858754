// Stands in for explorer.exe: writes its own path, then the arguments it was started with,
// one a line in UTF-8, to the file named by TAVREL_STUB_LOG, so that a test sees which
// program was started and exactly what reached it through the Windows command line. The
// file appears whole or not at all.
#include <windows.h>

#include <shellapi.h>

int wmain()
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    wchar_t log[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"TAVREL_STUB_LOG", log, MAX_PATH - 8);
    if (!argv || length == 0 || length >= MAX_PATH - 8)
        return 1;
    wchar_t part[MAX_PATH];
    lstrcpyW(part, log);
    lstrcatW(part, L".part");
    const HANDLE file =
        CreateFileW(part, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    wchar_t self[MAX_PATH];
    if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0)
        return 1;
    argv[0] = self;
    for (int i = 0; i < argc; ++i) {
        char line[4 * MAX_PATH];
        const int size =
            WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, line, sizeof line - 1, nullptr, nullptr);
        if (size <= 0)
            return 1;
        line[size - 1] = '\n';
        DWORD written = 0;
        if (!WriteFile(file, line, DWORD(size), &written, nullptr) || written != DWORD(size))
            return 1;
    }
    CloseHandle(file);
    return MoveFileExW(part, log, MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
