// Probe payload for process-level tests: a GUI program, like a real setup.
// It writes what it was started with to the file named by PROBE_REPORT and
// exits with the code in PROBE_EXIT (any 32-bit value, decimal or 0x hex).
//   PROBE_SLEEP_MS  milliseconds to wait before exiting (for guard tests)
//   PROBE_MARKER    a file to create at start (counted by concurrency tests)
//   PROBE_TIMESTAMP when set, the marker line also carries the performance
//                   counter read on entry ("started <ticks>"), for timing
//                   harnesses on the same machine
//   PROBE_PARENT_MODULES when set, the report also gets "parent_modules=",
//                   the full paths of the modules loaded in the process that
//                   started the probe (the waiting bootstrapper), separated
//                   by "|", or "unreadable"
//   PROBE_PARENT_WINDOWS when set, the report also gets "parent_windows=",
//                   how many visible top-level windows that process has
//   PROBE_LOAD      a library to load by bare name, as a setup loads an
//                   optional one: "loaded=" its full path, or "none"
//   PROBE_START     a command line to start with no program path, as a setup
//                   starts "msiexec.exe": "started=" its exit code, or "none"
//                   (the variable is removed first, so that what starts is
//                   not told to start again)
//   PROBE_COMPANIONS when set, the probe works on files beside itself as a
//                   setup does: rewrites "companion.txt" opened exclusively,
//                   deletes "doomed.txt", renames "moved.txt" to
//                   "renamed.txt"; "companions=ok", or what failed with the
//                   system's error code
// Report lines: "commandline=", "cwd=", "path=", "nodefaultcwd=" (the value
// of NoDefaultCurrentDirectoryInExePath), each followed by the exact
// text (ANSI, as the narrow functions give it), "wcommandline=", "wcwd=",
// "wpath=", the same from the wide functions as UTF-8, "image=", a 64-bit FNV-1a hash of the probe's own file in hex, by
// which a test tells the intact payload from damaged bytes, and "folder=",
// the names in the probe's own folder, sorted and separated by "|".
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <set>
#include <string>

#include "corvid/handle.hpp"
#include "corvid/win32.hpp"

#include <tlhelp32.h>

namespace {

std::string env(const char* name) {
    char buffer[32768];
    DWORD n = ::GetEnvironmentVariableA(name, buffer, sizeof(buffer));
    return (n == 0 || n >= sizeof(buffer)) ? std::string() : std::string(buffer, n);
}

void append_file(const std::string& path, const std::string& text) {
    corvid::unique_file file(::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string image_hash(const char* path) {
    corvid::unique_file file(::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return "unreadable";
    std::uint64_t hash = 0xcbf29ce484222325ull;
    char block[65536];
    DWORD got = 0;
    while (::ReadFile(file.get(), block, sizeof(block), &got, nullptr) && got != 0)
        for (DWORD i = 0; i < got; ++i) hash = (hash ^ static_cast<unsigned char>(block[i])) * 0x100000001b3ull;
    char text[17];
    std::snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::string folder_names(const std::string& path) {
    std::string folder = path.substr(0, path.rfind('\\') + 1);
    std::set<std::string> names;
    WIN32_FIND_DATAA entry;
    corvid::unique_find listing(::FindFirstFileA((folder + "*").c_str(), &entry));
    if (!listing) return "unlisted";
    do {
        std::string name = entry.cFileName;
        if (name != "." && name != "..") names.insert(name);
    } while (::FindNextFileA(listing.get(), &entry));
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : "|") + name;
    return text;
}

std::string utf8(const wchar_t* text, int length) {
    int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string bytes(size > 0 ? size : 0, '\0');
    if (size > 0) ::WideCharToMultiByte(CP_UTF8, 0, text, length, bytes.data(), size, nullptr, nullptr);
    return bytes;
}

std::string wide_report() {
    static wchar_t cwd[32768], path[32768];
    const DWORD cwd_length = ::GetCurrentDirectoryW(32768, cwd);
    const DWORD path_length = ::GetModuleFileNameW(nullptr, path, 32768);
    const wchar_t* command_line = ::GetCommandLineW();
    return "wcommandline=" + utf8(command_line, static_cast<int>(std::wcslen(command_line))) + "\n" +
           "wcwd=" + utf8(cwd, static_cast<int>(cwd_length)) + "\n" + "wpath=" + utf8(path, static_cast<int>(path_length)) +
           "\n";
}

DWORD parent_id() {
    const DWORD self = ::GetCurrentProcessId();
    DWORD parent = 0;
    corvid::unique_file processes(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!processes) return 0;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32First(processes.get(), &entry); more; more = ::Process32Next(processes.get(), &entry))
        if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
    return parent;
}

BOOL CALLBACK count_window(HWND window, LPARAM parameter) {
    auto* c = reinterpret_cast<std::pair<DWORD, int>*>(parameter);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner == c->first && ::IsWindowVisible(window)) ++c->second;
    return TRUE;
}

std::string parent_windows() {
    std::pair<DWORD, int> count{parent_id(), 0};
    if (count.first == 0) return "unreadable";
    ::EnumWindows(count_window, reinterpret_cast<LPARAM>(&count));
    return std::to_string(count.second);
}

std::string parent_modules() {
    const DWORD parent = parent_id();
    if (parent == 0) return "unreadable";
    corvid::unique_file modules(::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, parent));
    if (!modules) return "unreadable";
    MODULEENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    std::string list;
    for (BOOL more = ::Module32First(modules.get(), &entry); more; more = ::Module32Next(modules.get(), &entry))
        list += (list.empty() ? "" : "|") + std::string(entry.szExePath);
    return list.empty() ? "unreadable" : list;
}

std::string loaded_library(const std::string& name) {
    HMODULE module = ::LoadLibraryA(name.c_str());
    if (!module) return "none";
    char path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(module, path, MAX_PATH);
    return std::string(path, length);
}

std::string started_program(std::string command_line) {
    ::SetEnvironmentVariableA("PROBE_START", nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return "none";
    corvid::unique_handle process(info.hProcess), thread(info.hThread);
    DWORD code = 0;
    ::WaitForSingleObject(process.get(), 60000);
    ::GetExitCodeProcess(process.get(), &code);
    return std::to_string(code);
}

// What a setup does to the files it brought along.
std::string work_on_companions(const std::string& folder) {
    std::string failed;
    auto note = [&](const char* what) { failed += (failed.empty() ? "" : ",") + std::string(what) + ":" + std::to_string(::GetLastError()); };
    {
        corvid::unique_file exclusive(::CreateFileA((folder + "companion.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!exclusive || !::SetEndOfFile(exclusive.get()) || !::WriteFile(exclusive.get(), "rewritten", 9, &written, nullptr))
            note("rewrite");
    }
    if (!::DeleteFileA((folder + "doomed.txt").c_str())) note("delete");
    if (!::MoveFileA((folder + "moved.txt").c_str(), (folder + "renamed.txt").c_str())) note("rename");
    return failed.empty() ? "ok" : failed;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    LARGE_INTEGER entered;
    if (!::QueryPerformanceCounter(&entered)) entered.QuadPart = 0;

    std::string marker = env("PROBE_MARKER");
    if (!marker.empty()) {
        if (env("PROBE_TIMESTAMP").empty())
            append_file(marker, "started\n");
        else
            append_file(marker, "started " + std::to_string(entered.QuadPart) + "\n");
    }

    std::string report = env("PROBE_REPORT");
    if (!report.empty()) {
        char cwd[32768];
        DWORD cwd_length = ::GetCurrentDirectoryA(sizeof(cwd), cwd);
        char path[32768];
        DWORD path_length = ::GetModuleFileNameA(nullptr, path, sizeof(path));
        std::string text = std::string("commandline=") + ::GetCommandLineA() + "\n" +
                           "cwd=" + std::string(cwd, cwd_length) + "\n" +
                           "path=" + std::string(path, path_length) + "\n" +
                           "image=" + image_hash(std::string(path, path_length).c_str()) + "\n" +
                           "folder=" + folder_names(std::string(path, path_length)) + "\n" + wide_report();
        text += "nodefaultcwd=" + env("NoDefaultCurrentDirectoryInExePath") + "\n";
        if (!env("PROBE_PARENT_MODULES").empty()) text += "parent_modules=" + parent_modules() + "\n";
        if (!env("PROBE_PARENT_WINDOWS").empty()) text += "parent_windows=" + parent_windows() + "\n";
        if (const std::string library = env("PROBE_LOAD"); !library.empty())
            text += "loaded=" + loaded_library(library) + "\n";
        if (const std::string command = env("PROBE_START"); !command.empty())
            text += "started=" + started_program(command) + "\n";
        if (!env("PROBE_COMPANIONS").empty()) {
            const std::string own(path, path_length);
            text += "companions=" + work_on_companions(own.substr(0, own.rfind('\\') + 1)) + "\n";
        }
        append_file(report, text);
    }

    std::string sleep = env("PROBE_SLEEP_MS");
    if (!sleep.empty()) ::Sleep(static_cast<DWORD>(std::strtoul(sleep.c_str(), nullptr, 10)));

    std::string code = env("PROBE_EXIT");
    return code.empty() ? 0 : static_cast<int>(std::strtoul(code.c_str(), nullptr, 0));
}
