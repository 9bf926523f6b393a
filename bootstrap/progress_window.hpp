// The window that shows how far a long extraction has come. It appears only
// in a run that is not silent, and only when extraction is still going on
// after a short delay; it is gone before any message box and before the
// payload starts.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "bootstrap/win32_extract.hpp"
#include "corvid/handle.hpp"
#include "corvid/win32.hpp"

namespace bootstrap {

// How long extraction runs before the window appears. A run that shows
// nothing for about a second after the user's double-click (and the
// elevation prompt) looks broken and gets started again; a window that
// flashes up for a few milliseconds before the setup's own is worse than
// none. Half a second keeps the feedback within the second of an
// uninterrupted flow, and an extraction that ends before it (every small
// setup, and 200 MiB on a fast disk) shows no window at all.
inline constexpr DWORD progress_delay_ms = 500;

// The window's class; a second start of the bootstrapper finds the first
// run's window by it.
inline constexpr const wchar_t* progress_window_class = L"Brellory.Tarnwick.Bootstrapper.Progress";

// Extraction's feedback as a window on a thread of its own. Extraction
// stays on the run's thread, which alone touches the run's state; the
// window's thread touches nothing of it but the two numbers and the cancel
// flag below, and it pumps its window's messages whatever the run's thread
// is waiting for (a disk, a virus scanner holding a file it scans on close).
class progress_window final : public archive::extraction_feedback {
public:
    // With `shown`, starts the window's thread, which shows the window (the
    // caption `caption`, the icon of `instance`'s resource 1, one line of
    // text, a progress bar, Cancel) once progress_delay_ms have passed,
    // unless close() came first. It is shown without taking the keyboard
    // focus, not on top of other windows, and can be moved. Without `shown`
    // (a silent run) nothing is started and nothing is ever shown. A window
    // that cannot be made (no thread, no display, no common controls) is left
    // out: the run goes on without it.
    progress_window(HINSTANCE instance, const std::wstring& caption, bool shown) noexcept;
    // Closes.
    ~progress_window();
    progress_window(const progress_window&) = delete;
    progress_window& operator=(const progress_window&) = delete;

    // The bar shows `walked` of `total`. From any thread, one at a time.
    void advance(std::uint64_t walked, std::uint64_t total) noexcept override;
    // Whether the user asked to cancel (Cancel, Escape, the close box).
    bool stop_requested() noexcept override;
    void before_message() noexcept override { close(); }

    // Ends the window and its thread: once it returns, no window of this
    // object exists and none will appear. Called by the run's thread.
    void close() noexcept;

    // Brings the window of another run, if one is shown, to the front:
    // for a second start that was turned away.
    static void bring_other_to_front() noexcept;

    // What the run's thread and the window's thread share.
    struct shared;

private:
    std::unique_ptr<shared> shared_;
    corvid::unique_handle thread_;
};

}  // namespace bootstrap
