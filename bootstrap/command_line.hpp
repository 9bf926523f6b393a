// The payload's command line, composed from the bootstrapper's own command
// line, the archive's "parameters" value and its "msilog" switch. The
// intermediate results live in the entry table under "commandline" and
// "parameters", so that archive values and the composed text can refer to one
// another by reference expansion. Portable: no Windows headers.
//
// Each operation has a form that takes the table, working directory and
// pass-through text explicitly, and a form over the process-wide state
// (archive::process_entries(), archive::working_directory,
// passthrough_properties) for the run. Reading a key that is absent creates
// it with an empty value.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "archive/entry_table.hpp"

namespace bootstrap {

// The command line after the program's name, as the runtime's start-up code
// hands it to WinMain: the name runs up to the first blank or control
// character outside double quotes (a quote anywhere in it opens or closes a
// quoted part, so a quoted name may hold blanks), then the blanks and
// control characters after it are skipped. The run takes its own command
// line this way from the wide text, never from a narrow copy.
std::wstring_view arguments_after_program_name(std::wstring_view command_line) noexcept;

// The text of the bootstrapper's own "/V" switch; empty until
// split_property_switch finds one.
extern std::string passthrough_properties;

// File name of the Windows Installer's verbose log, joined to the temporary
// directory (beside the working directory, so the clean-up keeps it).
inline constexpr char msi_log_file_name[] = "\\KAVRO_msi.log.txt";

// The directory that holds the working directory: the given path cut before
// its last backslash but one (the trailing backslash is skipped), without a
// trailing backslash. "C:\Temp\ZELT1700000000\" gives "C:\Temp". A path with
// no such backslash comes back whole.
std::string parent_directory(const std::string& working_directory);

// The directory the clean-up changes into to leave the working directory:
// parent_directory, except that a drive root keeps its backslash ("D:\ZELT1\"
// gives "D:\", never the drive-relative "D:").
std::string launch_directory(const std::string& working_directory);

// parent_directory(working_directory) followed by msi_log_file_name.
std::string msi_log_path(const std::string& working_directory);

// Takes the first property switch out of the command line: a quoted "/V"..."
// anywhere wins over an unquoted "/V" (the letter in either case). Inside the
// quoted form a quote after an odd number of backslashes (\") belongs to the
// value, so /V"DIR=\"C:\Program Files\X\" Y=1" passes DIR=\"C:\Program
// Files\X\" Y=1 whole. Stores the
// rest in "commandline" and the switch's value in `passthrough`. Never throws:
// on any failure "commandline" is the command line unchanged and
// `passthrough` is empty.
void split_property_switch(archive::entry_table& table, std::string& passthrough,
                           const std::string& command_line) noexcept;
void split_property_switch(const std::string& command_line) noexcept;

// Rewrites "parameters": `passthrough` goes into its first "/V" switch (one
// is appended when it has none; the search is case-sensitive), and
// "commandline" plus one blank goes in front. Never throws: on any failure
// "parameters" keeps its value.
void merge_parameters(archive::entry_table& table, const std::string& passthrough) noexcept;
void merge_parameters() noexcept;

// Called with the MSI log path before the log switch is added, so that a
// read-only or hidden log of an earlier run can be overwritten. Its outcome
// is not looked at.
using attribute_reset = std::function<void(const std::string& path)>;

// When "msilog" is exactly "ON": resets the log file's attributes through
// `reset_attributes` (skipped when empty) and puts the verbose log switch
// naming msi_log_path(working_directory) into the first "/V" switch of
// "parameters" (one is appended when it has none). Never throws: on any
// failure "parameters" keeps its value.
void add_msi_log_switch(archive::entry_table& table, const std::string& working_directory,
                        const attribute_reset& reset_attributes) noexcept;
void add_msi_log_switch(const attribute_reset& reset_attributes) noexcept;

// "parameters" with its references expanded; the entry is not changed. A
// reference back to "parameters" (or through others back to a key being
// expanded) stays unexpanded. Throws archive::expansion_error when the
// expansion exceeds its bounds.
std::string payload_parameters(archive::entry_table& table);
std::string payload_parameters();

// The command line the payload is started with: its path in double quotes
// (as its own start-up code expects to find its name), then one blank and
// the parameters; the quoted path alone when there are none. Empty when the
// path holds a double quote, which no file name can hold and no quoting
// could pass on unchanged.
std::wstring payload_command_line(const std::wstring& path, const std::wstring& parameters);

// An environment block (NUL-terminated "NAME=value" strings, ending with an
// empty one) with `name` set to `value`: the first entry of that name
// (compared without regard to ASCII case, as the system does) is replaced in
// place and any further one dropped, otherwise one is added at the end.
// Entries whose name starts with "=" (the drives' current directories) stay
// as they are. A block that does not end properly is taken up to its last
// complete entry.
std::wstring environment_with(std::wstring_view block, std::wstring_view name, std::wstring_view value);

// working_directory followed by the expanded "executable32" entry (the
// working directory alone when there is none). Throws as payload_parameters.
std::string payload_path(archive::entry_table& table, const std::string& working_directory);
std::string payload_path();

}  // namespace bootstrap
