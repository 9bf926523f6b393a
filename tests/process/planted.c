/* A library planted beside an installer under the name of one that the
   process might load. Loading it appends its own file name to the file named
   by PLANTED_MARKER, so a test sees every load. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        char marker[MAX_PATH];
        char name[MAX_PATH];
        DWORD n = GetEnvironmentVariableA("PLANTED_MARKER", marker, sizeof(marker));
        DWORD m = GetModuleFileNameA(instance, name, sizeof(name) - 2);
        if (n != 0 && n < sizeof(marker) && m != 0 && m < sizeof(name) - 2) {
            HANDLE file = CreateFileA(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, NULL);
            if (file != INVALID_HANDLE_VALUE) {
                DWORD written = 0;
                name[m] = '\r';
                name[m + 1] = '\n';
                WriteFile(file, name, m + 2, &written, NULL);
                CloseHandle(file);
            }
        }
    }
    return TRUE;
}
