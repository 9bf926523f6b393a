// chunkpack: builds installers (a stub executable with an archive appended)
// and lists, verifies and extracts existing ones.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <deque>
#include <map>
#include <optional>

#include "commands.hpp"

#if defined(_WIN32)
#include <io.h>

#include "corvid/handle.hpp"
// After the Windows headers it needs.
#include <shellapi.h>
#define chunkpack_isatty(fd) _isatty(fd)
#define chunkpack_fileno(f) _fileno(f)
#else
#include <unistd.h>
#define chunkpack_isatty(fd) isatty(fd)
#define chunkpack_fileno(f) fileno(f)
#endif

namespace {

#if defined(_WIN32)
struct local_memory_traits {
    using type = LPWSTR*;
    static type invalid() noexcept { return nullptr; }
    static void close(type p) noexcept { ::LocalFree(p); }
};

std::string to_code_page(const std::wstring& text, UINT code_page) {
    int size = ::WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                     nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        ::WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                              nullptr);
    return out;
}

// The C runtime hands main() its arguments in the ANSI code page, where
// characters outside it have become look-alikes ("Ł" is "L"). A text that
// goes into the installer's resources is taken from the wide command line
// instead: the value of `option` there ("--name VALUE" or "--name=VALUE"),
// as UTF-8, when its ANSI form is what the option received.
std::string text_argument(const std::string& option, const std::string& narrow) {
    int count = 0;
    corvid::unique_resource<local_memory_traits> wide(::CommandLineToArgvW(::GetCommandLineW(), &count));
    const std::wstring name(option.begin(), option.end());
    for (int i = 1; wide && i < count; ++i) {
        const std::wstring argument = wide.get()[i];
        std::wstring value;
        if (argument == name && i + 1 < count)
            value = wide.get()[i + 1];
        else if (argument.compare(0, name.size() + 1, name + L"=") == 0)
            value = argument.substr(name.size() + 1);
        else
            continue;
        if (to_code_page(value, CP_ACP) == narrow) return to_code_page(value, CP_UTF8);
    }
    // Not found as given (the C runtime and CommandLineToArgvW split quotes
    // alike, so this is rare): the ANSI text, as UTF-8.
    std::wstring wide_text(narrow.size(), L'\0');
    const int size = ::MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()),
                                           wide_text.data(), static_cast<int>(wide_text.size()));
    if (size <= 0) return narrow;
    wide_text.resize(static_cast<std::size_t>(size));
    return to_code_page(wide_text, CP_UTF8);
}
#else
// Arguments are UTF-8 already.
std::string text_argument(const std::string&, const std::string& narrow) { return narrow; }
#endif

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"chunkpack: build, list, verify and extract installer archives"};
    app.require_subcommand(1);
    // Paths may begin with "/" on every system; only "--" and "-" introduce
    // options. Subcommands inherit the setting.
    app.allow_windows_style_options(false);

    std::string stub, out;
    std::vector<std::string> values, files;
    auto* build = app.add_subcommand("build", "Append an archive with the given entries to a stub executable");
    build->add_option("--stub", stub, "The stub executable (the bootstrapper)")->required();
    build->add_option("--out", out, "The installer to write (replaced if it exists)")->required();
    auto* value_option = build->add_option("--value", values, "A value entry KEY=VALUE (repeatable)")->take_all();
    auto* file_option =
        build->add_option("--file", files, "A file entry KEY=PATH, stored under PATH's file name (repeatable)")
            ->take_all();
    bool force = false;
    build->add_flag("--force", force,
                    "Build even what would fail at every run: two files of the same name, no \"executable32\" or "
                    "one that names no file of the archive (warned about instead)");
    value_option->allow_extra_args(false);
    file_option->allow_extra_args(false);

    // The installer's identity (docs/chunkpack.md, "The installer's identity").
    chunkpack::identity identity;
    struct text_option {
        const char* name;
        CLI::Option* option;
        std::string value;
        std::optional<std::string> archive::identity_options::*member;
    };
    std::deque<text_option> texts;  // stays in place: the options hold references to the values
    auto add_text = [&](const char* name, std::optional<std::string> archive::identity_options::*member,
                        const char* help) {
        texts.push_back({name, nullptr, {}, member});
        texts.back().option = build->add_option(name, texts.back().value, help);
    };
    add_text("--vendor-name", &archive::identity_options::vendor_name,
             "String 2001: the vendor's folder name in the application-data paths");
    add_text("--product-name", &archive::identity_options::product_name,
             "String 2002: the product name of the uninstall key and the data folder");
    add_text("--file-version", &archive::identity_options::file_version,
             "Version information: the file version a.b.c.d (default: the product version)");
    add_text("--product-version", &archive::identity_options::product_version,
             "Version information: the product version a.b.c.d (default: the file version)");
    add_text("--version-product-name", &archive::identity_options::version_product_name,
             "Version information: ProductName (default: the product name)");
    add_text("--company-name", &archive::identity_options::company_name,
             "Version information: CompanyName (default: the vendor name)");
    add_text("--file-description", &archive::identity_options::file_description,
             "Version information: FileDescription (default: \"PRODUCT Setup\")");
    add_text("--legal-copyright", &archive::identity_options::legal_copyright,
             "Version information: LegalCopyright (default: \"Copyright\", the copyright sign and the company name)");
    add_text("--original-filename", &archive::identity_options::original_filename,
             "Version information: OriginalFilename (default: the file name of --out)");
    build->add_option("--icon", identity.icon_path, "The installer's icon: every image of this .ico file");

    std::string installer, directory;
    auto* list = app.add_subcommand("list", "List the entries in reading order and whether the archive is complete");
    list->add_option("INSTALLER", installer, "The installer to read")->required();
    auto* verify = app.add_subcommand("verify", "Check every chunk the bootstrapper reads against its digest");
    verify->add_option("INSTALLER", installer, "The installer to check")->required();
    auto* extract = app.add_subcommand("extract", "Write the file entries into DIR and print the value entries");
    extract->add_option("INSTALLER", installer, "The installer to read")->required();
    extract->add_option("DIR", directory, "The directory to write into (created if missing)")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return chunkpack::exit_refused;
    }

    chunkpack::streams io;
    io.progress = chunkpack_isatty(chunkpack_fileno(stderr)) != 0;

    if (build->parsed()) {
        // Values and files keep their command-line order.
        std::vector<chunkpack::build_entry> entries;
        std::map<const CLI::Option*, std::size_t> used;
        for (const CLI::Option* option : build->parse_order()) {
            bool is_file = option == file_option;
            if (!is_file && option != value_option) continue;
            const std::string& text = option->results().at(used[option]++);
            auto equals = text.find('=');
            if (equals == std::string::npos) {
                std::fprintf(stderr, "chunkpack: --%s %s: expected KEY=%s\n", is_file ? "file" : "value",
                             text.c_str(), is_file ? "PATH" : "VALUE");
                return chunkpack::exit_refused;
            }
            entries.push_back({is_file, text.substr(0, equals), text.substr(equals + 1)});
        }
        for (const text_option& t : texts)
            if (t.option->count() != 0) identity.options.*t.member = text_argument(t.name, t.value);
        return chunkpack::build(stub, out, entries, io, force, identity);
    }
    if (list->parsed()) return chunkpack::list(installer, io);
    if (verify->parsed()) return chunkpack::verify(installer, io);
    return chunkpack::extract(installer, directory, io);
}
