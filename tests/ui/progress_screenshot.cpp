// progress_screenshot OUT.bmp: the progress window as a user sees it, for
// the README (scripts/screenshot). Packs a large installer around the probe
// with the test harness, starts it (not silent), holds its extraction half
// way, writes what the screen shows of the window, frame included, to
// OUT.bmp (24 bits), and lets the run finish. Exit code 0 when the picture
// was written and the run ended with the probe's 0.
#include <cstdio>
#include <string>

#include "corvid/handle.hpp"
#include "tests/process/harness.hpp"

using process_test::installer_fixture;

namespace {

bool write_bitmap(const char* path, HWND window) {
    RECT frame{};
    if (!::GetWindowRect(window, &frame)) return false;
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    HDC screen = ::GetDC(nullptr);
    if (!screen) return false;
    HDC memory = ::CreateCompatibleDC(screen);
    HBITMAP bitmap = ::CreateCompatibleBitmap(screen, width, height);
    BITMAPINFOHEADER info{sizeof(info), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    std::string pixels(stride * static_cast<DWORD>(height), '\0');
    bool ok = memory && bitmap && ::SelectObject(memory, bitmap) &&
              ::BitBlt(memory, 0, 0, width, height, screen, frame.left, frame.top, SRCCOPY) &&
              ::GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(),
                          reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS) == height;
    if (bitmap) ::DeleteObject(bitmap);
    if (memory) ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    BITMAPFILEHEADER header{0x4d42, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof(info) + pixels.size()), 0, 0,
                            sizeof(BITMAPFILEHEADER) + sizeof(info)};
    if (!ok) return false;
    std::string file(reinterpret_cast<const char*>(&header), sizeof(header));
    file.append(reinterpret_cast<const char*>(&info), sizeof(info));
    process_test::write_all(path, file + pixels);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: progress_screenshot OUT.bmp\n");
        return 2;
    }
    installer_fixture f("screenshot");
    process_test::running_process run = f.start(f.pack_large(), "");
    if (!process_test::hold_extraction(run, f.temp(), installer_fixture::large_file_name, 60000, 20u << 20)) {
        std::fprintf(stderr, "progress_screenshot: extraction was not seen\n");
        return 1;
    }
    HWND window = nullptr;
    for (int i = 0; i < 1000 && !window; ++i, ::Sleep(20)) window = process_test::progress_window_of(run.id);
    ::Sleep(500);  // painted, the bar at the place where extraction stands
    const bool written = window && write_bitmap(argv[1], window);
    ::ResumeThread(run.thread.get());
    const process_test::started ended = process_test::wait_for(run);
    if (!written) std::fprintf(stderr, "progress_screenshot: no progress window to take\n");
    return written && ended.finished && ended.exit_code == 0 ? 0 : 1;
}
