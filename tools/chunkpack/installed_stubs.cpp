#include "installed_stubs.hpp"

#include <filesystem>

#include "pe/installer_identity.hpp"
#include "platform/std/stdio_io.hpp"
#include "release_version.h"

#if defined(_WIN32)
#include "corvid/win32.hpp"
#endif

namespace chunkpack {

namespace fs = std::filesystem;

namespace {

#if defined(_WIN32)
// The packer's own path in the ANSI code page, in which it opens every file;
// empty when the system cannot name it there.
std::string own_executable() {
    std::wstring wide(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, wide.data(), static_cast<DWORD>(wide.size()));
        if (length == 0) return std::string();
        if (length < wide.size()) {
            wide.resize(length);
            break;
        }
        wide.resize(wide.size() * 2);
    }
    BOOL lossy = FALSE;
    const int size = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, &lossy);
    if (size <= 0 || lossy) return std::string();
    std::string narrow(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), narrow.data(),
                          size, nullptr, nullptr);
    return narrow;
}
#else
std::string own_executable() {
    std::error_code ec;
    const fs::path path = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : path.string();
}
#endif

// The installed stub of `architecture`, or an empty text when the packer's
// own path is unknown.
std::string installed_stub(const std::string& architecture) {
    const std::string own = own_executable();
    if (own.empty()) return std::string();
    const fs::path prefix = fs::path(own).parent_path().parent_path();
    return (prefix / stubs_folder / architecture / stub_file_name).lexically_normal().make_preferred().string();
}

// "1.0.0.0", "no version information", or why the stub cannot be read.
std::string stub_version(const std::string& path) {
    archive::stdio_input input;
    if (!input.open(path)) return "not installed";
    try {
        const archive::installer_identity identity = archive::read_identity(archive::pe::read_image(input), input);
        if (!identity.has_version) return "no version information";
        const auto& v = identity.file_version;
        return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
               std::to_string(v[3]);
    } catch (const archive::pe::format_error& e) {
        return std::string("unreadable: ") + e.message();
    }
}

}  // namespace

stub_choice choose_stub(const std::string& option) {
    if (!option.empty() && option != "x86" && option != "x64") return {option, {}};
    const std::string architecture = option.empty() ? "x86" : option;
    const std::string path = installed_stub(architecture);
    if (path.empty()) return {{}, "cannot find the installed " + architecture + " stub: the packer's own path is unknown"};
    std::error_code ec;
    if (!fs::is_regular_file(path, ec))
        return {{}, "no installed " + architecture + " stub at " + path + " (give the stub's path with --stub PATH)"};
    return {path, {}};
}

std::string version_text() {
    std::string text = std::string("chunkpack ") + RELEASE_VERSION_TEXT + "\n";
    for (const char* architecture : {"x86", "x64"}) {
        const std::string path = installed_stub(architecture);
        text += std::string("stub ") + architecture + ": " + (path.empty() ? "not found" : stub_version(path)) +
                (path.empty() ? "" : " (" + path + ")") + "\n";
    }
    return text;
}

}  // namespace chunkpack
