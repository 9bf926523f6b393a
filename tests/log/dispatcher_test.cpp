#include "corvid/log/dispatcher.hpp"

#include <gtest/gtest.h>

#include "corvid/exception.hpp"
#include "corvid/log/log.hpp"
#include "corvid/log/proxy.hpp"
#include "log_test_support.hpp"

using log_test::is_prefix;
using log_test::record;
using log_test::recorder;

namespace {

using journal_ptr = std::shared_ptr<std::vector<record>>;

journal_ptr make_journal() { return std::make_shared<std::vector<record>>(); }

std::vector<std::string> tags(const std::vector<record>& j) {
    std::vector<std::string> out;
    for (const record& r : j) out.push_back(r.tag);
    return out;
}

// Fails its first `failures` writes, then records.
class flaky : public corvid::log::listener {
public:
    flaky(journal_ptr journal, int failures) : journal_(std::move(journal)), failures_(failures) {}
    void write(int level, const std::string& prefix, const std::string& text) override {
        ++calls;
        if (failures_-- > 0) throw corvid::exception("listener failed");
        journal_->push_back({level, prefix, text, "flaky"});
    }
    int calls = 0;

private:
    journal_ptr journal_;
    int failures_;
};

}  // namespace

TEST(Dispatcher, HighestThresholdFirstAndLatestRegisteredFirstWithinOne) {
    auto journal = make_journal();
    corvid::log::dispatcher d;
    d.add(new recorder(journal, "t0"));
    d.add(new recorder(journal, "t2a"), 2);
    d.add(new recorder(journal, "t2b"), 2);
    d.add(new recorder(journal, "t4"), 4);

    d.dispatch(L"three", 3);
    EXPECT_EQ(tags(*journal), (std::vector<std::string>{"t2b", "t2a", "t0"}));
    journal->clear();
    d.dispatch(L"four", 4);
    EXPECT_EQ(tags(*journal), (std::vector<std::string>{"t4", "t2b", "t2a", "t0"}));
    journal->clear();
    d.dispatch(L"one", 1);
    EXPECT_EQ(tags(*journal), (std::vector<std::string>{"t0"}));
}

TEST(Dispatcher, StampsAndEncodesEveryMessage) {
    auto journal = make_journal();
    corvid::log::dispatcher d;
    d.add(new recorder(journal, "r"));
    d.dispatch(L"", 1);
    d.dispatch(L"\u65E5\u672C \u00E9", 3);
    d.writef_w(0, L"%s=%d", L"count", 7);
    d.dispatch(L"odd", 9);
    ASSERT_EQ(journal->size(), 4u);
    EXPECT_TRUE(is_prefix((*journal)[0].prefix, ' ')) << (*journal)[0].prefix;
    EXPECT_EQ((*journal)[0].text, "");
    EXPECT_TRUE(is_prefix((*journal)[1].prefix, '!')) << (*journal)[1].prefix;
    EXPECT_EQ((*journal)[1].text, "\xE6\x97\xA5\xE6\x9C\xAC \xC3\xA9");
    EXPECT_EQ((*journal)[1].level, 3);
    EXPECT_TRUE(is_prefix((*journal)[2].prefix, '#'));
    EXPECT_EQ((*journal)[2].text, "count=7");
    // A level without a character of its own is still delivered, marked '?'.
    EXPECT_TRUE(is_prefix((*journal)[3].prefix, '?'));

    SYSTEMTIME now;
    ::GetLocalTime(&now);
    char year[5];
    snprintf(year, sizeof(year), "%04u", now.wYear);
    EXPECT_EQ((*journal)[0].prefix.substr(0, 4), year);
}

TEST(Dispatcher, LevelFiveDescribesTheExceptionBeingHandled) {
    auto journal = make_journal();
    corvid::log::dispatcher d;
    d.add(new recorder(journal, "r"));
    try {
        throw corvid::exception("X");
    } catch (...) {
        d.dispatch(L"Failed", 5);
    }
    d.dispatch(L"Failed", 5);
    ASSERT_EQ(journal->size(), 2u);
    EXPECT_TRUE(is_prefix((*journal)[0].prefix, '@'));
    EXPECT_EQ((*journal)[0].text, "Failed exception: [X]");
    EXPECT_EQ((*journal)[1].text, "Failed no exception being handled");
}

TEST(Dispatcher, OwnsItsListeners) {
    auto journal = make_journal();
    auto destroyed = std::make_shared<int>(0);
    {
        corvid::log::dispatcher d;
        d.add(new recorder(journal, "a", destroyed));
        d.add(std::make_unique<recorder>(journal, "b", destroyed), 3);
        d.add(nullptr);
        d.clear();
        EXPECT_EQ(*destroyed, 2);
        d.dispatch(L"after clear", 1);
        EXPECT_TRUE(journal->empty());
        d.add(new recorder(journal, "c", destroyed));
    }
    EXPECT_EQ(*destroyed, 3);
}

TEST(Proxy, ForwardsIntoItsTargetUnderItsOwnPrefix) {
    auto journal = make_journal();
    corvid::log::dispatcher target;
    target.add(new recorder(journal, "inner"));
    corvid::log::dispatcher source;
    source.add(new corvid::log::proxy(target, "[child \xC3\xA9] "));
    source.dispatch(L"hi", 2);
    ASSERT_EQ(journal->size(), 1u);
    EXPECT_EQ((*journal)[0].text, "[child \xC3\xA9] hi");
    EXPECT_EQ((*journal)[0].level, 2);
    EXPECT_TRUE(is_prefix((*journal)[0].prefix, '+'));
}

TEST(LogFunctions, WriteAtLevelOneFromAnsiWideAndFormat) {
    auto journal = make_journal();
    auto destroyed = std::make_shared<int>(0);
    corvid::log::write("dropped: nobody listens yet");
    corvid::log::add_listener(new recorder(journal, "r", destroyed));
    corvid::log::write(std::string("caf\xE9"));  // ANSI (1252)
    corvid::log::write(std::wstring(L"Tarnwick \u65E5"));
    corvid::log::writef("File: %s (%d)", "C:\\Temp\\a.exe", 3);
    corvid::log::shutdown();
    EXPECT_EQ(*destroyed, 1);
    corvid::log::write("dropped: shut down");
    corvid::log::writef("%s", "dropped too");
    corvid::log::shutdown();

    ASSERT_EQ(journal->size(), 3u);
    EXPECT_EQ((*journal)[0].text, "caf\xC3\xA9");
    EXPECT_EQ((*journal)[1].text, "Tarnwick \xE6\x97\xA5");
    EXPECT_EQ((*journal)[2].text, "File: C:\\Temp\\a.exe (3)");
    for (const record& r : *journal) {
        EXPECT_EQ(r.level, 1);
        EXPECT_TRUE(is_prefix(r.prefix, ' ')) << r.prefix;
    }
}

TEST(LogFunctions, NarrowWriteFallsBackToUtf8AndThenToAFixedLine) {
    auto journal = make_journal();
    auto* listener = new flaky(journal, 1);
    corvid::log::add_listener(listener);
    corvid::log::write("second try");  // the ANSI attempt's dispatch fails
    EXPECT_EQ(listener->calls, 2);
    ASSERT_EQ(journal->size(), 1u);
    EXPECT_EQ((*journal)[0].text, "second try");
    corvid::log::shutdown();

    journal->clear();
    listener = new flaky(journal, 2);
    corvid::log::add_listener(listener);
    corvid::log::write("never seen");
    EXPECT_EQ(listener->calls, 3);
    ASSERT_EQ(journal->size(), 1u);
    EXPECT_EQ((*journal)[0].text, "corvid::log: unable to convert input to unicode");
    EXPECT_EQ((*journal)[0].level, 1);
    corvid::log::shutdown();
}

TEST(LogFunctions, WideWritePassesAListenerFailureToTheCaller) {
    auto journal = make_journal();
    corvid::log::add_listener(new flaky(journal, 1));
    EXPECT_THROW(corvid::log::write(std::wstring(L"x")), corvid::exception);
    corvid::log::write(std::wstring(L"y"));
    ASSERT_EQ(journal->size(), 1u);
    EXPECT_EQ((*journal)[0].text, "y");
    corvid::log::shutdown();
}
