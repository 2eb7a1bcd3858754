// Stands in for explorer.exe: writes its own path, then the arguments it was started with,
// one a line in UTF-8, to the file named by TAVREL_STUB_LOG, so that a test sees which
// program was started and exactly what reached it through the Windows command line. The
// file appears whole or not at all.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>

int wmain()
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    wchar_t log[MAX_PATH], part[MAX_PATH + 8], self[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"TAVREL_STUB_LOG", log, MAX_PATH);
    if (!argv || length == 0 || length >= MAX_PATH || GetModuleFileNameW(nullptr, self, MAX_PATH) == 0)
        return 1;
    argv[0] = self;
    lstrcpyW(part, log);
    lstrcatW(part, L".part");
    FILE *file = _wfopen(part, L"wb");
    for (int i = 0; file && i < argc; ++i) {
        char line[4 * MAX_PATH];
        if (WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, line, sizeof line, nullptr, nullptr) <= 0 ||
            std::fprintf(file, "%s\n", line) < 0)
            return 1;
    }
    return file && std::fclose(file) == 0 && MoveFileExW(part, log, MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
