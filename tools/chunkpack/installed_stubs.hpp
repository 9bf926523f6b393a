// The stubs installed beside the packer. The release layout puts chunkpack
// into bin/ and each stub into share/chunkpack/stubs/ARCH/ under the same
// prefix, wherever that prefix lies (a Debian package under /usr, an
// unpacked archive in any folder): they are found from the packer's own
// executable, never from a path compiled in.
#pragma once

#include <string>

namespace chunkpack {

// The stub folder below the prefix; ARCH is "x86" (the shipped i686 stub)
// or "x64".
inline constexpr const char* stubs_folder = "share/chunkpack/stubs";
inline constexpr const char* stub_file_name = "bootstrapper.exe";

struct stub_choice {
    std::string path;
    std::string problem;  // why no stub can be had; empty when `path` is one
};

// The stub that `--stub` names: the installed stub of an architecture for
// "x86" or "x64", the x86 one for an empty text, any other text a path as
// given. An installed stub that is missing is a problem naming where it was
// looked for.
stub_choice choose_stub(const std::string& option);

// What `chunkpack --version` prints: the packer's version, then one line per
// installed stub with its version (from its version information) and path.
std::string version_text();

}  // namespace chunkpack
