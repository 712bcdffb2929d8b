#pragma once

// Counts heap calls (malloc, free, new, delete and friends) that a thread
// makes while it has an audit scope open. The counting replacements of the
// heap functions live in HeapAudit.cpp; under AddressSanitizer or
// ThreadSanitizer the sanitizer owns those functions and the audit is off.

namespace heapaudit
{
bool available() noexcept;

// Heap calls counted since the last reset, over all threads.
long count() noexcept;
void reset() noexcept;

struct Scope
{
    Scope() noexcept;
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};
} // namespace heapaudit
