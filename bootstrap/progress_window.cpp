#include "bootstrap/progress_window.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

#include <commctrl.h>

#include "bootstrap/dll_search.hpp"

namespace bootstrap {

namespace {

struct window_traits {
    using type = HWND;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::DestroyWindow(h); }
};
struct font_traits {
    using type = HFONT;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::DeleteObject(h); }
};
struct icon_traits {
    using type = HICON;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::DestroyIcon(h); }
};
using unique_window = corvid::unique_resource<window_traits>;
using unique_font = corvid::unique_resource<font_traits>;
using unique_icon = corvid::unique_resource<icon_traits>;

const wchar_t text_line[] = L"Unpacking the setup files\u2026";
const wchar_t cancel_text[] = L"Cancel";
constexpr UINT_PTR refresh_timer = 1;
// How often the bar follows extraction, and how soon a window that the user
// is dragging (the system's move loop runs its own message loop) notices
// that it must go.
constexpr UINT refresh_ms = 50;

// What Windows 10 added for per-monitor DPI, taken from user32 where it is
// there; Windows 7 and 8 scale by the system's DPI, which the window then
// never sees change.
struct dpi_functions {
    using for_window_fn = UINT(WINAPI*)(HWND);
    using metrics_fn = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);
    using adjust_fn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    using system_metrics_fn = int(WINAPI*)(int, UINT);
    for_window_fn for_window = nullptr;
    metrics_fn parameters = nullptr;
    adjust_fn adjust = nullptr;
    system_metrics_fn metrics = nullptr;

    dpi_functions() noexcept {
        HMODULE user = ::GetModuleHandleW(L"user32.dll");
        if (!user) return;
        for_window = reinterpret_cast<for_window_fn>(
            reinterpret_cast<void*>(::GetProcAddress(user, "GetDpiForWindow")));
        parameters = reinterpret_cast<metrics_fn>(
            reinterpret_cast<void*>(::GetProcAddress(user, "SystemParametersInfoForDpi")));
        adjust = reinterpret_cast<adjust_fn>(
            reinterpret_cast<void*>(::GetProcAddress(user, "AdjustWindowRectExForDpi")));
        metrics = reinterpret_cast<system_metrics_fn>(
            reinterpret_cast<void*>(::GetProcAddress(user, "GetSystemMetricsForDpi")));
    }
};

}  // namespace

struct progress_window::shared {
    HINSTANCE instance = nullptr;
    std::wstring caption;
    corvid::unique_handle stop;  // manual reset: close() was called
    std::atomic<std::uint32_t> position{0};
    std::atomic<std::uint32_t> range{0};
    std::atomic<bool> cancel{false};
};

namespace {

// The window and everything it owns; lives on the window's thread only.
class progress_ui {
public:
    using shared = progress_window::shared;

    explicit progress_ui(shared& s) noexcept : s_(s) {}
    progress_ui(const progress_ui&) = delete;
    progress_ui& operator=(const progress_ui&) = delete;

    bool create() noexcept;
    // Pumps the window's messages until close() or the window's end.
    void run() noexcept;

private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM w, LPARAM l) noexcept;
    LRESULT handle(UINT message, WPARAM w, LPARAM l) noexcept;
    // Font, icons and layout for `dpi`; the window's new client size.
    void apply_dpi(UINT dpi) noexcept;
    int scale(int pixels) const noexcept { return ::MulDiv(pixels, static_cast<int>(dpi_), 96); }
    void refresh() noexcept;
    void request_cancel() noexcept;
    bool stopped() const noexcept { return ::WaitForSingleObject(s_.stop.get(), 0) != WAIT_TIMEOUT; }

    shared& s_;
    dpi_functions dpi_api_;
    UINT dpi_ = 96;
    unique_font font_;
    unique_icon big_icon_, small_icon_;
    unique_window window_;  // after the font and icons: destroyed before them
    HWND text_ = nullptr, bar_ = nullptr, button_ = nullptr;  // children: go with the window
    std::uint32_t shown_range_ = 0;
};

bool progress_ui::create() noexcept {
    // The common controls only now, after the search was restricted, and
    // from the system: the manifest's dependency gives version 6 (visual
    // styles) from the side-by-side store. Kept loaded for the process's
    // life, as the libraries of restrict_dll_search are.
    HMODULE controls = load_system_library(L"comctl32.dll");
    if (!controls) return false;
    using init_fn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    auto init = reinterpret_cast<init_fn>(reinterpret_cast<void*>(::GetProcAddress(controls, "InitCommonControlsEx")));
    const INITCOMMONCONTROLSEX classes{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    if (!init || !init(&classes)) return false;

    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = &progress_ui::procedure;
    window_class.hInstance = s_.instance;
    window_class.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = progress_window_class;
    if (!::RegisterClassExW(&window_class) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;

    // Created hidden on the monitor under the mouse, whose DPI it then has.
    POINT cursor{};
    ::GetCursorPos(&cursor);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    if (!::GetMonitorInfoW(::MonitorFromPoint(cursor, MONITOR_DEFAULTTOPRIMARY), &monitor)) return false;
    const RECT& area = monitor.rcWork;
    constexpr DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
    window_.reset(::CreateWindowExW(0, progress_window_class, s_.caption.c_str(), style, area.left, area.top, 1, 1,
                                    nullptr, nullptr, s_.instance, this));
    if (!window_) return false;
    text_ = ::CreateWindowExW(0, L"STATIC", text_line, WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, 0,
                              0, 0, window_.get(), nullptr, s_.instance, nullptr);
    bar_ = ::CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, window_.get(), nullptr,
                             s_.instance, nullptr);
    button_ = ::CreateWindowExW(0, L"BUTTON", cancel_text, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, 0,
                                0, 0, window_.get(), reinterpret_cast<HMENU>(static_cast<UINT_PTR>(IDCANCEL)),
                                s_.instance, nullptr);
    if (!text_ || !bar_ || !button_) return false;

    apply_dpi(dpi_api_.for_window ? dpi_api_.for_window(window_.get()) : 0);
    RECT frame{};
    if (!::GetWindowRect(window_.get(), &frame)) return false;
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    ::SetWindowPos(window_.get(), nullptr, area.left + (area.right - area.left - width) / 2,
                   area.top + (area.bottom - area.top - height) / 2, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    refresh();
    if (!::SetTimer(window_.get(), refresh_timer, refresh_ms, nullptr)) return false;
    // Shown, not activated: keys typed into another window stay there, and
    // the user's own window is not pushed away while they work in it.
    ::ShowWindow(window_.get(), SW_SHOWNOACTIVATE);
    ::UpdateWindow(window_.get());
    return true;
}

void progress_ui::apply_dpi(UINT dpi) noexcept {
    if (dpi == 0) {
        // Before Windows 10: the system's DPI, as the screen reports it.
        HDC screen = ::GetDC(nullptr);
        dpi = screen ? static_cast<UINT>(::GetDeviceCaps(screen, LOGPIXELSY)) : 96;
        if (screen) ::ReleaseDC(nullptr, screen);
    }
    dpi_ = dpi;

    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    const BOOL got = dpi_api_.parameters
                         ? dpi_api_.parameters(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, dpi)
                         : ::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0);
    unique_font font(got ? ::CreateFontIndirectW(&metrics.lfMessageFont) : nullptr);
    int line = scale(16);
    if (font) {
        if (HDC dc = ::GetDC(window_.get())) {
            HGDIOBJ old = ::SelectObject(dc, font.get());
            TEXTMETRICW text{};
            if (::GetTextMetricsW(dc, &text)) line = text.tmHeight;
            ::SelectObject(dc, old);
            ::ReleaseDC(window_.get(), dc);
        }
        for (HWND child : {text_, button_}) ::SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), 0);
        font_ = std::move(font);
    }

    auto icon = [&](int width_index, int height_index) {
        const int cx = dpi_api_.metrics ? dpi_api_.metrics(width_index, dpi) : ::GetSystemMetrics(width_index);
        const int cy = dpi_api_.metrics ? dpi_api_.metrics(height_index, dpi) : ::GetSystemMetrics(height_index);
        return unique_icon(static_cast<HICON>(::LoadImageW(s_.instance, MAKEINTRESOURCEW(1), IMAGE_ICON, cx, cy, 0)));
    };
    unique_icon big = icon(SM_CXICON, SM_CYICON), small = icon(SM_CXSMICON, SM_CYSMICON);
    ::SendMessageW(window_.get(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big.get()));
    ::SendMessageW(window_.get(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small.get()));
    big_icon_ = std::move(big);
    small_icon_ = std::move(small);

    // The layout of a small dialog in 96-DPI pixels: margins of 11, the text
    // line, the bar 15 high, the button 75 by 23 at the right.
    const int margin = scale(11), width = scale(340), bar_top = margin + line + scale(7);
    const int button_top = bar_top + scale(15) + margin, button_width = scale(75), button_height = scale(23);
    ::MoveWindow(text_, margin, margin, width, line, FALSE);
    ::MoveWindow(bar_, margin, bar_top, width, scale(15), FALSE);
    ::MoveWindow(button_, margin + width - button_width, button_top, button_width, button_height, FALSE);

    RECT frame{0, 0, width + 2 * margin, button_top + button_height + margin};
    constexpr DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
    if (dpi_api_.adjust ? dpi_api_.adjust(&frame, style, FALSE, 0, dpi) : ::AdjustWindowRectEx(&frame, style, FALSE, 0))
        ::SetWindowPos(window_.get(), nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                       SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ::InvalidateRect(window_.get(), nullptr, TRUE);
}

void progress_ui::refresh() noexcept {
    const std::uint32_t range = s_.range.load(std::memory_order_relaxed);
    if (range != shown_range_) {
        ::SendMessageW(bar_, PBM_SETRANGE32, 0, static_cast<LPARAM>(range));
        shown_range_ = range;
    }
    ::SendMessageW(bar_, PBM_SETPOS, static_cast<WPARAM>(s_.position.load(std::memory_order_relaxed)), 0);
}

void progress_ui::request_cancel() noexcept {
    s_.cancel.store(true, std::memory_order_relaxed);
    ::EnableWindow(button_, FALSE);
}

LRESULT CALLBACK progress_ui::procedure(HWND window, UINT message, WPARAM w, LPARAM l) noexcept {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<progress_ui*>(reinterpret_cast<CREATESTRUCTW*>(l)->lpCreateParams);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<progress_ui*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    // Messages before WM_NCCREATE, and after the owner let go of the window.
    if (!self || self->window_.get() != window) return ::DefWindowProcW(window, message, w, l);
    return self->handle(message, w, l);
}

LRESULT progress_ui::handle(UINT message, WPARAM w, LPARAM l) noexcept {
    HWND window = window_.get();
    switch (message) {
        case WM_TIMER:
            if (w != refresh_timer) break;
            // Inside a move loop the run's close() reaches the window only
            // here.
            if (stopped()) {
                window_.reset();
                return 0;
            }
            refresh();
            return 0;
        case WM_COMMAND:
            if (LOWORD(w) == IDCANCEL) request_cancel();
            return 0;
        case WM_CLOSE:
            // The close box and Alt+F4 cancel; the run closes the window.
            request_cancel();
            return 0;
        case WM_DPICHANGED: {
            apply_dpi(HIWORD(w));
            const RECT* suggested = reinterpret_cast<const RECT*>(l);
            ::SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                           suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
            return 0;
        }
        default:
            break;
    }
    return ::DefWindowProcW(window, message, w, l);
}

void progress_ui::run() noexcept {
    HANDLE stop = s_.stop.get();
    for (;;) {
        MSG message;
        while (window_ && ::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            // Tab and Escape (Cancel) as in a dialog.
            if (!::IsDialogMessageW(window_.get(), &message)) {
                ::TranslateMessage(&message);
                ::DispatchMessageW(&message);
            }
        }
        if (!window_) return;
        // Stopped, or the wait failed: either way the window goes.
        if (::MsgWaitForMultipleObjectsEx(1, &stop, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE) != WAIT_OBJECT_0 + 1)
            return;
    }
}

DWORD WINAPI window_thread(void* parameter) {
    auto& s = *static_cast<progress_window::shared*>(parameter);
    // An extraction that ends before the delay shows nothing.
    if (::WaitForSingleObject(s.stop.get(), progress_delay_ms) != WAIT_TIMEOUT) return 0;
    progress_ui ui(s);
    if (ui.create()) ui.run();
    return 0;
}

}  // namespace

progress_window::progress_window(HINSTANCE instance, const std::wstring& caption, bool shown) noexcept {
    if (!shown) return;
    try {
        auto s = std::make_unique<shared>();
        s->instance = instance;
        s->caption = caption;
        s->stop.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!s->stop) return;
        thread_.reset(::CreateThread(nullptr, 0, &window_thread, s.get(), 0, nullptr));
        if (thread_) shared_ = std::move(s);
    } catch (const std::bad_alloc&) {
        // No memory for a caption: no window.
    }
}

progress_window::~progress_window() { close(); }

void progress_window::advance(std::uint64_t walked, std::uint64_t total) noexcept {
    if (!shared_) return;
    // The bar's numbers are 32-bit signed; an archive stays below 4 GiB.
    unsigned shift = 0;
    while ((total >> shift) > 0x7fffffffu) ++shift;
    shared_->range.store(static_cast<std::uint32_t>(total >> shift), std::memory_order_relaxed);
    shared_->position.store(static_cast<std::uint32_t>(walked >> shift), std::memory_order_relaxed);
}

bool progress_window::stop_requested() noexcept {
    return shared_ && shared_->cancel.load(std::memory_order_relaxed);
}

void progress_window::close() noexcept {
    if (!thread_) return;
    // A thread that never learned of the stop would keep its window on
    // screen while the payload runs, and this wait would never end.
    if (!::SetEvent(shared_->stop.get())) std::abort();
    if (::WaitForSingleObject(thread_.get(), INFINITE) != WAIT_OBJECT_0) std::abort();
    thread_.reset();
}

void progress_window::bring_other_to_front() noexcept {
    if (HWND other = ::FindWindowW(progress_window_class, nullptr)) ::SetForegroundWindow(other);
}

}  // namespace bootstrap
