// Entry point of the bootstrapper, a GUI program without a window of its own.
#include "bootstrap/run.hpp"
#include "bootstrap/dll_search.hpp"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR command_line, int) {
    // Before anything can load a DLL: a bootstrapper runs from download
    // folders, where a planted DLL must never be picked up.
    bootstrap::restrict_dll_search();
    return bootstrap::run(instance, command_line ? command_line : "");
}
