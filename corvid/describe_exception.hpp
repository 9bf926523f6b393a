// Description of the exception being handled, for diagnostics.
#pragma once

#include <string>

namespace corvid {

// Returns text, followed by one blank unless it is empty or already ends with
// a blank, followed by a description of the exception being handled:
//   _com_error             "_com_error: " and the error's own message text
//   corvid::exception_w    "exception: " and its wwhat() (wide, unconverted)
//   std::exception         "exception: " and its what() from the ANSI code page
//   anything else          "unknown exception"
// The exception being handled is left as it is. Meant to be called inside a
// handler; called while nothing is being handled, it describes that as
// "no exception being handled" instead of terminating. A failing ANSI
// conversion (corvid::unicode errors) passes to the caller.
std::wstring describe_current_exception(std::wstring text);

}  // namespace corvid
