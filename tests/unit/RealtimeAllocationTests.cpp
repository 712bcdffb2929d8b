// Proves that the audio thread's path allocates and frees nothing: every heap
// function of the process is wrapped, and calls made while this thread is
// inside processBlock are counted.

#include "ProcessorTestAccess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VESK_HEAP_HOOKS 0 // the sanitizers own the heap functions
#else
#define VESK_HEAP_HOOKS 1
#endif

namespace
{
thread_local bool auditing = false;
std::atomic<long> auditedHeapCalls{0};

inline void noteHeapCall() noexcept
{
    if (auditing)
        auditedHeapCalls.fetch_add(1, std::memory_order_relaxed);
}

struct AuditScope
{
    AuditScope() { auditing = true; }
    ~AuditScope() { auditing = false; }
};
} // namespace

#if VESK_HEAP_HOOKS
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

TEST(RealtimeSafety, HooksSeeAnAllocationOnThisThread)
{
#if !VESK_HEAP_HOOKS
    GTEST_SKIP() << "heap hooks are off under sanitizers";
#endif
    auditedHeapCalls = 0;
    {
        AuditScope scope;
        auto* p = new int(3);
        delete p;
    }
    EXPECT_EQ(auditedHeapCalls.load(), 2);
}

TEST(RealtimeSafety, ProcessBlockNeverTouchesTheHeap)
{
#if !VESK_HEAP_HOOKS
    GTEST_SKIP() << "heap hooks are off under sanitizers";
#endif
    juce::MessageManager::getInstance();
    VeskOrluneAudioProcessor processor;
    juce::MidiBuffer midi;
    juce::Random random(7);

    // Blocks and a sender that streams at the same time; every size, channel
    // count, clear flag, wrap and overflow case the audio thread can meet.
    std::vector<juce::AudioBuffer<float>> blocks;
    for (int size : {1, 7, 32, 64, 128, 256, 441, 512, 1024, 2048, 4096, 8192})
        for (int channels : {1, 2, 6})
        {
            juce::AudioBuffer<float> b(channels, size);
            for (int ch = 0; ch < channels; ++ch)
                for (int i = 0; i < size; ++i)
                    b.setSample(ch, i, random.nextFloat() - 0.5f);
            blocks.push_back(b);
        }
    juce::AudioBuffer<float> cleared(2, 512);
    cleared.clear();
    juce::AudioBuffer<float> empty(2, 0);

    for (double rate : {48000.0, 44100.0, 96000.0})
    {
        processor.prepareToPlay(rate, 512);
        processor.startStreaming();
        auditedHeapCalls = 0;
        {
            AuditScope scope;
            for (int i = 0; i < 3000; ++i)
            {
                auto& block =
                    blocks[static_cast<size_t>(random.nextInt(static_cast<int>(blocks.size())))];
                processor.processBlock(block, midi);
                if (i % 97 == 0)
                    processor.processBlock(cleared, midi);
                if (i % 101 == 0)
                    processor.processBlock(empty, midi);
            }
        }
        EXPECT_EQ(auditedHeapCalls.load(), 0) << "at " << rate << " Hz";
        EXPECT_GT(processor.getBufferedMs(), 0);
        processor.releaseResources();
    }
    juce::MessageManager::deleteInstance();
}
