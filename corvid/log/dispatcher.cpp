#include "corvid/log/dispatcher.hpp"

#include <cstdarg>
#include <optional>
#include <utility>

#include "corvid/describe_exception.hpp"
#include "corvid/exception.hpp"
#include "corvid/va_guard.hpp"
#include "corvid/log/policy.hpp"
#include "corvid/unicode/convert.hpp"
#include "corvid/win32.hpp"

namespace corvid::log {

dispatcher::~dispatcher() { clear(); }

void dispatcher::add(listener* target, int threshold) {
    add(std::unique_ptr<listener>(target), threshold);
}

void dispatcher::add(std::unique_ptr<listener> target, int threshold) {
    if (!target) return;
    scope guard(*this);
    // A multimap inserts after the existing entries of an equal key, which
    // keeps registration order within a threshold.
    listeners_.emplace(threshold, target.get());
    target.release();
}

void dispatcher::clear() {
    std::multimap<int, listener*> doomed;
    {
        scope guard(*this);
        doomed.swap(listeners_);
    }
    for (auto& entry : doomed) delete entry.second;
}

void dispatcher::dispatch(const std::wstring& text, int level) {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    const std::string prefix = timestamp_prefix(
        local_time{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond}, level);
    const std::wstring message = level == 5 ? describe_current_exception(text) : text;

    scope guard(*this);
    std::optional<std::string> utf8;
    for (auto it = listeners_.upper_bound(level); it != listeners_.begin();) {
        --it;
        // UTF-8 is a restricted code page: this never reports a replacement.
        if (!utf8) utf8 = unicode::to_narrow(message, CP_UTF8, true);
        it->second->write(level, prefix, *utf8);
    }
}

void dispatcher::writef_w(int level, const wchar_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_guard end_args(args);
    dispatch(vwformat(fmt, args), level);
}

}  // namespace corvid::log
