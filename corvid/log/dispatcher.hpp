// Stamps messages with the local time and a level character and hands them to
// the registered listeners, which it owns.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "corvid/lock.hpp"
#include "corvid/log/listener.hpp"

namespace corvid::log {

// The dispatcher is its own (recursive, in-process) lock. Lock order: the
// global log lock, then a dispatcher, then a file listener's file lock.
class dispatcher : public corvid::mutex {
public:
    dispatcher() = default;
    // Deletes every listener.
    ~dispatcher() override;
    dispatcher(const dispatcher&) = delete;
    dispatcher& operator=(const dispatcher&) = delete;

    // Registers a listener for the messages of level threshold and above and
    // takes ownership of it at once: should the registration fail (out of
    // memory), the listener is deleted before the exception leaves. A null
    // pointer registers nothing.
    void add(listener* target, int threshold = 0);
    void add(std::unique_ptr<listener> target, int threshold = 0);

    // Deletes every listener and forgets them.
    void clear();

    // Stamps text with the local time and level and passes it, in UTF-8, to
    // every listener whose threshold is at most level: the highest threshold
    // first and, within a threshold, the latest registered first. At level 5
    // the text is extended by the description of the exception being handled
    // (see corvid::describe_current_exception). A listener's failure passes
    // to the caller and the remaining listeners are skipped.
    void dispatch(const std::wstring& text, int level);

    // Dispatches corvid::wformat(format, ...) (%s takes a wide string).
    void writef_w(int level, const wchar_t* format, ...);

private:
    std::multimap<int, listener*> listeners_;
};

}  // namespace corvid::log
