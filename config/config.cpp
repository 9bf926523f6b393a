#include "config/config.hpp"

#include <shlobj.h>

#include <cstdlib>
#include <filesystem>
#include <utility>
#include <vector>

#include "corvid/exception.hpp"
#include "corvid/exception_w.hpp"
#include "corvid/unicode/convert.hpp"

namespace config {

namespace {

std::wstring module_folder_value;
std::wstring module_file_name_value;
std::wstring user_data_folder_value;
std::wstring common_data_folder_value;
std::wstring user_data_root_value;
std::wstring common_data_root_value;
// Vendor first, product second.
std::pair<std::wstring, std::wstring> names;

bool removal_registered = false;

// The module's full path, however long: a path cut at 260 characters would
// name another folder.
std::wstring module_path(HINSTANCE module) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD n = ::GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) throw corvid::exception_w(L"Error. config::init. GetModuleFileName return 0.");
        if (n < buffer.size()) return std::wstring(buffer.data(), n);
        if (buffer.size() >= 32768) return std::wstring(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
    }
}

// SHGetFolderPathW with no window and no token, the folder's current path.
bool known_folder(int csidl, std::wstring& folder) {
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, csidl, nullptr, 0, buffer))) return false;
    folder = buffer;
    return true;
}

}  // namespace

std::wstring load_resource_string(int id, HINSTANCE module) {
    wchar_t buffer[260] = {};
    if (::LoadStringW(module, static_cast<UINT>(id), buffer, 260) == 0)
        throw corvid::exception("resource string %d is not found", id);
    return std::wstring(buffer);
}

void init(HINSTANCE module) {
    names.first = load_resource_string(2001, module);
    names.second = load_resource_string(2002, module);

    std::wstring path = module_path(module);
    std::size_t slash = path.rfind(L'\\');
    std::size_t split = slash == std::wstring::npos ? 0 : slash + 1;
    module_folder_value = path.substr(0, split);
    module_file_name_value = path.substr(split);

    std::wstring folder;
    if (!known_folder(CSIDL_COMMON_APPDATA, folder))
        throw corvid::exception_w(L"Error. config::init. Can not find CSIDL_COMMON_APPDATA.");
    common_data_root_value = folder + L"\\";
    common_data_folder_value = common_data_root_value + names.first + L"\\" + names.second + L"\\";

    user_data_root_value = known_folder(CSIDL_APPDATA, folder) ? folder + L"\\" : common_data_root_value;
    user_data_folder_value = user_data_root_value + names.first + L"\\" + names.second + L"\\";

    if (module != nullptr) return;

    // The standard library's form of "create the folder and its missing
    // parents"; given the wide path, it uses the system's wide file calls, so
    // folder names outside the ANSI code page are created as they are.
    std::wstring dumps = user_data_folder_value + L"Dumps";
    std::filesystem::create_directories(std::filesystem::path(dumps));

    std::string base = corvid::unicode::to_narrow(dumps + L"\\" + module_file_name_value, 0, true);
    if (install_dump_handler(base) && !removal_registered) {
        if (std::atexit(remove_dump_handler) == 0) removal_registered = true;
    }
}

std::wstring module_folder() { return module_folder_value; }
std::wstring module_file_name() { return module_file_name_value; }
std::wstring user_data_folder() { return user_data_folder_value; }
std::wstring common_data_folder() { return common_data_folder_value; }
std::wstring user_data_root() { return user_data_root_value; }
std::wstring common_data_root() { return common_data_root_value; }
std::wstring vendor_name() { return names.first; }
std::wstring product_name() { return names.second; }

}  // namespace config
