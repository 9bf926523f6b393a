#include "tests/process/harness.hpp"

#include <cstdlib>
#include <cwctype>
#include <stdexcept>

#include "corvid/handle.hpp"
#include "corvid/unicode/convert.hpp"
#include "corvid/win32.hpp"
#include "tests/support/quote_argument.hpp"
#include "tests/support/start_process.hpp"

namespace process_test {

std::string bin_dir() {
    char path[MAX_PATH * 4];
    DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof(path));
    std::string p(path, n);
    return p.substr(0, p.rfind('\\') + 1);
}

namespace {

// Environment block of this process with the overrides applied (names are
// compared case-insensitively, as Windows does).
std::string environment_block(const std::map<std::string, std::string>& overrides) {
    auto upper = [](std::string s) {
        for (char& c : s) c = static_cast<char>(::toupper(static_cast<unsigned char>(c)));
        return s;
    };
    std::map<std::string, std::pair<std::string, std::string>> vars;  // UPPER -> (name, value)
    char* block = ::GetEnvironmentStringsA();
    for (const char* p = block; *p; p += std::char_traits<char>::length(p) + 1) {
        std::string entry(p);
        std::string::size_type eq = entry.find('=', 1);
        if (eq == std::string::npos) continue;
        vars[upper(entry.substr(0, eq))] = {entry.substr(0, eq), entry.substr(eq + 1)};
    }
    ::FreeEnvironmentStringsA(block);
    for (const auto& [name, value] : overrides) {
        if (value.empty()) vars.erase(upper(name));
        else vars[upper(name)] = {name, value};
    }
    std::string out;
    for (const auto& [key, nv] : vars) out += nv.first + "=" + nv.second + '\0';
    out += '\0';
    return out;
}

std::wstring environment_block_w(const std::map<std::wstring, std::wstring>& overrides) {
    std::map<std::wstring, std::pair<std::wstring, std::wstring>> vars;  // UPPER -> (name, value)
    auto upper = [](std::wstring s) {
        for (wchar_t& c : s) c = static_cast<wchar_t>(::towupper(c));
        return s;
    };
    wchar_t* block = ::GetEnvironmentStringsW();
    for (const wchar_t* p = block; *p; p += std::char_traits<wchar_t>::length(p) + 1) {
        std::wstring entry(p);
        std::wstring::size_type eq = entry.find(L'=', 1);
        if (eq == std::wstring::npos) continue;
        vars[upper(entry.substr(0, eq))] = {entry.substr(0, eq), entry.substr(eq + 1)};
    }
    ::FreeEnvironmentStringsW(block);
    for (const auto& [name, value] : overrides) {
        if (value.empty()) vars.erase(upper(name));
        else vars[upper(name)] = {name, value};
    }
    std::wstring out;
    for (const auto& [key, nv] : vars) out += nv.first + L"=" + nv.second + L'\0';
    out += L'\0';
    return out;
}

}  // namespace

std::string quote(const std::string& s) { return test_support::quote_argument(s); }

namespace {

// Owns the started process, waits for it (killing it after the time-out) and
// collects its full exit code.
started wait_for(const PROCESS_INFORMATION& info, unsigned timeout_ms) {
    corvid::unique_handle process(info.hProcess), thread(info.hThread);
    started result;
    if (::WaitForSingleObject(process.get(), timeout_ms) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 0xDEAD);
        ::WaitForSingleObject(process.get(), 5000);
        return result;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process.get(), &code);
    result.exit_code = code;
    result.finished = true;
    return result;
}

}  // namespace

running_process start_process(const std::string& command_line, const std::map<std::string, std::string>& env,
                              const std::string& directory) {
    std::string block = environment_block(env);
    std::string cmd = command_line;
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!test_support::start_process([&] {
            return ::CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, block.data(),
                                    directory.empty() ? nullptr : directory.c_str(), &startup, &info);
        }))
        throw std::runtime_error("CreateProcess failed (" + std::to_string(::GetLastError()) + "): " + command_line);
    running_process p;
    p.process.reset(info.hProcess);
    p.thread.reset(info.hThread);
    p.id = info.dwProcessId;
    return p;
}

started wait_for(running_process& p, unsigned timeout_ms) {
    PROCESS_INFORMATION info{p.process.release(), p.thread.release(), p.id, 0};
    return wait_for(info, timeout_ms);
}

started run_process(const std::string& command_line, const std::map<std::string, std::string>& env,
                    unsigned timeout_ms, const std::string& directory) {
    running_process p = start_process(command_line, env, directory);
    return wait_for(p, timeout_ms);
}

bool hold_extraction(running_process& p, const std::string& temp, const std::string& name, unsigned timeout_ms,
                     unsigned long long at_least) {
    for (unsigned waited = 0; waited < timeout_ms; ++waited) {
        WIN32_FIND_DATAA entry;
        corvid::unique_find folders(::FindFirstFileA((temp + "ZELT*").c_str(), &entry));
        WIN32_FILE_ATTRIBUTE_DATA file;
        if (folders && ::GetFileAttributesExA((temp + entry.cFileName + "\\" + name).c_str(), GetFileExInfoStandard,
                                              &file) &&
            (static_cast<unsigned long long>(file.nFileSizeHigh) << 32 | file.nFileSizeLow) >= at_least)
            return ::SuspendThread(p.thread.get()) != static_cast<DWORD>(-1);
        if (::WaitForSingleObject(p.process.get(), 1) == WAIT_OBJECT_0) return false;
    }
    return false;
}

namespace {

BOOL CALLBACK collect_window(HWND window, LPARAM parameter) {
    auto* f = reinterpret_cast<std::pair<DWORD, std::vector<HWND>>*>(parameter);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner == f->first && ::IsWindowVisible(window)) f->second.push_back(window);
    return TRUE;
}

}  // namespace

std::vector<HWND> windows_of(DWORD pid) {
    std::pair<DWORD, std::vector<HWND>> found{pid, {}};
    ::EnumWindows(collect_window, reinterpret_cast<LPARAM>(&found));
    return found.second;
}

HWND progress_window_of(DWORD pid, HWND* bar) {
    for (HWND window : windows_of(pid))
        if (HWND child = ::FindWindowExW(window, nullptr, L"msctls_progress32", nullptr)) {
            if (bar) *bar = child;
            return window;
        }
    return nullptr;
}

started run_process_w(const std::wstring& command_line, const std::map<std::wstring, std::wstring>& env,
                      unsigned timeout_ms) {
    std::wstring block = environment_block_w(env);
    std::wstring cmd = command_line;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!test_support::start_process([&] {
            return ::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                                    block.data(), nullptr, &startup, &info);
        }))
        throw std::runtime_error("CreateProcessW failed (" + std::to_string(::GetLastError()) + ")");
    return wait_for(info, timeout_ms);
}

std::string read_all(const std::string& path) { return test_support::read_file(path); }

void write_all(const std::string& path, const std::string& bytes) {
    if (!test_support::write_file(path, bytes)) throw std::runtime_error("cannot write " + path);
}

installer_fixture::installer_fixture(const std::string& tag) : temp_(tag + "_tmp"), work_(tag + "_work") {}

std::string installer_fixture::pack_raw(const std::vector<std::string>& arguments, const std::string& name,
                                        const std::string& stub) {
    std::string out = work_.path() + name;
    // Tests pack deliberate mistakes (no "executable32", a payload that is
    // not there) to see what a run makes of them.
    std::string cmd = quote(bin_dir() + "chunkpack.exe") + " build --force --stub " + quote(bin_dir() + stub) +
                      " --out " + quote(out);
    for (const std::string& a : arguments) cmd += " " + quote(a);
    started s = run_process(cmd, {});
    if (!s.finished || s.exit_code != 0)
        throw std::runtime_error("chunkpack build failed with " + std::to_string(s.exit_code) + ": " + cmd);
    return out;
}

std::string installer_fixture::pack(const std::vector<std::pair<std::string, std::string>>& values,
                                    const std::string& name, const std::string& stub,
                                    const std::vector<std::pair<std::string, std::string>>& files) {
    std::vector<std::string> args;
    bool names_executable = false;
    for (const auto& [key, value] : values) {
        args.push_back("--value");
        args.push_back(key + "=" + value);
        if (key == "executable32") names_executable = true;
    }
    if (!names_executable) {
        args.push_back("--value");
        args.push_back("executable32=%installer32%");
    }
    args.push_back("--file");
    args.push_back("installer32=" + bin_dir() + "probe.exe");
    for (const auto& [key, path] : files) {
        args.push_back("--file");
        args.push_back(key + "=" + path);
    }
    return pack_raw(args, name, stub);
}

started installer_fixture::run(const std::string& installer, const std::string& arguments,
                               std::uint32_t probe_exit, std::map<std::string, std::string> env,
                               const std::string& directory) {
    running_process p = start(installer, arguments, probe_exit, std::move(env), directory);
    return wait_for(p, 60000);
}

running_process installer_fixture::start(const std::string& installer, const std::string& arguments,
                                         std::uint32_t probe_exit, std::map<std::string, std::string> env,
                                         const std::string& directory) {
    std::string temp_no_slash = temp_.path().substr(0, temp_.path().size() - 1);
    env.emplace("TEMP", temp_no_slash);
    env.emplace("TMP", temp_no_slash);
    env.emplace("PROBE_REPORT", report_path());
    env.emplace("PROBE_EXIT", std::to_string(probe_exit));
    std::string cmd = quote(installer);
    if (!arguments.empty()) cmd += " " + arguments;
    return start_process(cmd, env, directory);
}

std::string installer_fixture::pack_large(const std::string& name) {
    // 32 MiB of zeros (and a line end): about 70 ms to extract natively
    // here, 700 ms under the emulated 32-bit Wine; as a sparse file cheap to
    // make.
    const std::string filler = work_.path() + large_file_name;
    if (!test_support::exists(filler) && !test_support::write_sparse_file(filler, "", (32u << 20) - 1, "\n"))
        throw std::runtime_error("cannot write " + filler);
    return pack_raw({"--value", "executable32=%installer32%", "--file", "installer32=" + bin_dir() + "probe.exe",
                     "--file", std::string("filler=") + filler},
                    name);
}

started installer_fixture::run_w(const std::wstring& installer, const std::wstring& arguments,
                                 std::uint32_t probe_exit) {
    auto wide = [](const std::string& text) { return corvid::unicode::to_wide(text, CP_ACP); };
    const std::wstring temp = wide(temp_.path().substr(0, temp_.path().size() - 1));
    return run_process_w(L"\"" + installer + L"\" " + arguments,
                         {{L"TEMP", temp},
                          {L"TMP", temp},
                          {L"PROBE_REPORT", wide(report_path())},
                          {L"PROBE_EXIT", std::to_wstring(probe_exit)}});
}

int run_shell(const std::string& command, const std::string& folder) {
    const std::string status = folder + "shell-status.txt";
    ::DeleteFileA(status.c_str());
    if (!test_support::start_unix_program(
            "Z:\\bin\\bash", "bash -c \"" + command + "; echo $? > '" + test_support::unix_path(folder) + "/shell-status.txt'\""))
        return -1;
    for (int waited = 0; waited < 60000; waited += 50) {
        const std::string text = read_all(status);
        if (!text.empty() && text.back() == '\n') return std::atoi(text.c_str());
        ::Sleep(50);
    }
    return -1;
}

std::map<std::string, std::string> installer_fixture::report() const {
    std::map<std::string, std::string> fields;
    std::string text = read_all(report_path());
    std::string::size_type start = 0;
    while (start < text.size()) {
        std::string::size_type end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        std::string::size_type eq = line.find('=');
        if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
        start = end + 1;
    }
    return fields;
}

std::vector<std::string> installer_fixture::temp_entries() const { return test_support::names_in(temp_.path()); }

}  // namespace process_test
