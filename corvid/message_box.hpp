// The one gate through which the run and extraction show message boxes.
#pragma once

#include <string>

namespace corvid {

// Set once, early in the run, when the command line asks for silence; while
// set, show_message_box shows nothing.
void set_silent_mode(bool silent) noexcept;
bool silent_mode() noexcept;

// A message box with no owner window and MB_OK (an OK button, no icon),
// unless the run is silent. Caption and text are UTF-8, the run's narrow
// text; one that is not UTF-8 (an exception's text in the ANSI code page) is
// shown as ANSI text.
void show_message_box(const std::string& caption, const std::string& text) noexcept;

}  // namespace corvid
