// The machine-readable output of `chunkpack list --json` and `verify --json`
// (docs/chunkpack.md, "Machine-readable output"): one JSON document on
// standard output with what the text output says, and one JSON error object
// on standard error whenever the exit code is not 0. Portable.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/extract.hpp"
#include "pe/installer_identity.hpp"
#include "pe/pe_image.hpp"

namespace chunkpack {

// Raised when a document changes incompatibly (a field removed, renamed or
// given another meaning); fields may be added within one version.
inline constexpr int json_schema_version = 1;

// What list and verify found in an installer.
struct installer_report {
    std::string installer;
    std::optional<archive::installer_identity> identity;
    std::string identity_problem;  // why the resources cannot be read
    std::vector<archive::entry_event> entries;  // in reading order
    // Where the walk stopped early: a reason code (docs), the offset where
    // the text output names one, and the text output's reason.
    std::string stop_reason;
    std::optional<std::uint64_t> stop_offset;
    std::string stop_message;
    archive::pe::archive_bound bound;
    std::string hidden;  // what is hidden in or behind the certificate table
    std::string commitment_state, commitment_text;
    bool archive_complete = false;
    std::string failure;  // why the installer fails; empty when it passes
};

// The document, indented, ending with a line feed.
std::string installer_document(const installer_report& report);

// The error object on one line, ending with a line feed. `command` and
// `installer` are left out when empty.
std::string error_document(const std::string& command, const std::string& installer, int exit_code,
                           const std::string& message);

}  // namespace chunkpack
