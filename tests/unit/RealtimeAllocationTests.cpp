// Proves that the audio thread's path allocates and frees nothing: every heap
// function of the process is wrapped (tests/support/HeapAudit.cpp), and calls
// made while this thread is inside processBlock are counted.

#include "ProcessorTestAccess.h"

#include "HeapAudit.h"

#include <gtest/gtest.h>

TEST(RealtimeSafety, HooksSeeAnAllocationOnThisThread)
{
    if (!heapaudit::available())
        GTEST_SKIP() << "heap hooks are off under sanitizers";
    heapaudit::reset();
    {
        heapaudit::Scope scope;
        int* volatile p = new int(3); // volatile: the pair may not be elided
        delete p;
    }
    EXPECT_EQ(heapaudit::count(), 2);
}

TEST(RealtimeSafety, ProcessBlockNeverTouchesTheHeap)
{
    if (!heapaudit::available())
        GTEST_SKIP() << "heap hooks are off under sanitizers";
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
        heapaudit::reset();
        {
            heapaudit::Scope scope;
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
        EXPECT_EQ(heapaudit::count(), 0) << "at " << rate << " Hz";
        EXPECT_GT(processor.getBufferedMs(), 0);
        processor.releaseResources();
    }
    juce::MessageManager::deleteInstance();
}
