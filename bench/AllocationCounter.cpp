// The replaced global allocation functions: every form of operator new
// counts one allocation and its size, then takes the memory from malloc (or
// posix_memalign); every form of operator delete hands it back to free.
#include "AllocationCounter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace
{

// std::size_t is lock-free on the PC and on the 32-bit target alike.
std::atomic<std::size_t> g_allocations{0};
std::atomic<std::size_t> g_bytes{0};

void Count(std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    g_bytes.fetch_add(size, std::memory_order_relaxed);
}

void* Allocate(std::size_t size)
{
    if (size == 0) {
        size = 1;
    }
    for (;;) {
        if (void* p = std::malloc(size)) {
            return p;
        }
        const std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            throw std::bad_alloc();
        }
        handler();
    }
}

void* AllocateAligned(std::size_t size, std::align_val_t alignment)
{
    auto align = static_cast<std::size_t>(alignment);
    if (align < sizeof(void*)) {
        align = sizeof(void*);
    }
    if (size == 0) {
        size = 1;
    }
    for (;;) {
        void* p = nullptr;
        if (posix_memalign(&p, align, size) == 0) {
            return p;
        }
        const std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            throw std::bad_alloc();
        }
        handler();
    }
}

} // namespace

AllocationTally AllocationsSoFar()
{
    return {g_allocations.load(std::memory_order_relaxed), g_bytes.load(std::memory_order_relaxed)};
}

void* operator new(std::size_t size)
{
    Count(size);
    return Allocate(size);
}

void* operator new[](std::size_t size)
{
    Count(size);
    return Allocate(size);
}

void* operator new(std::size_t size, const std::nothrow_t& /*tag*/) noexcept
{
    Count(size);
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}

void* operator new[](std::size_t size, const std::nothrow_t& /*tag*/) noexcept
{
    Count(size);
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}

void* operator new(std::size_t size, std::align_val_t alignment)
{
    Count(size);
    return AllocateAligned(size, alignment);
}

void* operator new[](std::size_t size, std::align_val_t alignment)
{
    Count(size);
    return AllocateAligned(size, alignment);
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete[](void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t /*size*/) noexcept
{
    std::free(p);
}

void operator delete[](void* p, std::size_t /*size*/) noexcept
{
    std::free(p);
}

void operator delete(void* p, const std::nothrow_t& /*tag*/) noexcept
{
    std::free(p);
}

void operator delete[](void* p, const std::nothrow_t& /*tag*/) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::align_val_t /*alignment*/) noexcept
{
    std::free(p);
}

void operator delete[](void* p, std::align_val_t /*alignment*/) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t /*size*/, std::align_val_t /*alignment*/) noexcept
{
    std::free(p);
}

void operator delete[](void* p, std::size_t /*size*/, std::align_val_t /*alignment*/) noexcept
{
    std::free(p);
}
