#include "corvid/describe_exception.hpp"

#include <exception>
#include <type_traits>

#include "corvid/exception.hpp"
#include "corvid/exception_w.hpp"
#include "corvid/unicode/convert.hpp"
#include "corvid/win32.hpp"

#include <comdef.h>

namespace corvid {

namespace {

// _com_error's message is TCHAR text: narrow (ANSI) unless UNICODE is set.
// It is null when the class could not allocate it.
template <class Char>
std::wstring com_message(const Char* text) {
    if (!text) return std::wstring();
    if constexpr (std::is_same_v<Char, wchar_t>)
        return text;
    else
        return unicode::to_wide(text, 0);
}

}  // namespace

std::wstring describe_current_exception(std::wstring text) {
    if (!text.empty() && text.back() != L' ') text += L' ';
    const std::exception_ptr current = std::current_exception();
    if (!current) return wformat(L"%sno exception being handled", text.c_str());
    try {
        std::rethrow_exception(current);
    } catch (const _com_error& e) {
        return wformat(L"%s_com_error: %s", text.c_str(), com_message(e.ErrorMessage()).c_str());
    } catch (const exception_w& e) {
        return wformat(L"%sexception: %s", text.c_str(), e.wwhat());
    } catch (const std::exception& e) {
        return wformat(L"%sexception: %s", text.c_str(), unicode::to_wide(e.what(), 0).c_str());
    } catch (...) {
        return wformat(L"%sunknown exception", text.c_str());
    }
}

}  // namespace corvid
