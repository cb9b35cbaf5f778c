#pragma once
// Thread objects as the machine lays them out: shared by the kernel side and the user-mode
// side (which keeps the thread objects of a process's threads in memory it shares with the
// kernel host). Depends on nothing but the standard library.
//
// A thread object is a block of kThreadObjectSize bytes. The thread's current priority (0 to
// 31) is the byte at kThreadObjectPriorityOffset, an offset drivers do not know; every other
// byte holds a value above 31, so no other offset ever matches a priority.

#include <cstddef>
#include <cstdint>

namespace standin::kernel {

inline constexpr std::size_t kThreadObjectSize = 1024;
inline constexpr std::size_t kThreadObjectPriorityOffset = 0x1D3;
inline constexpr int kDefaultThreadPriority = 8;

inline void setThreadObjectPriority(void* block, int priority) {
    if (priority < 0) priority = 0;
    if (priority > 31) priority = 31;
    static_cast<unsigned char*>(block)[kThreadObjectPriorityOffset] =
        static_cast<unsigned char>(priority);
}

inline int threadObjectPriority(const void* block) {
    return static_cast<const unsigned char*>(block)[kThreadObjectPriorityOffset];
}

// Fills a fresh thread object: filler bytes and the priority byte.
inline void initThreadObject(void* block, int priority) {
    auto* b = static_cast<unsigned char*>(block);
    for (std::size_t i = 0; i < kThreadObjectSize; ++i)
        b[i] = static_cast<unsigned char>(0x40 + (i * 37 + 11) % 0xC0);
    setThreadObjectPriority(block, priority);
}

}  // namespace standin::kernel
