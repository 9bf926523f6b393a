// Starting a child process from a Windows test or benchmark harness.
//
// Under Wine a new process occasionally dies inside Wine's own start-up,
// before the loader reports it running; CreateProcess then fails with
// ERROR_INTERNAL_ERROR although nothing of the program ran (seen about once in
// several thousand starts on a loaded machine). A test that starts hundreds of
// processes must not fail on that, so such a start is tried again; every other
// failure, and a third internal error in a row, is returned as it is.
#pragma once

#include "corvid/win32.hpp"

namespace test_support {

// `start` is one CreateProcessA/W call; returns its result, with the last
// error of the final attempt.
template <class Start>
BOOL start_process(Start&& start) {
    for (int attempt = 1;; ++attempt) {
        if (start()) return TRUE;
        if (::GetLastError() != ERROR_INTERNAL_ERROR || attempt == 3) return FALSE;
        ::Sleep(100 * attempt);
    }
}

}  // namespace test_support
