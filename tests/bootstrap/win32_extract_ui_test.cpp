// The message boxes of extraction as a user sees them (run under Xvfb).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "bootstrap/process_state.hpp"
#include "bootstrap/win32_extract.hpp"
#include "corvid/error_text.hpp"
#include "corvid/handle.hpp"
#include "corvid/message_box.hpp"
#include "corvid/unicode/convert.hpp"
#include "packing/installer_builder.hpp"
#include "tests/support/scratch_dir.hpp"

using archive::installer_entry;

namespace {

struct box {
    std::string caption;
    std::string text;
};

struct find_state {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK find_dialog(HWND window, LPARAM param) {
    auto state = reinterpret_cast<find_state*>(param);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    char cls[64] = {};
    ::GetClassNameA(window, cls, sizeof cls);
    if (pid == state->pid && std::string(cls) == "#32770" && ::IsWindowVisible(window)) {
        state->found = window;
        return FALSE;
    }
    return TRUE;
}

// Runs `action` on a worker thread and answers every box it shows with OK,
// recording caption and text.
std::vector<box> answer_boxes(const std::function<void()>& action) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        action();
        done = true;
    });
    std::vector<box> boxes;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done && std::chrono::steady_clock::now() < deadline) {
        find_state state{::GetCurrentProcessId(), nullptr};
        ::EnumWindows(find_dialog, reinterpret_cast<LPARAM>(&state));
        if (state.found) {
            wchar_t caption[256] = {}, text[2048] = {};
            ::GetWindowTextW(state.found, caption, 256);
            ::GetDlgItemTextW(state.found, 0xFFFF, text, 2048);
            boxes.push_back({corvid::unicode::to_utf8(caption), corvid::unicode::to_utf8(text)});
            ::PostMessageA(state.found, WM_COMMAND, IDOK, 0);
            while (::IsWindow(state.found) && std::chrono::steady_clock::now() < deadline) ::Sleep(10);
        }
        ::Sleep(20);
    }
    EXPECT_TRUE(done.load()) << "extraction did not return";
    if (!done) {
        worker.detach();
    } else {
        worker.join();
    }
    return boxes;
}

class Win32ExtractBoxes : public ::testing::Test {
protected:
    void SetUp() override {
        corvid::set_silent_mode(false);
        archive::process_entries().clear();
        archive::archive_complete = false;
        work = dir.path() + "work\\";
        ASSERT_TRUE(::CreateDirectoryA(work.c_str(), nullptr));
        archive::working_directory = work;
        installer = dir.path() + "setup.exe";
    }

    test_support::scratch_dir dir{"archive_ui"};
    std::string work, installer;
};

const std::string invalid_text =
    "We are sorry, but your installation / update did not complete due to unexpected download errors.\r\n"
    "Please download full version of the program";

}  // namespace

TEST_F(Win32ExtractBoxes, EachFailureShowsItsBox) {
    auto boxes = answer_boxes([&] { archive::extract_archive(dir.path() + "missing.exe"); });
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Failed to open archive!");
    EXPECT_EQ(boxes[0].text, "File: " + dir.path() + "missing.exe\rError: " + corvid::error_text(ERROR_FILE_NOT_FOUND));
    // A path outside the ANSI code page is shown as it is.
    const std::string named = dir.path() + "\xC5\x81\xC3\xB3" "d\xC5\xBA \xEF\xBD\x85.exe";
    boxes = answer_boxes([&] { archive::extract_archive(named); });
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "File: " + named + "\rError: " + corvid::error_text(ERROR_FILE_NOT_FOUND));

    ASSERT_TRUE(test_support::write_file(installer, std::string(1000, 'x')));
    boxes = answer_boxes([&] { archive::extract_archive(installer); });
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Failed to initialize archive!");
    EXPECT_EQ(boxes[0].text.rfind("File: " + installer + "\rError: ", 0), 0u) << boxes[0].text;

    std::string bytes = archive::build_installer("MZ", "b.exe", {installer_entry::make_value("k", "value")});
    bytes[bytes.find("value")] = 'V';
    ASSERT_TRUE(test_support::write_file(installer, bytes));
    boxes = answer_boxes([&] { archive::extract_archive(installer); });
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Invalid Archive!");
    EXPECT_EQ(boxes[0].text, invalid_text);
    EXPECT_FALSE(archive::archive_complete);

    bytes = archive::build_installer("MZ", "b.exe", {installer_entry::make_file("k", "held.txt", "data")});
    ASSERT_TRUE(test_support::write_file(installer, bytes));
    ASSERT_TRUE(test_support::write_file(work + "held.txt", "old"));
    corvid::unique_file holder(::CreateFileA((work + "held.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    boxes = answer_boxes([&] { archive::extract_archive(installer); });
    holder.reset();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Failed to extract file!");
    EXPECT_EQ(boxes[0].text,
              "File: " + work + "held.txt\rError: " + corvid::error_text(ERROR_SHARING_VIOLATION));

    bytes = archive::build_installer("MZ", "b.exe", {installer_entry::make_file("k", "..\\up.txt", "data")});
    ASSERT_TRUE(test_support::write_file(installer, bytes));
    boxes = answer_boxes([&] { archive::extract_archive(installer); });
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Failed to extract file!");
    EXPECT_EQ(boxes[0].text, "File: " + work + "..\\up.txt\rError: " + corvid::error_text(ERROR_INVALID_NAME));
    EXPECT_FALSE(test_support::exists(dir.path() + "up.txt"));
}

TEST_F(Win32ExtractBoxes, SilentRunShowsNothing) {
    corvid::set_silent_mode(true);
    std::string bytes = archive::build_installer("MZ", "b.exe", {installer_entry::make_value("k", "value")});
    bytes[bytes.find("value")] = 'V';
    ASSERT_TRUE(test_support::write_file(installer, bytes));
    auto boxes = answer_boxes([&] {
        archive::extract_archive(dir.path() + "missing.exe");
        archive::extract_archive(installer);
    });
    corvid::set_silent_mode(false);
    EXPECT_TRUE(boxes.empty());
    EXPECT_FALSE(archive::archive_complete);
}
