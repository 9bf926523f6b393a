#include "corvid/log/log.hpp"

#include <cstdarg>

#include "corvid/lock.hpp"
#include "corvid/log/dispatcher.hpp"
#include "corvid/unicode/convert.hpp"
#include "corvid/win32.hpp"
#include "corvid/va_guard.hpp"

namespace corvid::log {

namespace {

// Constructed during static initialisation, before any log call can happen.
corvid::mutex global_lock;
dispatcher* global_dispatcher = nullptr;

// Called with the global lock held.
dispatcher& instance() {
    if (!global_dispatcher) global_dispatcher = new dispatcher;
    return *global_dispatcher;
}

}  // namespace

void add_listener(listener* target) { add_listener(std::unique_ptr<listener>(target)); }

void add_listener(std::unique_ptr<listener> target) {
    scope guard(global_lock);
    instance().add(std::move(target));
}

void write(const std::string& text) {
    scope guard(global_lock);
    dispatcher& log = instance();
    try {
        log.dispatch(unicode::to_wide(text, CP_ACP), 1);
        return;
    } catch (...) {
    }
    try {
        log.dispatch(unicode::to_wide(text, CP_UTF8), 1);
        return;
    } catch (...) {
    }
    log.writef_w(1, L"%s", L"corvid::log: unable to convert input to unicode");
}

void write(const std::wstring& text) {
    scope guard(global_lock);
    instance().dispatch(text, 1);
}

void writef(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_guard end_args(args);
    write(vformat(fmt, args));
}

void shutdown() {
    scope guard(global_lock);
    // Detached first: a listener that logs from its destructor meets a fresh
    // dispatcher rather than the one being destroyed.
    std::unique_ptr<dispatcher> doomed(global_dispatcher);
    global_dispatcher = nullptr;
    doomed.reset();
}

}  // namespace corvid::log
