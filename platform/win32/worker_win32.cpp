#include "platform/worker.hpp"

#include <cstdlib>
#include <new>

#include "corvid/handle.hpp"

namespace archive {

struct worker::state {
    corvid::unique_handle ready;  // auto-reset: a job or the stop was posted
    corvid::unique_handle done;   // auto-reset: the posted job has finished
    corvid::unique_handle thread;
    job run = nullptr;
    void* context = nullptr;
    bool pending = false;   // the owner's own bookkeeping
    bool stopping = false;  // set before `ready` is signalled, read after it

    static DWORD WINAPI main(void* parameter) {
        auto* self = static_cast<state*>(parameter);
        for (;;) {
            // The events order the memory: what the owner wrote before
            // signalling is seen here, and what the job wrote is seen by the
            // owner once `done` is.
            if (::WaitForSingleObject(self->ready.get(), INFINITE) != WAIT_OBJECT_0) std::abort();
            if (self->stopping) return 0;
            self->run(self->context);
            if (!::SetEvent(self->done.get())) std::abort();
        }
    }
};

worker::worker() noexcept = default;

worker::~worker() {
    if (!state_) return;
    wait();
    state_->stopping = true;
    // Without the stop signal or the join the thread would outlive the
    // state it reads; no way on is safer than ending the process.
    if (!::SetEvent(state_->ready.get())) std::abort();
    if (::WaitForSingleObject(state_->thread.get(), INFINITE) != WAIT_OBJECT_0) std::abort();
}

bool worker::start(job run, void* context) noexcept {
    state* s = new (std::nothrow) state;
    if (!s) return false;
    std::unique_ptr<state> owner(s);
    s->run = run;
    s->context = context;
    s->ready.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    s->done.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!s->ready || !s->done) return false;
    s->thread.reset(::CreateThread(nullptr, 0, &state::main, s, 0, nullptr));
    if (!s->thread) return false;
    state_ = std::move(owner);
    return true;
}

void worker::post() noexcept {
    state_->pending = true;
    // A job the thread never sees would leave the owner waiting forever.
    if (!::SetEvent(state_->ready.get())) std::abort();
}

void worker::wait() noexcept {
    if (!state_->pending) return;
    // The job may still be using the owner's buffers: the owner cannot go
    // on without knowing that it has finished.
    if (::WaitForSingleObject(state_->done.get(), INFINITE) != WAIT_OBJECT_0) std::abort();
    state_->pending = false;
}

}  // namespace archive
