// chunkpack: builds installers (a stub executable with an archive appended)
// and lists, verifies and extracts existing ones.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <optional>

#include "commands.hpp"
#include "installed_stubs.hpp"
#include "json_report.hpp"

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

// The identity's text options, each filling one member of the options.
struct text_option {
    const char* name;
    CLI::Option* option;
    std::string value;
    std::optional<std::string> archive::identity_options::*member;
};

struct build_arguments {
    std::string stub, out;
    std::vector<std::string> values, files;
    CLI::Option* value_option = nullptr;
    CLI::Option* file_option = nullptr;
    bool force = false;
    chunkpack::identity identity;
    std::deque<text_option> texts;  // stays in place: the options hold references to the values
};

// The installer's identity (docs/chunkpack.md, "The installer's identity").
void add_identity_options(CLI::App& build, build_arguments& a) {
    auto add_text = [&](const char* name, std::optional<std::string> archive::identity_options::*member,
                        const char* help) {
        a.texts.push_back({name, nullptr, {}, member});
        a.texts.back().option = build.add_option(name, a.texts.back().value, help);
    };
    using options = archive::identity_options;
    add_text("--vendor-name", &options::vendor_name,
             "String 2001: the vendor's folder name in the application-data paths");
    add_text("--product-name", &options::product_name,
             "String 2002: the product name of the uninstall key and the data folder");
    add_text("--file-version", &options::file_version,
             "Version information: the file version a.b.c.d (default: the product version)");
    add_text("--product-version", &options::product_version,
             "Version information: the product version a.b.c.d (default: the file version)");
    add_text("--version-product-name", &options::version_product_name,
             "Version information: ProductName (default: the product name)");
    add_text("--company-name", &options::company_name, "Version information: CompanyName (default: the vendor name)");
    add_text("--file-description", &options::file_description,
             "Version information: FileDescription (default: \"PRODUCT Setup\")");
    add_text("--legal-copyright", &options::legal_copyright,
             "Version information: LegalCopyright (default: \"Copyright\", the copyright sign and the company name)");
    add_text("--original-filename", &options::original_filename,
             "Version information: OriginalFilename (default: the file name of --out)");
    build.add_option("--icon", a.identity.icon_path, "The installer's icon: every image of this .ico file");
}

CLI::App* add_build(CLI::App& app, build_arguments& a) {
    auto* build = app.add_subcommand("build", "Append an archive with the given entries to a stub executable");
    build->add_option("--stub", a.stub,
                      "The stub: x86 (the installed i686 stub, the default), x64 (the installed x86_64 stub), or "
                      "the path of a stub executable");
    build->add_option("--out", a.out, "The installer to write (replaced if it exists)")->required();
    a.value_option = build->add_option("--value", a.values, "A value entry KEY=VALUE (repeatable)")->take_all();
    a.file_option =
        build->add_option("--file", a.files, "A file entry KEY=PATH, stored under PATH's file name (repeatable)")
            ->take_all();
    build->add_flag("--force", a.force,
                    "Build even what would fail at every run: two files of the same name, no \"executable32\" or "
                    "one that names no file of the archive (warned about instead)");
    a.value_option->allow_extra_args(false);
    a.file_option->allow_extra_args(false);
    add_identity_options(*build, a);
    return build;
}

// The values and files in their command-line order; false after a message
// for one without "=".
bool collect_entries(CLI::App& build, const build_arguments& a, std::vector<chunkpack::build_entry>& entries) {
    std::map<const CLI::Option*, std::size_t> used;
    for (const CLI::Option* option : build.parse_order()) {
        const bool is_file = option == a.file_option;
        if (!is_file && option != a.value_option) continue;
        const std::string& text = option->results().at(used[option]++);
        const auto equals = text.find('=');
        if (equals == std::string::npos) {
            std::fprintf(stderr, "chunkpack: --%s %s: expected KEY=%s\n", is_file ? "file" : "value", text.c_str(),
                         is_file ? "PATH" : "VALUE");
            return false;
        }
        entries.push_back({is_file, text.substr(0, equals), text.substr(equals + 1)});
    }
    return true;
}

int run_build(CLI::App& build, build_arguments& a, const chunkpack::streams& io) {
    std::vector<chunkpack::build_entry> entries;
    if (!collect_entries(build, a, entries)) return chunkpack::exit_refused;
    const chunkpack::stub_choice stub = chunkpack::choose_stub(a.stub);
    if (!stub.problem.empty()) {
        std::fprintf(stderr, "chunkpack: %s\n", stub.problem.c_str());
        return chunkpack::exit_refused;
    }
    for (const text_option& t : a.texts)
        if (t.option->count() != 0) a.identity.options.*t.member = text_argument(t.name, t.value);
    return chunkpack::build(stub.path, a.out, entries, io, a.force, a.identity);
}

struct inspect_arguments {
    std::string installer, directory;
    bool json = false;
    CLI::App *list = nullptr, *verify = nullptr, *extract = nullptr;
};

void add_inspect(CLI::App& app, inspect_arguments& a) {
    a.list = app.add_subcommand("list", "List the entries in reading order and whether the archive is complete");
    a.list->add_option("INSTALLER", a.installer, "The installer to read")->required();
    a.verify = app.add_subcommand("verify", "Check every chunk the bootstrapper reads against its digest");
    a.verify->add_option("INSTALLER", a.installer, "The installer to check")->required();
    for (CLI::App* sub : {a.list, a.verify})
        sub->add_flag("--json", a.json, "Print one JSON document (docs/chunkpack.md, \"Machine-readable output\")");
    a.extract = app.add_subcommand("extract", "Write the file entries into DIR and print the value entries");
    a.extract->add_option("INSTALLER", a.installer, "The installer to read")->required();
    a.extract->add_option("DIR", a.directory, "The directory to write into (created if missing)")->required();
}

// A command line that asks for JSON gets its refusal as JSON too.
int parse_error(const CLI::App& app, const CLI::ParseError& e, int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (std::find(arguments.begin(), arguments.end(), "--json") == arguments.end()) {
        app.exit(e);
        return chunkpack::exit_refused;
    }
    const std::string command = arguments.empty() ? std::string() : arguments.front();
    std::fputs(chunkpack::error_document(command, "", chunkpack::exit_refused, e.what()).c_str(), stderr);
    return chunkpack::exit_refused;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"chunkpack: build, list, verify and extract installer archives"};
    app.require_subcommand(1);
    // Paths may begin with "/" on every system; only "--" and "-" introduce
    // options. Subcommands inherit the setting.
    app.allow_windows_style_options(false);
    app.set_version_flag(
        "--version",
        [] {
            std::string text = chunkpack::version_text();
            text.pop_back();  // CLI11 ends the line
            return text;
        },
        "Print the version of chunkpack and of the installed stubs");
    build_arguments build_args;
    CLI::App* build = add_build(app, build_args);
    inspect_arguments inspect;
    add_inspect(app, inspect);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {  // --help, --version
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return parse_error(app, e, argc, argv);
    }

    chunkpack::streams io;
    // Progress lines would break the JSON error stream.
    io.progress = !inspect.json && chunkpack_isatty(chunkpack_fileno(stderr)) != 0;
    const auto format = inspect.json ? chunkpack::output_format::json : chunkpack::output_format::text;
    if (build->parsed()) return run_build(*build, build_args, io);
    if (inspect.list->parsed()) return chunkpack::list(inspect.installer, io, format);
    if (inspect.verify->parsed()) return chunkpack::verify(inspect.installer, io, format);
    return chunkpack::extract(inspect.installer, inspect.directory, io);
}
