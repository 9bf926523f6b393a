#include "config/config.hpp"

#include <shlobj.h>

#include <cstdlib>
#include <utility>
#include <vector>

#include "corvid/error_text.hpp"
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

// Creates `folder` with any missing parents, with the wide calls so that
// names outside the ANSI code page are created as they are. Each leading part
// is tried in turn and its failure passed over (a drive, a share or an
// existing folder cannot be created); only whether `folder` is a folder at the
// end decides. Throws corvid::exception_w with the reason of the last failed
// creation.
void create_folder_and_parents(const std::wstring& folder) {
    DWORD error = ERROR_SUCCESS;
    for (std::size_t at = folder.find_first_of(L"\\/");; at = folder.find_first_of(L"\\/", at + 1)) {
        std::wstring part = folder.substr(0, at);
        if (!part.empty() && part.back() != L':')
            error = ::CreateDirectoryW(part.c_str(), nullptr) ? ERROR_SUCCESS : ::GetLastError();
        if (at == std::wstring::npos) break;
    }
    DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
    if (error == ERROR_SUCCESS) error = ::GetLastError();
    if (error == ERROR_ALREADY_EXISTS)
        throw corvid::exception_w(L"Error. config::init. Can not create %s: a file of that name is in the way.",
                                  folder.c_str());
    throw corvid::exception_w(L"Error. config::init. Can not create %s: %hs (%lu).", folder.c_str(),
                              corvid::error_text(error).c_str(), static_cast<unsigned long>(error));
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

    std::wstring dumps = user_data_folder_value + L"Dumps";
    create_folder_and_parents(dumps);

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
