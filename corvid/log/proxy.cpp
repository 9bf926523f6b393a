#include "corvid/log/proxy.hpp"

#include <utility>

#include "corvid/log/dispatcher.hpp"
#include "corvid/unicode/convert.hpp"
#include "corvid/win32.hpp"

namespace corvid::log {

proxy::proxy(dispatcher& target, std::string prefix) : target_(&target), prefix_(std::move(prefix)) {}

proxy::~proxy() = default;

void proxy::write(int level, const std::string& /*prefix*/, const std::string& text) {
    target_->dispatch(unicode::to_wide(prefix_ + text, CP_UTF8), level);
}

}  // namespace corvid::log
