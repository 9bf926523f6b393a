// The log's exception class. Portable: no Windows headers.
#pragma once

#include <string>

#include "corvid/exception.hpp"

namespace corvid::log {

// A log file that cannot be opened; type path "log".
class generic : public corvid::exception {
public:
    explicit generic(const std::string& message) : corvid::exception(message) {
        extend_type_path("log");
    }
};

}  // namespace corvid::log
