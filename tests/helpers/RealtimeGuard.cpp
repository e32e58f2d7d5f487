#include "helpers/RealtimeGuard.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>

#include <cstdlib>
#include <new>

namespace
{
// Plain thread-locals of trivial type: reading them never allocates.
thread_local bool counting = false;
thread_local long allocationCount = 0;
thread_local long deallocationCount = 0;
thread_local long lockCount = 0;

void* allocate (std::size_t size)
{
    if (counting)
        ++allocationCount;
    if (size == 0)
        size = 1;
    if (void* p = std::malloc (size))
        return p;
    throw std::bad_alloc();
}

void* allocateAligned (std::size_t size, std::align_val_t align)
{
    if (counting)
        ++allocationCount;
    const auto a = static_cast<std::size_t> (align);
    if (void* p = std::aligned_alloc (a, (size + a - 1) / a * a))
        return p;
    throw std::bad_alloc();
}

void release (void* p) noexcept
{
    if (p != nullptr && counting)
        ++deallocationCount;
    std::free (p);
}
} // namespace

void* operator new (std::size_t size) { return allocate (size); }
void* operator new[] (std::size_t size) { return allocate (size); }
void* operator new (std::size_t size, std::align_val_t a) { return allocateAligned (size, a); }
void* operator new[] (std::size_t size, std::align_val_t a) { return allocateAligned (size, a); }
void* operator new (std::size_t size, const std::nothrow_t&) noexcept
{
    try { return allocate (size); } catch (...) { return nullptr; }
}
void* operator new[] (std::size_t size, const std::nothrow_t&) noexcept
{
    try { return allocate (size); } catch (...) { return nullptr; }
}
void operator delete (void* p) noexcept { release (p); }
void operator delete[] (void* p) noexcept { release (p); }
void operator delete (void* p, std::size_t) noexcept { release (p); }
void operator delete[] (void* p, std::size_t) noexcept { release (p); }
void operator delete (void* p, std::align_val_t) noexcept { release (p); }
void operator delete[] (void* p, std::align_val_t) noexcept { release (p); }
void operator delete (void* p, std::size_t, std::align_val_t) noexcept { release (p); }
void operator delete[] (void* p, std::size_t, std::align_val_t) noexcept { release (p); }

// Interposes the blocking mutex lock for this executable. The next definition (the C library's,
// or a sanitizer's interceptor in front of it) is looked up on first use; glibc's dlsym takes its
// own locks internally, not through this symbol.
extern "C" int pthread_mutex_lock (pthread_mutex_t* m)
{
    using Lock = int (*) (pthread_mutex_t*);
    static std::atomic<Lock> next { nullptr };
    Lock real = next.load (std::memory_order_acquire);
    if (real == nullptr)
    {
        real = reinterpret_cast<Lock> (dlsym (RTLD_NEXT, "pthread_mutex_lock"));
        next.store (real, std::memory_order_release);
    }
    if (counting)
        ++lockCount;
    return real (m);
}

RealtimeGuard::RealtimeGuard()
    : startAllocations (allocationCount), startDeallocations (deallocationCount), startLocks (lockCount), wasCounting (counting)
{
    counting = true;
}

RealtimeGuard::~RealtimeGuard() { counting = wasCounting; }

long RealtimeGuard::allocations() const noexcept { return allocationCount - startAllocations; }
long RealtimeGuard::deallocations() const noexcept { return deallocationCount - startDeallocations; }
long RealtimeGuard::blockingLocks() const noexcept { return lockCount - startLocks; }
