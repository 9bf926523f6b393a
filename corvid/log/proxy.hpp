// A listener that forwards messages into another dispatcher under a prefix of
// its own.
#pragma once

#include <string>

#include "corvid/log/listener.hpp"

namespace corvid::log {

class dispatcher;

class proxy : public listener {
public:
    // target is not owned and must outlive the proxy. It must not be the
    // dispatcher the proxy is registered with, nor lead back to it through
    // other proxies: a message would circle for ever. prefix is UTF-8.
    proxy(dispatcher& target, std::string prefix);
    ~proxy() override;

    // Drops the received timestamp prefix and dispatches prefix + text, from
    // UTF-8, into the target at the same level (the target stamps it anew).
    void write(int level, const std::string& prefix, const std::string& text) override;

private:
    dispatcher* target_;
    std::string prefix_;
};

}  // namespace corvid::log
