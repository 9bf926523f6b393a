// Entry point of the bootstrapper, a GUI program without a window of its own.
#include <cstdlib>

#include "bootstrap/run.hpp"
#include "bootstrap/dll_search.hpp"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Before anything can load a DLL: a bootstrapper runs from download
    // folders, where a planted DLL must never be picked up.
    bootstrap::restrict_dll_search();
    return bootstrap::run(instance);
}

// The C++ runtime's default terminate handler writes the demangled type of
// an uncaught exception to stderr, which a GUI program does not have, and
// brings the whole demangler and a printf into every stub (about 60 KB of
// 32-bit code). The run catches everything itself; should std::terminate be
// reached anyway (an exception leaving a thread or a noexcept function), the
// process ends as the default handler would end it after its message.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
