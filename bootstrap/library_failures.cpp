// The C++ library reports its own failures (a string position out of range,
// a length beyond the maximum) through these functions. The library's own
// versions throw std::logic_error and its kin, whose constructors bring a
// second, reference-counted std::string implementation and its dependencies
// into the program: about 50 KB of the 32-bit stub, for failures that only a
// bug can cause. The stub's versions throw an exception that carries the
// library's text, which the run's whole-run handler shows like any other
// std::exception; nothing in the run catches the specific library types.
#include <exception>
#include <new>
#include <typeinfo>

namespace {

class library_failure final : public std::exception {
public:
    explicit library_failure(const char* text) noexcept : text_(text ? text : "C++ library failure") {}
    const char* what() const noexcept override { return text_; }

private:
    const char* text_;  // the library passes literals
};

}  // namespace

namespace std {

void __throw_bad_exception() { throw bad_exception(); }
void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
void __throw_bad_cast() { throw bad_cast(); }
void __throw_bad_typeid() { throw bad_typeid(); }
void __throw_logic_error(const char* text) { throw library_failure(text); }
void __throw_domain_error(const char* text) { throw library_failure(text); }
void __throw_invalid_argument(const char* text) { throw library_failure(text); }
void __throw_length_error(const char* text) { throw library_failure(text); }
void __throw_out_of_range(const char* text) { throw library_failure(text); }
// The format's arguments are left out: the text names the failed operation.
void __throw_out_of_range_fmt(const char* format, ...) { throw library_failure(format); }
void __throw_runtime_error(const char* text) { throw library_failure(text); }
void __throw_range_error(const char* text) { throw library_failure(text); }
void __throw_overflow_error(const char* text) { throw library_failure(text); }
void __throw_underflow_error(const char* text) { throw library_failure(text); }

}  // namespace std
