// Lock classes: the lock interface, an in-process recursive lock, a named
// system mutex shared machine-wide, and a scope guard.
#pragma once

#include <string>

#include "corvid/win32.hpp"

namespace corvid {

// Everything that can be locked.
class scope_semantics {
public:
    virtual ~scope_semantics() = default;
    // Acquires, waiting as long as it takes.
    virtual void lock() = 0;
    virtual void unlock() = 0;
};

// In-process recursive lock on a critical section: the holding thread may
// enter again and must leave as often as it entered. Never fails.
class mutex : public scope_semantics {
public:
    mutex() noexcept;
    ~mutex() override;
    mutex(const mutex&) = delete;
    mutex& operator=(const mutex&) = delete;

    void lock() override;
    void unlock() override;

private:
    CRITICAL_SECTION section_;
};

// A named system mutex, owned per thread and recursive. Construction creates
// the mutex (or opens an existing one) under the machine-wide form of the
// name, with a null DACL so that every user and service can open it; it
// throws corvid::exception "OpenMutex returned 0x%08x" when neither works, so
// a constructed object always holds a valid handle. Destruction closes the
// handle without releasing ownership (the system drops ownership when the
// owning thread ends; a later waiter then gets the mutex as abandoned).
class real_mutex : public scope_semantics {
public:
    explicit real_mutex(const std::string& name);
    ~real_mutex() override;
    real_mutex(const real_mutex&) = delete;
    real_mutex& operator=(const real_mutex&) = delete;

    // true when the calling thread now owns the mutex (an abandoned mutex
    // included), false when the time-out ran out first. Throws
    // "WaitForSingleObject returned 0x%08x" on a failed wait.
    bool lock(DWORD timeout_ms);
    // Waits without time-out.
    void lock() override;
    // Releases one level of ownership; throws "ReleaseMutex returned 0x%08x".
    void unlock() override;

    HANDLE native_handle() const noexcept { return handle_; }

private:
    HANDLE handle_;
};

// Guard: locks its target on construction and unlocks it on every way out of
// the block. unlock() forgets the target, so a guard unlocked explicitly does
// nothing more, also on destruction. The target must outlive the guard.
class [[nodiscard]] scope : public scope_semantics {
public:
    explicit scope(scope_semantics& target);
    ~scope() override;
    scope(const scope&) = delete;
    scope& operator=(const scope&) = delete;

    void lock() override;
    void unlock() override;

private:
    scope_semantics* target_;
};

}  // namespace corvid
