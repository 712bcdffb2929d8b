#include "HeapAudit.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define HEAP_AUDIT_HOOKS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define HEAP_AUDIT_HOOKS 0
#endif
#endif
#ifndef HEAP_AUDIT_HOOKS
#define HEAP_AUDIT_HOOKS 1
#endif

namespace
{
thread_local bool auditing = false;
std::atomic<long> auditedCalls{0};

inline void noteHeapCall() noexcept
{
    if (auditing)
        auditedCalls.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

namespace heapaudit
{
bool available() noexcept
{
    return HEAP_AUDIT_HOOKS != 0;
}
long count() noexcept
{
    return auditedCalls.load();
}
void reset() noexcept
{
    auditedCalls.store(0);
}
Scope::Scope() noexcept
{
    auditing = true;
}
Scope::~Scope()
{
    auditing = false;
}
} // namespace heapaudit

#if HEAP_AUDIT_HOOKS
extern "C"
{
    void* __libc_malloc(size_t);
    void* __libc_calloc(size_t, size_t);
    void* __libc_realloc(void*, size_t);
    void* __libc_memalign(size_t, size_t);
    void __libc_free(void*);

    void* malloc(size_t n)
    {
        noteHeapCall();
        return __libc_malloc(n);
    }
    void* calloc(size_t n, size_t size)
    {
        noteHeapCall();
        return __libc_calloc(n, size);
    }
    void* realloc(void* p, size_t n)
    {
        noteHeapCall();
        return __libc_realloc(p, n);
    }
    void free(void* p)
    {
        if (p != nullptr)
            noteHeapCall();
        __libc_free(p);
    }
    void* aligned_alloc(size_t alignment, size_t n)
    {
        noteHeapCall();
        return __libc_memalign(alignment, n);
    }
    int posix_memalign(void** out, size_t alignment, size_t n)
    {
        noteHeapCall();
        *out = __libc_memalign(alignment, n);
        return *out != nullptr ? 0 : ENOMEM;
    }
}

void* operator new(size_t n)
{
    noteHeapCall();
    if (void* p = __libc_malloc(n == 0 ? 1 : n))
        return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n)
{
    return operator new(n);
}
void operator delete(void* p) noexcept
{
    free(p);
}
void operator delete[](void* p) noexcept
{
    free(p);
}
void operator delete(void* p, size_t) noexcept
{
    free(p);
}
void operator delete[](void* p, size_t) noexcept
{
    free(p);
}
#endif
