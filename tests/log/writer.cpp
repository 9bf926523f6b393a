// Test helper: appends lines to a shared log, started many times at once.
// log_writer BASE COUNT MAX_SIZE GENERATIONS ID READY_SEMAPHORE START_EVENT
// Signals READY_SEMAPHORE, waits for START_EVENT, then opens the log (so the
// processes race for creating the file, too) and writes COUNT lines
// "writer ID line K xxx...". Exit code 0 on success.
#include <cstdlib>
#include <memory>
#include <string>

#include "corvid/handle.hpp"
#include "corvid/log/file.hpp"
#include "corvid/log/log.hpp"
#include "corvid/win32.hpp"

int main(int argc, char** argv) {
    if (argc != 8) return 2;
    const std::string base = argv[1];
    const int count = std::atoi(argv[2]);
    const auto max_size = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
    const auto generations = static_cast<std::uint32_t>(std::strtoul(argv[4], nullptr, 10));
    const int id = std::atoi(argv[5]);

    corvid::unique_handle ready(::OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, argv[6]));
    corvid::unique_handle start(::OpenEventA(SYNCHRONIZE, FALSE, argv[7]));
    if (!ready || !start) return 3;
    if (!::ReleaseSemaphore(ready.get(), 1, nullptr)) return 4;
    if (::WaitForSingleObject(start.get(), 60000) != WAIT_OBJECT_0) return 5;

    try {
        auto f = std::make_unique<corvid::log::file>(base);
        f->set_max_size(max_size);
        f->set_generations(generations);
        corvid::log::add_listener(f.release());
        // Different lengths per writer, so that a split or merged line shows.
        const std::string padding(20 + 7 * id, 'x');
        for (int k = 0; k < count; ++k) corvid::log::writef("writer %d line %d %s", id, k, padding.c_str());
        corvid::log::shutdown();
    } catch (...) {
        return 6;
    }
    return 0;
}
