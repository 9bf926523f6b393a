// The process-wide log: one dispatcher, created on first use, that stamps
// every message and hands it to the registered listeners.
//
// Usage: register listeners (e.g. a corvid::log::file), write any number of
// lines, and call shutdown() last. Every function here except writef holds
// the global log lock for its whole duration; the lock order is the global
// log lock, the dispatcher's lock, a file listener's file lock. Writes while
// no listener is registered (before the first add_listener, after shutdown)
// are stamped and dropped.
#pragma once

#include <memory>
#include <string>

#include "corvid/exception.hpp"
#include "corvid/log/listener.hpp"

namespace corvid::log {

// Registers the listener for every level (threshold 0). Ownership passes to
// the log on entry, on every path: if registering fails (out of memory) the
// listener is deleted before the exception leaves, so a caller that hands
// over a released pointer cannot leak it. A null pointer registers nothing.
void add_listener(listener* target);
void add_listener(std::unique_ptr<listener> target);

// Narrow text in the ANSI code page, at level 1. Text that the ANSI code page
// rejects (or whose dispatch fails) is taken as UTF-8 instead, undecodable
// bytes replaced; if that fails too, the line reads
// "corvid::log: unable to convert input to unicode".
void write(const std::string& text);

// Wide text at level 1.
void write(const std::wstring& text);

// Formats with corvid::format and writes the result as narrow text.
void writef(const char* format, ...) CORVID_PRINTF(1, 2);

// Deletes every listener (closing their files) and the dispatcher; a later
// call starts again with an empty one.
void shutdown();

}  // namespace corvid::log
