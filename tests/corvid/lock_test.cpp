#include "corvid/lock.hpp"

#include <gtest/gtest.h>

#include "corvid/exception.hpp"

namespace {

class counting_lock : public corvid::scope_semantics {
public:
    void lock() override { ++locks; }
    void unlock() override { ++unlocks; }
    int locks = 0, unlocks = 0;
};

struct probe_args {
    const std::string* name;
    int result;
};

DWORD WINAPI probe_thread(LPVOID p) {
    auto* a = static_cast<probe_args*>(p);
    corvid::real_mutex other(*a->name);
    a->result = other.lock(0) ? 1 : 0;
    return 0;
}

// Locks the mutex of that name and ends without releasing it.
DWORD WINAPI abandoning_thread(LPVOID p) {
    static_cast<corvid::real_mutex*>(p)->lock(0);
    return 0;
}

void run_thread(LPTHREAD_START_ROUTINE routine, void* argument) {
    HANDLE thread = ::CreateThread(nullptr, 0, routine, argument, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ::WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
}

}  // namespace

TEST(Scope, LocksOnConstructionAndUnlocksOnceOnEveryWayOut) {
    counting_lock target;
    {
        corvid::scope guard(target);
        EXPECT_EQ(target.locks, 1);
    }
    EXPECT_EQ(target.unlocks, 1);

    try {
        corvid::scope guard(target);
        throw 1;
    } catch (int) {
    }
    EXPECT_EQ(target.unlocks, 2);

    {
        corvid::scope guard(target);
        guard.unlock();
        EXPECT_EQ(target.unlocks, 3);
        guard.unlock();
        guard.lock();
        EXPECT_EQ(target.locks, 3);
    }
    EXPECT_EQ(target.unlocks, 3);
}

TEST(Mutex, IsRecursiveForTheHoldingThread) {
    corvid::mutex m;
    corvid::scope outer(m);
    corvid::scope inner(m);
    SUCCEED();
}

TEST(RealMutex, OwnerLocksAgainAndOtherThreadTimesOut) {
    std::string name = "corvid-test-" + std::to_string(::GetCurrentProcessId());
    corvid::real_mutex m(name);
    ASSERT_TRUE(m.lock(0));
    EXPECT_TRUE(m.lock(0));  // recursive for the owning thread

    probe_args args{&name, -1};
    run_thread(probe_thread, &args);
    EXPECT_EQ(args.result, 0);

    m.unlock();
    m.unlock();
    EXPECT_THROW(m.unlock(), corvid::exception);  // not owned any more
}

TEST(RealMutex, AbandonedMutexIsAcquired) {
    corvid::real_mutex keeper("corvid-abandon-" + std::to_string(::GetCurrentProcessId()));
    run_thread(abandoning_thread, &keeper);  // the owning thread ends
    EXPECT_TRUE(keeper.lock(0));
    keeper.unlock();
}

TEST(RealMutex, ErrorTextCarriesTheCodeAsEightHexDigits) {
    // A name with a backslash is used as given; an unknown namespace fails.
    try {
        corvid::real_mutex bad("NoSuchNamespace\\x");
        FAIL() << "expected a failure";
    } catch (const corvid::exception& e) {
        std::string what = e.what();
        EXPECT_EQ(what.rfind("[OpenMutex returned 0x", 0), 0u) << what;
        EXPECT_EQ(what.size(), std::string("[OpenMutex returned 0x00000000]").size()) << what;
    }
}
