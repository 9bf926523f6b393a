// The table of named settings filled from the installer archive, and the
// expansion of references (a key between two percent signs) in a text.
// Portable: no Windows headers.
#pragma once

#include <cstddef>
#include <map>
#include <string>

#include "corvid/exception.hpp"

namespace archive {

// Key -> value; keys are unique and compared byte for byte.
class entry_table {
public:
    // Extraction's only way of writing: a key already present keeps its
    // value, so the entry read first (nearest the end of the archive) wins and
    // keys set by the run before extraction cannot be replaced. Returns
    // whether the key was inserted.
    bool insert_if_absent(const std::string& key, const std::string& value);

    // The run's way of reading and writing: a missing key is created with an
    // empty value.
    std::string& lookup_or_create(const std::string& key);

    // Creates nothing; null when the key is absent.
    const std::string* find(const std::string& key) const;

    std::size_t size() const noexcept { return entries_.size(); }
    void clear() noexcept { entries_.clear(); }
    const std::map<std::string, std::string>& entries() const noexcept { return entries_; }

private:
    std::map<std::string, std::string> entries_;
};

// Raised when an expansion would grow beyond max_expanded_size.
class expansion_error : public corvid::exception {
public:
    explicit expansion_error(const std::string& message) : corvid::exception(message) {
        extend_type_path("expansion_error");
    }
};

// No expanded text may exceed this many bytes (a Windows command line holds
// at most 32,767 characters); references that multiply text are refused
// rather than allowed to exhaust memory.
// Nor may one expansion make more substitutions than this: references that
// multiply work without growing the text are refused the same way.
#ifndef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
inline constexpr std::size_t max_expanded_size = 1u << 20;
inline constexpr std::size_t max_substitutions = 1u << 20;
#else
// A fuzzer reaches both bounds with a few hundred bytes of input, and an
// input at the bound costs seconds under the sanitizers: the fuzzing build
// takes the same paths at lower bounds, still far above what an installer's
// texts use, so that such inputs do not crowd out the rest.
inline constexpr std::size_t max_expanded_size = 1u << 16;
inline constexpr std::size_t max_substitutions = 1u << 12;
#endif

// Replaces every reference %key% to a key present in the table by the key's
// value, itself expanded. A reference to an absent key stays, and its closing
// "%" opens the next reference; of a run of "%" only the last one belongs to
// the reference. A reference to a key that is already being expanded (a
// cycle, direct or through other keys) stays in the text unexpanded, so the
// expansion terminates on every input; it uses no recursion, so no chain of
// references can exhaust the stack. Throws expansion_error when the result
// would exceed max_expanded_size or need more than max_substitutions.
std::string expand_references(const entry_table& table, std::string text);

}  // namespace archive
