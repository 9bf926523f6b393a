/* A "dbghelp.dll" that is not the system's: its dump is a marker text. */
#include <windows.h>

__declspec(dllexport) BOOL WINAPI MiniDumpWriteDump(HANDLE process, DWORD process_id, HANDLE file, int type,
                                                    void* exception, void* user, void* callback) {
    DWORD written = 0;
    return WriteFile(file, "PLANTED", 7, &written, NULL);
}

/* Tells a test that this library, not the system's, was loaded. */
__declspec(dllexport) int corvid_planted_marker(void) { return 1; }
