// Abstract log sink. Portable: no Windows headers.
#pragma once

#include <string>

namespace corvid::log {

class listener {
public:
    virtual ~listener() = 0;
    // One message: level 0 to 5 (or whatever the writer used), the timestamp
    // prefix (ASCII) and the text in UTF-8. Called under the dispatcher's lock,
    // so one listener never sees two calls at once.
    virtual void write(int level, const std::string& prefix, const std::string& text) = 0;
};

inline listener::~listener() = default;

}  // namespace corvid::log
