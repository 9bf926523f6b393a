#include "bootstrap/installer_language.hpp"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

using bootstrap::apply_installer_language;
using bootstrap::language_lcid;

namespace {

// The uninstall key as a table of values; an absent value fails its read.
class table_source : public bootstrap::language_source {
public:
    std::map<std::wstring, std::string> values;
    unsigned system_language = 0x0409;
    std::vector<std::wstring> reads;

    std::string uninstall_value(const std::wstring& name) override {
        reads.push_back(name);
        auto found = values.find(name);
        if (found == values.end()) throw std::runtime_error("Not found");
        return found->second;
    }
    unsigned system_default_language() override { return system_language; }

    bool was_read(const std::wstring& name) const {
        for (const auto& r : reads)
            if (r == name) return true;
        return false;
    }
};

struct run_result {
    std::string parameters;
    std::vector<std::string> log;
};

run_result run(table_source& source, const std::string& parameters) {
    run_result result;
    result.parameters = apply_installer_language(parameters, source,
                                                 [&](const std::string& line) { result.log.push_back(line); });
    return result;
}

}  // namespace

TEST(LanguageLcid, EveryNameOfTheTableAndNothingElse) {
    const std::map<std::string, std::string> table = {
        {"Czech", "1029"},    {"Danish", "1030"},   {"German", "1031"},   {"Greek", "1032"},
        {"English", "1033"},  {"Spanish", "1034"},  {"Finnish", "1035"},  {"French", "1036"},
        {"Italian", "1040"},  {"Japanese", "1041"}, {"Dutch", "1043"},    {"Norwegian", "1044"},
        {"Polish", "1045"},   {"Russian", "1049"},  {"Swedish", "1053"},  {"Chinese (PRC)", "2052"},
        {"Portugese (Portugal)", "2070"}};
    for (const auto& [name, lcid] : table) EXPECT_EQ(language_lcid(name), lcid) << name;
    for (const char* other : {"", "english", "GERMAN", "German ", " French", "Portuguese (Portugal)", "Chinese",
                              "Czech\n", "1031"})
        EXPECT_EQ(language_lcid(other), "1033") << '"' << other << '"';
}

TEST(InstallerLanguage, StoredLcidGoesInFrontWithOneBlank) {
    table_source source;
    source.values[L"InstallerLanguage"] = "1031";
    EXPECT_EQ(run(source, " /V\" A=1 \"").parameters, "/L1031  /V\" A=1 \"");
    EXPECT_EQ(run(source, "").parameters, "/L1031 ");
    // Used as stored, not checked.
    source.values[L"InstallerLanguage"] = "German";
    EXPECT_EQ(run(source, "x").parameters, "/LGerman x");
    EXPECT_FALSE(source.was_read(L"InstallLang"));
}

TEST(InstallerLanguage, UsEnglishBecomesBritishOnANonUsSystem) {
    table_source source;
    source.values[L"InstallerLanguage"] = "1033";
    source.values[L"InstallLang"] = "French";
    source.system_language = 0x0407;
    run_result result = run(source, "/qb");
    EXPECT_EQ(result.parameters, "/L2057 /qb");
    ASSERT_EQ(result.log.size(), 1u);
    EXPECT_EQ(result.log[0], "Install Language set to \"2057\"");
    EXPECT_FALSE(source.was_read(L"InstallLang"));

    // An empty marker allows the correction like an absent one.
    source.values[L"en_US_UK"] = "";
    EXPECT_EQ(run(source, "").parameters, "/L2057 ");
}

TEST(InstallerLanguage, NoCorrectionWithMarkerOnUsSystemOrForOtherText) {
    table_source marked;
    marked.values[L"InstallerLanguage"] = "1033";
    marked.values[L"en_US_UK"] = "1";
    marked.system_language = 0x0407;
    run_result result = run(marked, "");
    EXPECT_EQ(result.parameters, "/L1033 ");
    EXPECT_TRUE(result.log.empty());

    table_source us;
    us.values[L"InstallerLanguage"] = "1033";
    result = run(us, "");
    EXPECT_EQ(result.parameters, "/L1033 ");
    EXPECT_TRUE(result.log.empty());

    table_source blank;
    blank.values[L"InstallerLanguage"] = "1033 ";
    blank.system_language = 0x0407;
    result = run(blank, "");
    EXPECT_EQ(result.parameters, "/L1033  ");
    EXPECT_TRUE(result.log.empty());
}

TEST(InstallerLanguage, LanguageNameWhenNoLcidIsStored) {
    table_source source;
    source.values[L"InstallLang"] = "French";
    EXPECT_EQ(run(source, "/qb").parameters, "/L1036 /qb");
    source.values[L"InstallLang"] = "english";
    EXPECT_EQ(run(source, "").parameters, "/L1033 ");
    // An empty stored LCID counts as none.
    source.values[L"InstallerLanguage"] = "";
    source.values[L"InstallLang"] = "Danish";
    EXPECT_EQ(run(source, "").parameters, "/L1030 ");
    source.values[L"InstallLang"] = "";
    EXPECT_EQ(run(source, "p").parameters, "p");
}

TEST(InstallerLanguage, AnyExistingSwitchKeepsBothStepsOut) {
    table_source source;
    source.values[L"InstallerLanguage"] = "1031";
    source.values[L"InstallLang"] = "French";
    EXPECT_EQ(run(source, "/L1036").parameters, "/L1036");
    EXPECT_EQ(run(source, "/V\"LOG=C:/Logs\"").parameters, "/V\"LOG=C:/Logs\"");
    EXPECT_FALSE(source.was_read(L"InstallLang"));
    // The verbose MSI log switch has a small l.
    EXPECT_EQ(run(source, "/l*v \"x.log\"").parameters, "/L1031 /l*v \"x.log\"");
}

TEST(InstallerLanguage, FailuresEndOnlyTheirOwnStep) {
    table_source nothing;
    nothing.system_language = 0x0407;
    run_result result = run(nothing, " /V\"A=1\"");
    EXPECT_EQ(result.parameters, " /V\"A=1\"");
    EXPECT_TRUE(result.log.empty());

    // A failing marker read counts as no marker.
    table_source source;
    source.values[L"InstallerLanguage"] = "1033";
    source.system_language = 0x0C07;
    EXPECT_EQ(run(source, "").parameters, "/L2057 ");

    // A log that fails does not cost the language.
    std::string out = apply_installer_language("", source, [](const std::string&) { throw std::runtime_error("log"); });
    EXPECT_EQ(out, "/L2057 ");
    EXPECT_EQ(apply_installer_language("", source, nullptr), "/L2057 ");
}
