#include "corvid/lock.hpp"

#include "corvid/exception.hpp"
#include "corvid/mutex_name.hpp"

namespace corvid {

mutex::mutex() noexcept { ::InitializeCriticalSection(&section_); }
mutex::~mutex() { ::DeleteCriticalSection(&section_); }
void mutex::lock() { ::EnterCriticalSection(&section_); }
void mutex::unlock() { ::LeaveCriticalSection(&section_); }

namespace {

unsigned system_major_version() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!::GetVersionExA(&info)) return 5;
#pragma GCC diagnostic pop
    return info.dwMajorVersion;
}

}  // namespace

real_mutex::real_mutex(const std::string& name) : handle_(nullptr) {
    SECURITY_DESCRIPTOR descriptor;
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    // A present but null DACL: every user, session and service may open it.
    ::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = FALSE;

    const std::string full_name = machine_wide_mutex_name(name, system_major_version());
    handle_ = ::CreateMutexA(&attributes, FALSE, full_name.c_str());
    if (handle_ == nullptr) {
        // Opened with the right to wait as well as to release, so that a
        // mutex reached this way can be locked.
        handle_ = ::OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, full_name.c_str());
    }
    if (handle_ == nullptr)
        throw exception("OpenMutex returned 0x%08x", static_cast<unsigned>(::GetLastError()));
}

real_mutex::~real_mutex() { ::CloseHandle(handle_); }

bool real_mutex::lock(DWORD timeout_ms) {
    DWORD result = ::WaitForSingleObject(handle_, timeout_ms);
    if (result == WAIT_TIMEOUT) return false;
    if (result == WAIT_FAILED)
        throw exception("WaitForSingleObject returned 0x%08x", static_cast<unsigned>(::GetLastError()));
    return true;  // WAIT_OBJECT_0 or WAIT_ABANDONED: the caller owns it now
}

void real_mutex::lock() { lock(INFINITE); }

void real_mutex::unlock() {
    if (!::ReleaseMutex(handle_))
        throw exception("ReleaseMutex returned 0x%08x", static_cast<unsigned>(::GetLastError()));
}

scope::scope(scope_semantics& target) : target_(&target) { target_->lock(); }

scope::~scope() {
    try {
        unlock();
    } catch (...) {
        // A destructor must not throw; a failed release of a system mutex
        // leaves ownership to end with the thread.
    }
}

void scope::lock() {
    if (target_) target_->lock();
}

void scope::unlock() {
    if (target_) {
        scope_semantics* target = target_;
        target_ = nullptr;
        target->unlock();
    }
}

}  // namespace corvid
