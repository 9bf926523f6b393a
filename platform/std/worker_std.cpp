#include "platform/worker.hpp"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace archive {

struct worker::state {
    std::mutex mutex;
    std::condition_variable changed;
    bool pending = false;
    bool stopping = false;
    job run = nullptr;
    void* context = nullptr;
    std::thread thread;  // last: started after every member it uses

    void work() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return pending || stopping; });
            if (!pending) return;
            lock.unlock();
            run(context);
            lock.lock();
            pending = false;
            changed.notify_all();
        }
    }
};

worker::worker() noexcept = default;

worker::~worker() {
    if (!state_) return;
    wait();
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->stopping = true;
    }
    state_->changed.notify_all();
    state_->thread.join();
}

bool worker::start(job run, void* context) noexcept {
    try {
        auto s = std::make_unique<state>();
        s->run = run;
        s->context = context;
        state* raw = s.get();
        s->thread = std::thread([raw] { raw->work(); });
        state_ = std::move(s);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void worker::post() noexcept {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->pending = true;
    }
    state_->changed.notify_all();
}

void worker::wait() noexcept {
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->changed.wait(lock, [this] { return !state_->pending; });
}

}  // namespace archive
