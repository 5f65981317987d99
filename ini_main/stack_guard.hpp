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
// and more.  The lowest usable address is read once per thread; where the
// stack's bounds cannot be read (the main thread's come from /proc), the
// thread keeps the interpreter's count of nested calls as its only guard.
inline constexpr uintptr_t kStackReserve = 96 * 1024;
inline constexpr uintptr_t kFloorUnread = 0;
inline constexpr uintptr_t kFloorUnknown = UINTPTR_MAX;  // above every address: every call takes the slow path
[[gnu::tls_model("initial-exec")]] inline thread_local uintptr_t stack_floor = kFloorUnread;

[[gnu::noinline, gnu::cold]] inline uintptr_t read_stack_floor() noexcept {
    pthread_attr_t attr;
    void* base = nullptr;
    size_t size = 0;
    bool read = false;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        read = pthread_attr_getstack(&attr, &base, &size) == 0 && base && size;
        pthread_attr_destroy(&attr);
    }
    if (!read) return stack_floor = kFloorUnknown;
    const uintptr_t low = reinterpret_cast<uintptr_t>(base);
    // A stack too small for the reserve keeps a quarter of itself.
    stack_floor = low + (size > 4 * kStackReserve ? kStackReserve : size / 4);
    return stack_floor;
}

// True when a call cannot simply go ahead: the stack is nearly used up, or
// its bounds are unknown (stack_measured() tells the two apart).
inline bool stack_low() noexcept {
    const uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    const uintptr_t floor = stack_floor != kFloorUnread ? stack_floor : read_stack_floor();
    return here < floor;
}

inline bool stack_measured() noexcept { return stack_floor != kFloorUnknown; }

}  // namespace ini_main
