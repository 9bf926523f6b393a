// what() of the exception of type E that f throws, or "<nothing thrown>".
#pragma once

#include <string>

namespace test_support {

template <class E, class F>
std::string what_of(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "<nothing thrown>";
}

}  // namespace test_support
