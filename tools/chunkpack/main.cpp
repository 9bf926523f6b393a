// chunkpack: builds installers (a stub executable with an archive appended)
// and lists, verifies and extracts existing ones.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <map>

#include "commands.hpp"

#if defined(_WIN32)
#include <io.h>
#define chunkpack_isatty(fd) _isatty(fd)
#define chunkpack_fileno(f) _fileno(f)
#else
#include <unistd.h>
#define chunkpack_isatty(fd) isatty(fd)
#define chunkpack_fileno(f) fileno(f)
#endif

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
        return chunkpack::build(stub, out, entries, io, force);
    }
    if (list->parsed()) return chunkpack::list(installer, io);
    if (verify->parsed()) return chunkpack::verify(installer, io);
    return chunkpack::extract(installer, directory, io);
}
