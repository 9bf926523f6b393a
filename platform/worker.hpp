// A second thread that runs one job at a time, handed over and awaited by
// one owner thread. The chunk reader uses it to write one block while it
// reads and digests the next. The interface is portable; each platform
// builds it from its own folder: the standard library's threads
// (std/worker_std.cpp), and on Windows the system's own threads and events
// (win32/worker_win32.cpp), which keep the POSIX thread emulation of the
// toolchain out of the shipped stub.
#pragma once

#include <memory>

namespace archive {

class worker {
public:
    using job = void (*)(void* context);

    worker() noexcept;
    // Waits for the job in flight, then stops and joins the thread.
    ~worker();
    worker(const worker&) = delete;
    worker& operator=(const worker&) = delete;

    // Starts the thread, which runs `run(context)` once per post(). False
    // when no thread can be had (the caller then does the work itself).
    bool start(job run, void* context) noexcept;
    bool started() const noexcept { return state_ != nullptr; }

    // Lets the thread run the job once. Only after start() succeeded and
    // with no job in flight (after wait()).
    void post() noexcept;
    // Returns once the posted job has finished; at once when none is in
    // flight. Everything the job wrote is visible to the caller afterwards.
    void wait() noexcept;

private:
    struct state;
    std::unique_ptr<state> state_;
};

}  // namespace archive
