// The product's application paths and the optional crash-dump handler.
//
// config::init fills process-wide values from the module's string resources
// (2001: vendor folder name, 2002: product name), the module's file path and
// the application-data folders. The values are empty until then; init is
// meant to be called once, early, on the process's main thread (a second call
// overwrites the values). Every accessor returns a copy.
#pragma once

#include <string>

#include "corvid/win32.hpp"

namespace config {

// Fills the values below from `module` (null: the process's executable).
// With a null handle it also creates the folder user_data_folder() + "Dumps"
// (with any missing parents) and installs the crash-dump handler, which
// writes "<Dumps>\<module_file_name>.<seconds since 1970>.dmp" when an
// exception reaches no handler; the handler is installed at most once per
// process and removed at process exit.
// Throws corvid::exception "resource string %d is not found" for a missing
// 2001 or 2002, corvid::exception_w "Error. config::init. GetModuleFileName
// return 0." or "Error. config::init. Can not find CSIDL_COMMON_APPDATA.",
// corvid::exception_w "Error. config::init. Can not create <folder>: ..."
// when the Dumps folder cannot be created (a file in the way, no access),
// and corvid::unicode::unmappable_character when the dump path has a
// character outside the ANSI code page.
void init(HINSTANCE module);

// Folder of the module file, with a trailing backslash.
std::wstring module_folder();
// File name of the module file.
std::wstring module_file_name();
// user_data_root() + vendor_name() + "\" + product_name() + "\".
std::wstring user_data_folder();
// common_data_root() + vendor_name() + "\" + product_name() + "\".
std::wstring common_data_folder();
// The per-user application-data folder and a backslash, or common_data_root()
// when the system cannot give that folder.
std::wstring user_data_root();
// The machine-wide application-data folder and a backslash.
std::wstring common_data_root();
// String resource 2001.
std::wstring vendor_name();
// String resource 2002.
std::wstring product_name();

// String resource `id` of `module`, cut to 259 characters. Throws
// corvid::exception "resource string %d is not found" when it is absent.
std::wstring load_resource_string(int id, HINSTANCE module);

// Loads the system's "dbghelp.dll" (from the system folder only) and installs
// dump_filter as the process's unhandled-exception filter, with the dump file
// "<dump_base_path>.<seconds since 1970>.dmp" fixed from now on. A later call
// changes nothing. True when minidumps can be written; false when the library
// cannot be loaded (a later call tries again).
bool install_dump_handler(const std::string& dump_base_path);

// Writes the minidump (if the library has MiniDumpWriteDump), then hands the
// exception to the filter that was installed before, or lets the system's
// own handling go on.
LONG WINAPI dump_filter(EXCEPTION_POINTERS* exception);

// Reinstalls the previous filter and unloads "dbghelp.dll". Registered by
// init to run at process exit.
void remove_dump_handler();

}  // namespace config
