// What a user sees: every message box of the run as a real window (under
// Xvfb), found by caption, read, and dismissed with OK; the progress window
// of a long extraction; and silence with /s.
#include <gtest/gtest.h>

#include <ctime>
#include <cstring>
#include <functional>
#include <map>
#include <vector>

#include "corvid/error_text.hpp"
#include "corvid/handle.hpp"
#include "corvid/lock.hpp"
#include "corvid/log/policy.hpp"
#include "packing/installer_builder.hpp"
#include "tests/process/harness.hpp"
#include "tests/support/start_process.hpp"

#include <commctrl.h>

using process_test::installer_fixture;

namespace {

const std::string invalid_archive_text =
    "We are sorry, but your installation / update did not complete due to unexpected download "
    "errors.\r\nPlease download full version of the program";

struct box {
    std::string caption;
    std::string text;
};

// A started bootstrapper whose boxes the test answers.
class running {
public:
    // before_start runs while the process is created but not yet running.
    running(installer_fixture& f, const std::string& installer, const std::string& arguments,
            const std::function<void()>& before_start = {}) {
        std::string temp = f.temp().substr(0, f.temp().size() - 1);
        std::string block;
        // Private TEMP for this run, everything else inherited.
        for (const char* p = env_ = ::GetEnvironmentStringsA(); *p; p += std::strlen(p) + 1) {
            std::string e(p);
            if (_strnicmp(p, "TEMP=", 5) == 0 || _strnicmp(p, "TMP=", 4) == 0) continue;
            block += e + '\0';
        }
        block += "TEMP=" + temp + '\0' + "TMP=" + temp + '\0' + "PROBE_REPORT=" + f.report_path() + '\0' +
                 "PROBE_PARENT_WINDOWS=1" + '\0' + '\0';
        std::string cmd = "\"" + installer + "\"" + (arguments.empty() ? "" : " " + arguments);
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (!test_support::start_process([&] {
                return ::CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, block.data(),
                                        nullptr, &startup, &info);
            }))
            throw std::runtime_error("CreateProcess failed");
        p_.process.reset(info.hProcess);
        p_.thread.reset(info.hThread);
        p_.id = info.dwProcessId;
        if (before_start) before_start();
        ::ResumeThread(p_.thread.get());
    }
    ~running() {
        ::FreeEnvironmentStringsA(env_);
        if (::WaitForSingleObject(p_.process.get(), 0) == WAIT_TIMEOUT) ::TerminateProcess(p_.process.get(), 0xDEAD);
    }

    // Extraction held up while the large file is written, and let go.
    bool hold(installer_fixture& f) {
        return process_test::hold_extraction(p_, f.temp(), installer_fixture::large_file_name);
    }
    void resume() { ::ResumeThread(p_.thread.get()); }

    // Waits for the run's progress window; null when none came.
    HWND progress(HWND* bar, unsigned timeout_ms = 20000) {
        for (unsigned waited = 0; waited < timeout_ms; waited += 20) {
            if (HWND window = process_test::progress_window_of(p_.id, bar)) return window;
            if (::WaitForSingleObject(p_.process.get(), 20) == WAIT_OBJECT_0) break;
        }
        return nullptr;
    }
    bool shows_progress() { return process_test::progress_window_of(p_.id) != nullptr; }
    bool shows_any_window() { return !process_test::windows_of(p_.id).empty(); }
    // Whether a box was answered while the progress window was still there.
    bool progress_beside_a_box = false;

    // Waits for a visible dialog window with this caption, returns its text
    // and presses OK (again, until the window is gone: a box found while it
    // is still being set up may miss the first press).
    box answer(const std::string& caption, unsigned timeout_ms = 30000) {
        for (unsigned waited = 0; waited < timeout_ms; waited += 50) {
            HWND window = ::FindWindowA("#32770", caption.c_str());
            if (window && ::IsWindowVisible(window)) {
                if (shows_progress()) progress_beside_a_box = true;
                ::Sleep(200);
                char text[4096] = {};
                ::GetDlgItemTextA(window, 0xFFFF, text, sizeof(text));
                for (int press = 0; press < 20 && ::IsWindow(window); ++press) {
                    ::PostMessageA(window, WM_COMMAND, IDOK, 0);
                    for (int i = 0; i < 25 && ::IsWindow(window); ++i) ::Sleep(20);
                }
                return box{caption, text};
            }
            if (::WaitForSingleObject(p_.process.get(), 50) == WAIT_OBJECT_0) break;
        }
        return box{};
    }

    // Exit code after the process ends; 0xDEAD if it does not within the time-out.
    DWORD exit_code(unsigned timeout_ms = 30000) {
        if (::WaitForSingleObject(p_.process.get(), timeout_ms) != WAIT_OBJECT_0) return 0xDEAD;
        DWORD code = 0;
        ::GetExitCodeProcess(p_.process.get(), &code);
        return code;
    }

    // Ends (within the time-out) without showing any dialog window, or with
    // `any`, any window at all.
    bool ends_without_window(unsigned timeout_ms = 30000, bool any = false) {
        auto shown = [&] { return any ? !process_test::windows_of(p_.id).empty() : any_dialog_of_process(); };
        for (unsigned waited = 0; waited < timeout_ms; waited += 20) {
            if (shown()) return false;
            if (::WaitForSingleObject(p_.process.get(), 20) == WAIT_OBJECT_0) return !shown();
        }
        return false;
    }

private:
    bool any_dialog_of_process() {
        std::pair<DWORD, bool> s{p_.id, false};
        ::EnumWindows(find_dialog, reinterpret_cast<LPARAM>(&s));
        return s.second;
    }
    static BOOL CALLBACK find_dialog(HWND window, LPARAM param) {
        auto* s = reinterpret_cast<std::pair<DWORD, bool>*>(param);
        DWORD pid = 0;
        ::GetWindowThreadProcessId(window, &pid);
        char cls[64] = {};
        ::GetClassNameA(window, cls, sizeof(cls));
        if (pid == s->first && std::string(cls) == "#32770" && ::IsWindowVisible(window)) {
            s->second = true;
            return FALSE;
        }
        return TRUE;
    }

    process_test::running_process p_;
    char* env_ = nullptr;
};

std::string damaged_installer(installer_fixture& f) {
    std::string installer = f.pack({{"parameters", "/V\"A=1 \""}});
    std::string bytes = process_test::read_all(installer);
    std::string probe = process_test::read_all(process_test::bin_dir() + "probe.exe");
    std::string::size_type at = bytes.rfind(probe.substr(0, 4096));
    if (at == std::string::npos) throw std::runtime_error("payload not found in installer");
    bytes[at + probe.size() / 2] ^= 0x5A;
    process_test::write_all(installer, bytes);
    return installer;
}

std::string tailless_installer(installer_fixture& f) {
    std::string installer = f.pack({});
    std::string bytes = process_test::read_all(installer);
    bytes[bytes.rfind("chunked-installer-tail")] = 'C';
    process_test::write_all(installer, bytes);
    return installer;
}

}  // namespace

TEST(Boxes, DigestMismatchIsAnnouncedTwice) {
    installer_fixture f("ui_digest");
    std::string installer = damaged_installer(f);
    running run(f, installer, "");
    box first = run.answer("Invalid Archive!");
    EXPECT_EQ(first.text, invalid_archive_text);
    box second = run.answer("Invalid Archive!");
    EXPECT_EQ(second.text, invalid_archive_text);
    EXPECT_EQ(run.exit_code(), 1u);
}

TEST(Boxes, DamagedTailIsAnInvalidArchive) {
    // The marker text also stands in the program's own image, so with the
    // tail destroyed the scan stops at that copy and the chunk read there
    // fails: the user is told the download is damaged.
    installer_fixture f("ui_tail");
    std::string installer = tailless_installer(f);
    running run(f, installer, "");
    EXPECT_EQ(run.answer("Invalid Archive!").text, invalid_archive_text);
    DWORD code = run.exit_code(5000);
    if (code == 0xDEAD) {  // a digest mismatch announces itself twice
        EXPECT_EQ(run.answer("Invalid Archive!").text, invalid_archive_text);
        code = run.exit_code();
    }
    EXPECT_EQ(code, 1u);
}

TEST(Boxes, ArchiveThatCannotBeOpened) {
    installer_fixture f("ui_open");
    std::string installer = f.pack({});
    // Once the program is loaded its file is moved away (a running image may
    // be renamed), so the path the program reports for itself opens nothing.
    bool moved = false;
    running run(f, installer, "", [&] { moved = ::MoveFileA(installer.c_str(), (installer + ".moved").c_str()); });
    ASSERT_TRUE(moved) << "cannot move the installer: " << ::GetLastError();
    box failed = run.answer("Failed to open archive!");
    EXPECT_EQ(failed.text, "File: " + installer + "\rError: " + corvid::error_text(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(run.answer("Invalid Archive!").text, invalid_archive_text);
    EXPECT_EQ(run.exit_code(), 1u);
}

TEST(Boxes, ExtractionFailureIsNotCalledADamagedDownload) {
    // A file entry whose name is refused: extraction reports it, and the
    // user is not also told to download the installer again.
    installer_fixture f("ui_extract");
    const std::string stub = process_test::read_all(process_test::bin_dir() + "bootstrapper.exe");
    const std::string probe = process_test::read_all(process_test::bin_dir() + "probe.exe");
    const std::string installer = f.work() + "refused.exe";
    process_test::write_all(installer, archive::build_installer(
                                           stub, "bootstrapper.exe",
                                           {archive::installer_entry::make_value("executable32", "%installer32%"),
                                            archive::installer_entry::make_file("installer32", "CON", probe)}));
    running run(f, installer, "");
    box failed = run.answer("Failed to extract file!");
    const std::string prefix = "File: " + f.temp() + "ZELT";
    EXPECT_EQ(failed.text.substr(0, prefix.size()), prefix) << failed.text;
    const std::string suffix = "\\CON\rError: " + corvid::error_text(ERROR_INVALID_NAME);
    EXPECT_TRUE(failed.text.size() > suffix.size() &&
                failed.text.compare(failed.text.size() - suffix.size(), suffix.size(), suffix) == 0)
        << failed.text;
    EXPECT_TRUE(run.ends_without_window()) << "a second box followed";
    EXPECT_EQ(run.exit_code(), 1u);
    EXPECT_TRUE(f.report().empty()) << "the payload started";
}

TEST(Boxes, PlantedWorkingFolderThatCannotBeClearedIsNotUsed) {
    installer_fixture f("ui_locked");
    std::string installer = f.pack({});
    // Another process made every working folder the run may take and holds
    // a file in each open without delete sharing.
    std::time_t now = std::time(nullptr);
    std::vector<std::string> directories;
    std::vector<corvid::unique_file> held;
    for (int i = 0; i < 30; ++i) {
        directories.push_back(f.temp() + "ZELT" + std::to_string(static_cast<int>(now + i)) + "\\");
        ASSERT_TRUE(::CreateDirectoryA(directories.back().c_str(), nullptr));
        held.emplace_back(::CreateFileA((directories.back() + "probe.exe").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                        nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(held.back());
    }
    running run(f, installer, "");
    EXPECT_EQ(run.answer("SetCurrentDirectory failed").text, "Unable to set Working Directory");
    EXPECT_EQ(run.exit_code(), 1u);
    EXPECT_TRUE(f.report().empty()) << "the payload started";
    held.clear();
    for (const std::string& directory : directories) {
        ::DeleteFileA((directory + "probe.exe").c_str());
        ::RemoveDirectoryA(directory.c_str());
    }
}

// A file to start that is missing, or that is no program: the run's own box
// only (no shell takes part, so none of its boxes comes first).
TEST(Boxes, PayloadThatCannotBeSpawned) {
    installer_fixture f("ui_spawn");
    process_test::write_all(f.work() + "setup.cmd", "@exit 0\r\n");
    for (const std::string& installer :
         {f.pack({{"executable32", "missing.exe"}}),
          f.pack_raw({"--value", "executable32=%installer32%", "--file", "installer32=" + f.work() + "setup.cmd"},
                     "script.exe")}) {
        running run(f, installer, "");
        EXPECT_EQ(run.answer("ShellExecuteEx failed").text, "Unable to spawn process");
        EXPECT_EQ(run.exit_code(), 1u);
    }
}

TEST(Boxes, SecondInstallationIsTurnedAway) {
    installer_fixture f("ui_guard");
    std::string installer = f.pack({});
    corvid::real_mutex guard("Quillmoor.Installation");
    ASSERT_TRUE(guard.lock(0));
    running run(f, installer, "");
    EXPECT_EQ(run.answer("Already Running").text,
              "Another installation is already running or in the process of starting up.\n"
              "Please wait until the other installation has completed before trying again.");
    EXPECT_EQ(run.exit_code(), 1u);
    guard.unlock();
    // No working directory was created by the turned-away start.
    for (const std::string& name : f.temp_entries()) EXPECT_NE(name.rfind("ZELT", 0), 0u) << name;
}

TEST(Boxes, SilentRunsShowNoWindowAndCapitalSIsNotSilent) {
    installer_fixture f("ui_silent");
    std::string damaged = damaged_installer(f);
    {
        running run(f, damaged, "/s");
        EXPECT_TRUE(run.ends_without_window());
        EXPECT_EQ(run.exit_code(), 1u);
    }
    {
        running run(f, damaged, "--path=C:/setup");  // "/s" inside a longer word counts
        EXPECT_TRUE(run.ends_without_window());
        EXPECT_EQ(run.exit_code(), 1u);
    }
    {
        installer_fixture g("ui_silent_spawn");
        std::string installer = g.pack({{"executable32", "missing.exe"}});
        running run(g, installer, "/silent");
        EXPECT_TRUE(run.ends_without_window());
        EXPECT_EQ(run.exit_code(), 1u);
    }
    {
        corvid::real_mutex guard("Quillmoor.Installation");
        ASSERT_TRUE(guard.lock(0));
        running run(f, damaged, "/s");
        EXPECT_TRUE(run.ends_without_window());
        EXPECT_EQ(run.exit_code(), 1u);
        guard.unlock();
    }
    {
        running run(f, damaged, "/S");
        EXPECT_EQ(run.answer("Invalid Archive!").text, invalid_archive_text);
        EXPECT_EQ(run.answer("Invalid Archive!").text, invalid_archive_text);
        EXPECT_EQ(run.exit_code(), 1u);
    }
}

namespace {

// The bar's position and its end, read from this process.
std::pair<int, int> bar_state(HWND bar) {
    return {static_cast<int>(::SendMessageW(bar, PBM_GETPOS, 0, 0)),
            static_cast<int>(::SendMessageW(bar, PBM_GETRANGE, FALSE, 0))};
}

const char* const already_running_text =
    "Another installation is already running or in the process of starting up.\n"
    "Please wait until the other installation has completed before trying again.";

}  // namespace

TEST(Progress, ALongExtractionShowsTheProductAndItsProgressToTheEnd) {
    installer_fixture f("ui_progress");
    const std::string installer = f.pack_large();
    // A window of the test's own, where the user is typing.
    HWND typing = ::CreateWindowExA(0, "EDIT", "", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 200, 80, nullptr, nullptr,
                                    nullptr, nullptr);
    ASSERT_TRUE(typing && ::SetForegroundWindow(typing));
    running run(f, installer, "");
    ASSERT_TRUE(run.hold(f)) << "extraction was not seen";
    HWND bar = nullptr, window = run.progress(&bar);
    ASSERT_TRUE(window) << "no progress window while extraction was held up";
    char caption[64] = {};
    ::GetWindowTextA(window, caption, sizeof(caption));
    EXPECT_STREQ(caption, "Tarnwick");
    EXPECT_EQ(::GetWindowLongW(window, GWL_STYLE) & WS_CAPTION, WS_CAPTION) << "not movable by its caption";
    EXPECT_EQ(::GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST, 0) << "always on top";
    EXPECT_EQ(::GetForegroundWindow(), typing) << "the window took the focus";
    const auto [held_at, end] = bar_state(bar);
    EXPECT_GT(held_at, 0);
    EXPECT_LT(held_at, end);
    {
        // A second start is turned away, and then brings this window forward
        // (from behind the window the user was typing in).
        ASSERT_TRUE(::SetWindowPos(typing, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE));
        running second(f, installer, "");
        EXPECT_EQ(second.answer("Already Running").text, already_running_text);
        EXPECT_EQ(second.exit_code(), 1u);
        EXPECT_EQ(::GetForegroundWindow(), window);
    }
    // The run waits at its first log line after extraction while the log's
    // lock is held: the window stays up with the bar at its end.
    corvid::real_mutex log_lock(corvid::log::file_lock_name(f.temp() + "Keelson"));
    ASSERT_TRUE(log_lock.lock(0));
    run.resume();
    int last = held_at;
    for (int i = 0; i < 400 && last < end; ++i, ::Sleep(10)) {
        const int now = bar_state(bar).first;
        EXPECT_GE(now, last) << "the bar went back";
        last = now;
    }
    EXPECT_EQ(last, end) << "the bar did not reach its end";
    log_lock.unlock();
    EXPECT_EQ(run.exit_code(), 0u);
    EXPECT_EQ(f.report()["parent_windows"], "0") << "a window of the bootstrapper's was still there";
    ::DestroyWindow(typing);
}

TEST(Progress, SilentAndShortRunsShowNoWindowAtAll) {
    installer_fixture f("ui_progress_none");
    {
        running run(f, f.pack_large(), "/s");
        ASSERT_TRUE(run.hold(f));
        ::Sleep(3000);  // well past the delay
        EXPECT_FALSE(run.shows_any_window());
        run.resume();
        EXPECT_TRUE(run.ends_without_window(30000, true));
        EXPECT_EQ(run.exit_code(), 0u);
    }
    running run(f, f.pack({}), "");
    EXPECT_TRUE(run.ends_without_window(30000, true));
    EXPECT_EQ(run.exit_code(), 0u);
    EXPECT_FALSE(f.report().empty());
}

TEST(Progress, ADamagedArchiveShowsItsBoxesWithNoProgressWindowLeft) {
    installer_fixture f("ui_progress_damaged");
    const std::string large = process_test::read_all(f.pack_large()), small = process_test::read_all(f.pack({}));
    const std::size_t image = process_test::read_all(process_test::bin_dir() + "bootstrapper.exe").size();
    // A changed byte inside the large file (told by extraction and by the
    // run), and the large archive behind the image sealed for another one
    // (told by the run only).
    std::string changed = large, foreign = small.substr(0, image) + large.substr(image);
    changed[changed.find(std::string(1 << 20, '\0')) + (16 << 20)] ^= 0x5A;
    for (const auto& [bytes, boxes] : {std::pair(changed, 2), std::pair(foreign, 1)}) {
        process_test::write_all(f.work() + "damaged.exe", bytes);
        running run(f, f.work() + "damaged.exe", "");
        ASSERT_TRUE(run.hold(f));
        ASSERT_TRUE(run.progress(nullptr));
        run.resume();
        for (int i = 0; i < boxes; ++i) EXPECT_EQ(run.answer("Invalid Archive!").text, invalid_archive_text);
        EXPECT_FALSE(run.progress_beside_a_box) << "the progress window was left beside a box";
        EXPECT_EQ(run.exit_code(), 1u);
        EXPECT_TRUE(f.report().empty()) << "the payload started";
    }
}

TEST(Progress, CancelStartsNothingLeavesNothingAndEndsWith1602) {
    installer_fixture f("ui_progress_cancel");
    running run(f, f.pack_large(), "");
    ASSERT_TRUE(run.hold(f));
    HWND window = run.progress(nullptr);
    ASSERT_TRUE(window);
    ::SendMessageW(::FindWindowExA(window, nullptr, "Button", "Cancel"), BM_CLICK, 0, 0);
    run.resume();
    EXPECT_TRUE(run.ends_without_window()) << "a box was shown";
    EXPECT_EQ(run.exit_code(), 1602u);
    EXPECT_EQ(f.temp_entries(), std::vector<std::string>{"Keelson.log.txt"}) << "the payload started or files were left";
}
