// An installer's identity in its stub's resources: the version information
// that Explorer and inventory tools read, the icon, and the vendor folder
// name (string 2001) and product name (string 2002) that the bootstrapper
// loads at every run. Set at pack time on the stub's bytes; read back from
// untrusted installers for listing. Texts are UTF-8 here and UTF-16 in the
// image. Portable: no Windows headers.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pe/pe_resources.hpp"

namespace archive {

// An option that cannot be applied; the message says why.
class identity_error : public corvid::exception {
public:
    explicit identity_error(const std::string& message) : corvid::exception(message) {
        extend_type_path("identity_error");
    }
};

inline constexpr std::uint32_t vendor_name_string = 2001;
inline constexpr std::uint32_t product_name_string = 2002;

// The version information's text fields, in the order they are written.
inline constexpr std::array<const char*, 7> version_fields = {
    "CompanyName", "FileDescription", "FileVersion", "LegalCopyright", "OriginalFilename", "ProductName",
    "ProductVersion"};

// What to set; an absent member keeps the stub's own.
struct identity_options {
    std::optional<std::string> vendor_name;   // string 2001: the vendor's data folder
    std::optional<std::string> product_name;  // string 2002: uninstall key and data folder
    std::optional<std::string> icon_file;     // the bytes of a .ico file
    // Version information: written when either version is given (the other
    // one then defaults to it). "a.b.c.d", one to four numbers up to 65535.
    std::optional<std::string> file_version, product_version;
    // Version texts; defaults: ProductName the product name, CompanyName the
    // vendor name, FileDescription "<ProductName> Setup", LegalCopyright
    // "Copyright © <CompanyName>", OriginalFilename none.
    std::optional<std::string> version_product_name, company_name, file_description, legal_copyright,
        original_filename;

    bool empty() const noexcept;
};

// The stub `image` with the options applied to its resources. The version
// resource replaces every one the stub had (language neutral, Unicode text);
// the icon's images replace every icon and icon group of the stub; strings
// 2001 and 2002 are replaced in every language that holds their block (the
// stub's string table language when none does). Throws identity_error for an
// option it refuses (a name that cannot be a folder or key name, a version
// that is not numeric, a malformed icon file) and pe::format_error for an
// image it cannot rewrite.
std::string apply_identity(std::string_view image, const identity_options& options);

// What an installer's resources say about it.
struct installer_identity {
    std::optional<std::string> vendor_name, product_name;  // strings 2001, 2002
    bool has_version = false;
    std::array<std::uint16_t, 4> file_version{}, product_version{};  // fixed part
    std::uint32_t translation = 0;                                    // language | code page << 16
    std::vector<std::pair<std::string, std::string>> version_texts;   // in the order stored
    // The first icon group's images: width, height (0 for 256), bits.
    std::vector<std::array<std::uint32_t, 3>> icon_images;
};

// Reads the identity from an image's resources. Throws pe::format_error for
// malformed resources, version information or string tables.
installer_identity read_identity(const pe::image& img, seekable_input& input);
installer_identity read_identity(const pe::resource_table& resources);

// The string `id` from the first block that holds it, or nothing.
std::optional<std::u16string> find_string(const pe::resource_table& resources, std::uint32_t id);

// UTF-8 <-> UTF-16. to_utf16 throws identity_error for invalid UTF-8;
// to_utf8 writes U+FFFD for a lone surrogate.
std::u16string to_utf16(std::string_view text);
std::string to_utf8(std::u16string_view text);

}  // namespace archive
