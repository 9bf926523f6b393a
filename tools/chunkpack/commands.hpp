// The packer's subcommands, callable without the command-line front end.
// Each returns the process's exit code and writes its messages to the given
// streams.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "pe/installer_identity.hpp"

namespace chunkpack {

// Exit codes.
inline constexpr int exit_ok = 0;
inline constexpr int exit_failed = 1;   // verification or extraction failed
inline constexpr int exit_refused = 2;  // bad arguments or inputs; nothing written

struct build_entry {
    bool is_file = false;
    std::string key;
    std::string value;  // the value, or the path of the file
};

// The installer's identity to set in the stub before the archive is
// appended (docs/chunkpack.md). `options.icon_file` is read from
// `icon_path` when that is set; OriginalFilename defaults to the output's
// file name when version information is written.
struct identity {
    archive::identity_options options;
    std::string icon_path;
};

// The text for people, or one JSON document (json_report.hpp).
enum class output_format { text, json };

struct streams {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    // Progress lines on `err` for large inputs.
    bool progress = false;
};

// Writes `out_path` as the stub's bytes (the image chunk), the stub entry,
// the entries so that they are read back in the given order, and the tail.
// Refuses (exit_refused, one-line message, no output left behind) a stub that
// is not a PE executable or already holds an archive tail, an input that
// cannot be read, a file name extraction would refuse, a chunk of 2 GiB or
// more, an installer of 4 GiB or more.
// Also refuses what could only fail at every customer's run, unless `force`
// (then it warns): two files of the same name (letter case aside: the second
// would overwrite the first in the working directory), and an "executable32"
// that is missing or, with its references expanded as the bootstrapper
// expands them, names no file of the archive. Warns about what is legal but
// likely a mistake: an "msilog" other than exactly "ON" (it is ignored), a
// "parameters" value with an odd number of double quotes, a reference in it
// to a key that neither the archive nor the bootstrapper sets, and a key given
// more than once.
// With an `identity`, the stub's bytes are branded first (brand_stub); a
// stub or an option that branding refuses is refused.
int build(const std::string& stub_path, const std::string& out_path, const std::vector<build_entry>& entries,
          const streams& io, bool force = false, const identity& brand = {});

// The stub's bytes with the identity set in its resources: the one step of
// build() that changes the stub's image. Throws archive::identity_error or
// archive::pe::format_error with the reason.
std::string brand_stub(const std::string& stub, const identity& brand, const std::string& out_path);

// Prints the identity in the installer's resources (version information,
// names, icon images), the entries in reading order with their digest
// status, then whether the archive is complete. exit_ok when it is and
// nothing is hidden in or behind the certificate table.
int list(const std::string& installer_path, const streams& io, output_format format = output_format::text);

// exit_ok when the tail is found and every chunk extraction reads matches
// its digest (and every file name would be accepted), the chunks match a
// sealed commitment and nothing is hidden in or behind the certificate
// table; exit_failed with the reason and the offset otherwise.
// As JSON, list and verify print the same document (the verdict is the
// same) and, when it fails, the error object on `io.err`.
int verify(const std::string& installer_path, const streams& io, output_format format = output_format::text);

// Writes the file entries into `directory` (created if missing) and prints
// the value entries, with extraction's refusals.
int extract(const std::string& installer_path, const std::string& directory, const streams& io);

}  // namespace chunkpack
