#include "tests/support/scratch_dir.hpp"

#include <algorithm>
#include <atomic>
#include <stdexcept>

#include "corvid/handle.hpp"
#include "corvid/temp.hpp"
#include "corvid/unicode/convert.hpp"

#include <winioctl.h>

namespace test_support {

scratch_dir::scratch_dir(const std::string& tag) {
    // Process ids come round again: a name is made of the id, the moment the
    // program started and a count, and any name already taken is skipped.
    static const unsigned long long started = [] {
        FILETIME now;
        ::GetSystemTimeAsFileTime(&now);
        return (static_cast<unsigned long long>(now.dwHighDateTime) << 32 | now.dwLowDateTime) / 10000;
    }();
    static std::atomic<unsigned> counter{0};
    char base[MAX_PATH];
    DWORD n = ::GetTempPathA(MAX_PATH, base);
    if (n == 0 || n > MAX_PATH) throw std::runtime_error("GetTempPathA failed");
    for (int attempt = 0; attempt < 100; ++attempt) {
        path_ = std::string(base, n) + "t_" + tag + "_" + std::to_string(::GetCurrentProcessId()) + "_" +
                std::to_string(started % 100000000) + "_" + std::to_string(counter++) + "\\";
        if (::CreateDirectoryA(path_.c_str(), nullptr)) return;
    }
    throw std::runtime_error("CreateDirectoryA failed for " + path_);
}

scratch_dir::~scratch_dir() {
    if (corvid::remove_directory_tree(path_) || !exists(path_)) return;
    const std::string unix_name = unix_path(path_.substr(0, path_.size() - 1));
    if (unix_name.find("/t_") != std::string::npos) run_unix_shell("rm -rf '" + unix_name + "'");
}

bool write_file(const std::string& path, const std::string& bytes) {
    corvid::unique_file f(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return false;
    DWORD written = 0;
    return ::WriteFile(f.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

bool write_sparse_file(const std::string& path, const std::string& head, unsigned long long hole,
                       const std::string& tail) {
    corvid::unique_file f(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return false;
    // Refused by file systems without sparse files: the hole is then zeros
    // on disk, the same bytes.
    DWORD returned = 0;
    ::DeviceIoControl(f.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    DWORD written = 0;
    LARGE_INTEGER tail_at;
    tail_at.QuadPart = static_cast<LONGLONG>(head.size() + hole);
    return ::WriteFile(f.get(), head.data(), static_cast<DWORD>(head.size()), &written, nullptr) &&
           written == head.size() && ::SetFilePointerEx(f.get(), tail_at, nullptr, FILE_BEGIN) &&
           ::WriteFile(f.get(), tail.data(), static_cast<DWORD>(tail.size()), &written, nullptr) &&
           written == tail.size();
}

std::string read_file(const std::string& path) {
    corvid::unique_file f(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return std::string();
    std::string out;
    char buf[65536];
    DWORD got = 0;
    while (::ReadFile(f.get(), buf, sizeof(buf), &got, nullptr) && got > 0) out.append(buf, got);
    return out;
}

bool exists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry;
    corvid::unique_find listing(::FindFirstFileA((dir + "*").c_str(), &entry));
    if (!listing) return names;
    do {
        std::string name = entry.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (::FindNextFileA(listing.get(), &entry));
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::wstring> names_in(const std::wstring& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    corvid::unique_find listing(::FindFirstFileW((dir + L"*").c_str(), &entry));
    if (!listing) return names;
    do {
        std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (::FindNextFileW(listing.get(), &entry));
    std::sort(names.begin(), names.end());
    return names;
}

std::string unix_path(const std::string& path) {
    using fn = char*(CDECL*)(LPCWSTR);
    auto get = reinterpret_cast<fn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!get) return std::string();
    std::wstring wide = corvid::unicode::to_wide(path, 0);
    char* unix_name = get(wide.c_str());
    if (!unix_name) return std::string();
    std::string result(unix_name);
    ::HeapFree(::GetProcessHeap(), 0, unix_name);
    return result;
}

bool start_unix_program(const char* program, std::string command_line) {
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    // Wine fills in no process for a Unix program: the handles it gives back
    // are whatever its stack held (closing them closed handles of this
    // process at random), so they are left alone.
    return ::CreateProcessA(program, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &info) != FALSE;
}

std::string run_unix_shell(const std::string& command) {
    static std::atomic<unsigned> counter{0};
    char base[MAX_PATH];
    DWORD n = ::GetTempPathA(MAX_PATH, base);
    if (n == 0 || n > MAX_PATH) return "(not run)";
    const std::string done = std::string(base, n) + "unix_" + std::to_string(::GetCurrentProcessId()) + "_" +
                             std::to_string(counter++) + ".out";
    const std::string unix_done = unix_path(done);
    ::DeleteFileA(done.c_str());
    // The output appears under its name only once the command has ended.
    if (unix_done.empty() ||
        !start_unix_program("Z:\\bin\\sh", "sh -c \"(" + command + ") > '" + unix_done + ".part' 2>&1; mv '" +
                                                  unix_done + ".part' '" + unix_done + "'\""))
        return "(not run)";
    for (int waited = 0; waited < 30000 && !exists(done); waited += 20) ::Sleep(20);
    if (!exists(done)) return "(not run)";
    std::string output = read_file(done);
    ::DeleteFileA(done.c_str());
    return output;
}

}  // namespace test_support
