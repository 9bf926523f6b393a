// The thread primitives that the C++ runtime's exception support asks for
// (a once flag, a few mutexes, one thread-local key), on the system's own
// objects. The toolchain's runtime takes them from its POSIX thread library,
// whose thread, condition variable and read-write lock code comes along
// with them: about 30 KB of the 32-bit stub for the handful of calls below.
// The stub runs its own threads with CreateThread and uses none of that
// library's other functions; should anything in it ever need one, the link
// fails on the second definition instead of mixing the two.
//
// Callers in the runtime: the unwinder's registry of frame tables and its
// one-time set-up (libgcc), the emulated thread-local storage that holds
// each thread's exception state (libgcc), and the emergency pool for
// exception objects (libstdc++). None of their mutexes is recursive.
#include <cerrno>
#include <cstdint>

#include "corvid/win32.hpp"

namespace {

// The library's types, as its header declares them.
using once_flag = long;
using key_type = unsigned;
using mutex_type = std::intptr_t;  // one pointer: room for an SRW lock
using destructor = void (*)(void*);

// A mutex initialised statically holds this until its first use.
constexpr std::intptr_t static_initializer = -1;

SRWLOCK* lock_of(mutex_type* m) {
    ::InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(m), nullptr,
                                        reinterpret_cast<void*>(static_initializer));
    return reinterpret_cast<SRWLOCK*>(m);
}

// Keys with a destructor run it at the thread's end through a fiber-local
// slot's callback, which receives only the value: one callback per key.
constexpr long max_keys = 4;
destructor destructors[max_keys];
long keys_made = 0;

template <int N>
void NTAPI destroy_value(void* value) {
    if (value != nullptr && destructors[N] != nullptr) destructors[N](value);
}
constexpr PFLS_CALLBACK_FUNCTION key_callbacks[max_keys] = {destroy_value<0>, destroy_value<1>, destroy_value<2>,
                                                            destroy_value<3>};

}  // namespace

extern "C" {

int pthread_mutex_init(mutex_type* m, const void* /*attributes*/) {
    *m = 0;  // SRWLOCK_INIT
    return 0;
}

int pthread_mutex_destroy(mutex_type* /*m*/) { return 0; }

int pthread_mutex_lock(mutex_type* m) {
    ::AcquireSRWLockExclusive(lock_of(m));
    return 0;
}

int pthread_mutex_unlock(mutex_type* m) {
    ::ReleaseSRWLockExclusive(lock_of(m));
    return 0;
}

// 0: not run, 1: running, 2: done. Whoever comes second waits for the end.
int pthread_once(once_flag* flag, void (*init)()) {
    volatile LONG* state = reinterpret_cast<volatile LONG*>(flag);
    if (::InterlockedCompareExchange(state, 1, 0) == 0) {
        init();
        ::InterlockedExchange(state, 2);
        return 0;
    }
    while (::InterlockedCompareExchange(state, 2, 2) != 2) ::SwitchToThread();
    return 0;
}

int pthread_key_create(key_type* key, destructor on_thread_end) {
    const long n = ::InterlockedIncrement(&keys_made) - 1;
    if (n >= max_keys) return EAGAIN;
    destructors[n] = on_thread_end;
    const DWORD index = ::FlsAlloc(on_thread_end ? key_callbacks[n] : nullptr);
    if (index == FLS_OUT_OF_INDEXES) return EAGAIN;
    *key = index;
    return 0;
}

// Asked for on every throw and catch: the thread's last error, which the
// code around a failed call may not have read yet, is kept as it was.
void* pthread_getspecific(key_type key) {
    const DWORD error = ::GetLastError();
    void* value = ::FlsGetValue(key);
    ::SetLastError(error);
    return value;
}

int pthread_setspecific(key_type key, const void* value) {
    const DWORD error = ::GetLastError();
    const bool set = ::FlsSetValue(key, const_cast<void*>(value)) != FALSE;
    ::SetLastError(error);
    return set ? 0 : ENOMEM;
}

}  // extern "C"
