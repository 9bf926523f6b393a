#include "corvid/log/file.hpp"

#include <gtest/gtest.h>

#include "corvid/handle.hpp"
#include "corvid/log/generic.hpp"
#include "corvid/log/log.hpp"
#include "corvid/log/policy.hpp"
#include "corvid/temp.hpp"
#include "log_test_support.hpp"
#include "tests/support/scratch_dir.hpp"

using test_support::exists;
using test_support::read_file;
using test_support::scratch_dir;
using test_support::write_file;

namespace {

const std::string bom = "\xEF\xBB\xBF";

std::string gen(const std::string& base, int n) { return base + "." + std::to_string(n) + ".log.txt"; }

// A file listener that rotates before every write once anything but the
// byte order mark is in the file.
std::unique_ptr<corvid::log::file> rotating(const std::string& base, std::uint32_t generations) {
    auto f = std::make_unique<corvid::log::file>(base);
    f->set_max_size(4);
    f->set_generations(generations);
    return f;
}

void line(corvid::log::file& f, const std::string& text) { f.write(1, "P ", text); }

std::string content_of(const std::string& text) { return bom + "P " + text + "\r\n"; }

// Holds a file open without any sharing, so it can be neither replaced,
// renamed nor deleted.
corvid::unique_file hold_exclusively(const std::string& path) {
    return corvid::unique_file(::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

TEST(LogFile, NewFileGetsOneByteOrderMarkAndLaterOpensAppend) {
    scratch_dir scratch("logfile");
    const std::string base = scratch.path() + "Keelson";
    {
        corvid::log::file f(base);
        EXPECT_EQ(read_file(base + ".log.txt"), bom);
        line(f, "one");
        f.write(3, "Q ", "");
    }
    {
        corvid::log::file f(base);
        line(f, "two");
    }
    EXPECT_EQ(read_file(base + ".log.txt"), bom + "P one\r\nQ \r\nP two\r\n");
    EXPECT_FALSE(exists(gen(base, 1)));
}

TEST(LogFile, LongLineIsAppendedWhole) {
    scratch_dir scratch("logfile");
    const std::string base = scratch.path() + "long";
    const std::string text(200000, 'z');
    {
        corvid::log::file f(base);
        line(f, text);
    }
    EXPECT_EQ(read_file(base + ".log.txt"), content_of(text));
}

TEST(LogFile, LockedUnderTheDerivedMachineWideName) {
    scratch_dir scratch("logfile");
    const std::string base = scratch.path() + "named";
    const std::string name = "Global\\" + corvid::log::file_lock_name(base);
    EXPECT_EQ(name.find('\\', 7), std::string::npos);
    {
        corvid::log::file f(base);
        corvid::unique_handle m(::OpenMutexA(SYNCHRONIZE, FALSE, name.c_str()));
        EXPECT_TRUE(m) << name;
    }
    corvid::unique_handle gone(::OpenMutexA(SYNCHRONIZE, FALSE, name.c_str()));
    EXPECT_FALSE(gone) << "the file lock's handle is closed with the listener";
}

TEST(LogFile, BaseNameThatCannotBeOpenedThrowsLogGeneric) {
    scratch_dir scratch("logfile");
    try {
        corvid::log::file f(scratch.path() + "missing\\Keelson");
        FAIL() << "constructed";
    } catch (const corvid::log::generic& e) {
        const std::string what = e.what();
        EXPECT_EQ(what.rfind("log[CreateFile failed: ", 0), 0u) << what;
        EXPECT_GT(what.size(), std::string("log[CreateFile failed: ]").size()) << what;
    }
}

TEST(LogFile, ThreeGenerationsFillUpThenShift) {
    scratch_dir scratch("logrot");
    const std::string base = scratch.path() + "k";
    auto f = rotating(base, 3);
    line(*f, "L1");
    for (int n = 2; n <= 4; ++n) {
        line(*f, "L" + std::to_string(n));
        EXPECT_EQ(read_file(gen(base, n - 1)), content_of("L" + std::to_string(n - 1)));
        EXPECT_EQ(read_file(base + ".log.txt"), content_of("L" + std::to_string(n)));
    }
    line(*f, "L5");  // every generation exists: 2 to 1, 3 to 2, then the copy to 3
    EXPECT_EQ(read_file(gen(base, 1)), content_of("L2"));
    EXPECT_EQ(read_file(gen(base, 2)), content_of("L3"));
    EXPECT_EQ(read_file(gen(base, 3)), content_of("L4"));
    EXPECT_EQ(read_file(base + ".log.txt"), content_of("L5"));
    EXPECT_FALSE(exists(gen(base, 4)));
}

TEST(LogFile, OneGenerationIsReplacedAndZeroGenerationsOnlyEmpty) {
    scratch_dir scratch("logrot");
    const std::string one = scratch.path() + "one";
    auto f = rotating(one, 1);
    line(*f, "a");
    line(*f, "b");
    line(*f, "c");
    EXPECT_EQ(read_file(gen(one, 1)), content_of("b"));
    EXPECT_FALSE(exists(gen(one, 2)));
    EXPECT_EQ(read_file(one + ".log.txt"), content_of("c"));

    const std::string none = scratch.path() + "none";
    auto g = rotating(none, 0);
    line(*g, "a");
    line(*g, "b");
    EXPECT_EQ(read_file(none + ".log.txt"), content_of("b"));
    EXPECT_FALSE(exists(gen(none, 1)));
}

TEST(LogFile, MissingFirstGenerationIsWrittenFirst) {
    scratch_dir scratch("logrot");
    const std::string base = scratch.path() + "gap";
    ASSERT_TRUE(write_file(gen(base, 2), "old two"));
    auto f = rotating(base, 3);
    line(*f, "a");
    line(*f, "b");
    EXPECT_EQ(read_file(gen(base, 1)), content_of("a"));
    EXPECT_EQ(read_file(gen(base, 2)), "old two");
    EXPECT_FALSE(exists(gen(base, 3)));
}

TEST(LogFile, BlockedRotationKeepsTheFileAndStillAppends) {
    scratch_dir scratch("logrot");
    const std::string base = scratch.path() + "busy";
    ASSERT_TRUE(write_file(gen(base, 1), "held"));
    auto f = rotating(base, 1);
    line(*f, "a");
    {
        corvid::unique_file held = hold_exclusively(gen(base, 1));
        ASSERT_TRUE(held);
        line(*f, "b");
    }
    EXPECT_EQ(read_file(gen(base, 1)), "held");
    EXPECT_EQ(read_file(base + ".log.txt"), bom + "P a\r\nP b\r\n");
    line(*f, "c");  // the generation is free again: rotation resumes
    EXPECT_EQ(read_file(gen(base, 1)), bom + "P a\r\nP b\r\n");
    EXPECT_EQ(read_file(base + ".log.txt"), content_of("c"));
}

TEST(LogFile, TheBootstrapperWayOfUsingTheLog) {
    scratch_dir scratch("logboot");
    ASSERT_TRUE(::SetEnvironmentVariableA("TMP", scratch.path().c_str()));
    ASSERT_TRUE(::SetEnvironmentVariableA("TEMP", scratch.path().c_str()));
    ASSERT_EQ(corvid::get_temp_path(), scratch.path());
    for (int run = 0; run < 2; ++run) {
        bool log_ready = false;
        try {
            auto f = std::make_unique<corvid::log::file>(corvid::get_temp_path() + "Keelson");
            corvid::log::add_listener(f.release());
            log_ready = true;
        } catch (...) {
        }
        ASSERT_TRUE(log_ready);
        const std::string path = "C:\\Temp\\ZELT1700000000\\setup.exe";
        corvid::log::writef("File: %s", path.c_str());
        corvid::log::write(std::wstring(L"Tarnwick"));
        corvid::log::shutdown();
    }
    const std::string file = scratch.path() + "Keelson.log.txt";
    std::vector<std::string> lines;
    std::string reason;
    ASSERT_TRUE(log_test::split_log(read_file(file), lines, reason)) << reason;
    ASSERT_EQ(lines.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(log_test::is_prefix(lines[i].substr(0, 23), ' ')) << lines[i];
        EXPECT_EQ(lines[i].substr(23), i % 2 ? "Tarnwick" : "File: C:\\Temp\\ZELT1700000000\\setup.exe");
    }
    // shutdown closed the file: nobody else has it open any more.
    EXPECT_TRUE(hold_exclusively(file));
}
