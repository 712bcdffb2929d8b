#pragma once

#include "VeskOrluneAudioProcessor.h"

#include <chrono>
#include <thread>
#include <vector>

// The narrow seam through which tests see and set the processor's private
// state: ring indices and storage, the prepared sizes, the sender's blocks,
// one sender pass on demand, and a way to make the socket unusable.
class VeskOrluneAudioProcessorTestAccess
{
public:
    explicit VeskOrluneAudioProcessorTestAccess(VeskOrluneAudioProcessor& processorToInspect)
        : p(processorToInspect)
    {
    }

    int hostSampleRate() const { return p.hostSampleRate; }
    int ringCapacity() const { return p.ringCapacity; }
    int inputFramesPerPacket() const { return p.inputFramesPerPacket; }
    bool isPrepared() const { return p.prepared.load(); }
    bool hasFifo() const { return p.captureFifo != nullptr; }
    bool hasSocket() const { return p.socket != nullptr; }
    int socketPort() const { return p.socket != nullptr ? p.socket->getBoundPort() : -1; }
    // The counters belong to the sender; read them as the message thread may.
    juce::int64 packetSequence() const
    {
        const std::lock_guard<std::mutex> lock(p.senderLock);
        return p.packetSequence;
    }
    juce::int64 samplePosition() const
    {
        const std::lock_guard<std::mutex> lock(p.senderLock);
        return p.samplePosition;
    }

    const juce::AudioBuffer<float>& captureBuffer() const { return p.captureBuffer; }
    const juce::AudioBuffer<float>& inputBlock() const { return p.inputBlock; }
    const juce::AudioBuffer<float>& outputBlock() const { return p.outputBlock; }

    int readStart() const { return readIndex(); }
    int writeEnd() const { return (readIndex() + p.captureFifo->getNumReady()) % p.ringCapacity; }
    int numReady() const { return p.captureFifo->getNumReady(); }

    // Places the ring's indices (the contents are left as they are).
    void setRingIndices(int newReadStart, int newWriteEnd)
    {
        auto& fifo = *p.captureFifo;
        const int capacity = fifo.getTotalSize();
        fifo.reset();
        fifo.finishedWrite(newReadStart);
        fifo.finishedRead(newReadStart);
        fifo.finishedWrite((newWriteEnd - newReadStart + capacity) % capacity);
    }

    // One sender pass, as the sender thread makes it (call with the thread stopped).
    void runSenderPass()
    {
        const std::lock_guard<std::mutex> lock(p.senderLock);
        p.readAndSendBlock();
    }

    void pushToCaptureRing(const juce::AudioBuffer<float>& block) { p.pushToCaptureRing(block); }

    // Closes the session's socket under the sender lock, so that every later
    // send on it fails as a socket that could not be created would.
    void breakSocket()
    {
        const std::lock_guard<std::mutex> lock(p.senderLock);
        if (p.socket != nullptr)
            p.socket->shutdown();
    }

private:
    int readIndex() const
    {
        int start1 = 0, size1 = 0, start2 = 0, size2 = 0;
        p.captureFifo->prepareToRead(1, start1, size1, start2, size2);
        if (size1 > 0)
            return start1;
        // Empty ring: the read start equals the write end, which prepareToWrite reports.
        p.captureFifo->prepareToWrite(1, start1, size1, start2, size2);
        return start1;
    }

    VeskOrluneAudioProcessor& p;
};

// The sender idles in 50 ms waits while no session runs; give it time to see
// a new session (and drop the backlog) before a test feeds its signal.
inline void letSenderSeeTheSession()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
}

// Uniform noise in [-1, 1), the same for the same seed.
inline std::vector<float> noise(size_t n, int seed)
{
    juce::Random random(seed);
    std::vector<float> v(n);
    for (auto& s : v)
        s = random.nextFloat() * 2.0f - 1.0f;
    return v;
}
