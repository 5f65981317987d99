// The guard of every method call against running out of C stack.
#pragma once

#include <cstdint>
#include <pthread.h>

namespace ini_main {

// Overridden methods can make the store's methods call each other in a loop
// that never passes through Python code, or through Python code between C
// calls that each take C stack; the interpreter's own checks count calls and
// assume a large stack.  This guard measures the calling thread's stack
// itself: a call that finds less than kStackReserve left raises
// RecursionError, which leaves room to unwind on any thread stack of 256 KiB
// and more.  The lowest usable address is read once per thread.
inline constexpr uintptr_t kStackReserve = 96 * 1024;
[[gnu::tls_model("initial-exec")]] inline thread_local uintptr_t stack_floor = 0;

[[gnu::noinline, gnu::cold]] inline uintptr_t read_stack_floor() noexcept {
    pthread_attr_t attr;
    void* base = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstack(&attr, &base, &size);
        pthread_attr_destroy(&attr);
    }
    const uintptr_t low = reinterpret_cast<uintptr_t>(base);
    // A stack too small for the reserve keeps a quarter of itself.
    stack_floor = low + (size > 4 * kStackReserve ? kStackReserve : size / 4);
    return stack_floor;
}

inline bool stack_exhausted() noexcept {
    const uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    const uintptr_t floor = stack_floor ? stack_floor : read_stack_floor();
    return here < floor;
}

}  // namespace ini_main
