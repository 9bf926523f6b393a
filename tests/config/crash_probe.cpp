// Sets up crash dumps with config::init(nullptr), then, by its first argument:
//   crash MARKER [twice]  installs a filter of its own first, which records
//                         the exception code in MARKER; with "twice" calls
//                         init again 2.1 s later; then writes through a null
//                         pointer. MARKER.time gets the time before init.
//   exit MARKER           ends normally; MARKER tells whether the filter of
//                         its own was back in place after the at-exit removal.
//   plain-load MARKER     no init: records whether the ordinary library
//                         search takes the planted "dbghelp.dll" ("planted")
//                         or another one ("other").
// Exit codes: 0 done, 2 bad arguments, 3 init threw, 4 the second init changed
// the filter; a crash ends with the exception code.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "config/config.hpp"

namespace {

std::string marker;

void write_marker(const std::string& path, const std::string& text) {
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
}

LONG WINAPI probe_filter(EXCEPTION_POINTERS* exception) {
    char text[32];
    std::snprintf(text, sizeof(text), "seen %08lx",
                  static_cast<unsigned long>(exception->ExceptionRecord->ExceptionCode));
    write_marker(marker, text);
    return EXCEPTION_EXECUTE_HANDLER;
}

void check_restored() {
    LPTOP_LEVEL_EXCEPTION_FILTER current = ::SetUnhandledExceptionFilter(probe_filter);
    write_marker(marker, current == probe_filter ? "restored" : "not restored");
}

bool init() {
    try {
        config::init(nullptr);
        return true;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "init: %s\n", e.what());
        return false;
    }
}

[[noreturn]] void crash() {
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
    std::abort();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    std::string mode = argv[1];
    if (argc >= 3) marker = argv[2];

    if (mode == "crash" && argc >= 3) {
        ::SetUnhandledExceptionFilter(probe_filter);
        write_marker(marker + ".time", std::to_string(static_cast<long long>(std::time(nullptr))));
        if (!init()) return 3;
        if (argc >= 4 && std::string(argv[3]) == "twice") {
            ::Sleep(2100);
            if (!init()) return 3;
            LPTOP_LEVEL_EXCEPTION_FILTER current = ::SetUnhandledExceptionFilter(config::dump_filter);
            if (current != config::dump_filter) return 4;
        }
        crash();
    }
    if (mode == "exit" && argc >= 3) {
        ::SetUnhandledExceptionFilter(probe_filter);
        // Registered before init, so it runs after the removal init registers.
        std::atexit(check_restored);
        if (!init()) return 3;
        return 0;
    }
    if (mode == "plain-load" && argc >= 3) {
        HMODULE module = ::LoadLibraryA("dbghelp.dll");
        bool planted = module && ::GetProcAddress(module, "corvid_planted_marker");
        write_marker(marker, !module ? "not loaded" : planted ? "planted" : "other");
        return 0;
    }
    return 2;
}
