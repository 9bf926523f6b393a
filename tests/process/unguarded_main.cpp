// The bootstrapper's run without the restricted DLL search: the control that
// shows a planted library would be loaded, so that the planting test can
// fail. A Windows shell loads libraries by name while it launches a program
// (and the theme library comes with any window); Wine's launch of a wide
// command line loads none, so the control makes such loads itself, first
// thing. Built a second time with
// BOOTSTRAP_RESTRICTED_SEARCH: the same load after the bootstrapper's own
// restriction, which must keep the planted library out.
#include "bootstrap/dll_search.hpp"
#include "bootstrap/run.hpp"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
#ifdef BOOTSTRAP_RESTRICTED_SEARCH
    bootstrap::restrict_dll_search();
#endif
    ::LoadLibraryW(L"ole32.dll");
    ::LoadLibraryW(L"uxtheme.dll");
    return bootstrap::run(instance);
}
