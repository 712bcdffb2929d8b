#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>

class VeskOrluneAudioProcessorTestAccess;

// The plug-in instance. It passes the host's audio through untouched, meters
// it, captures it into a lock-free ring and, while the user streams, is also
// the sender thread that turns the ring's audio into datagrams for the relay.
//
// Threads:
//  - message thread: construction, prepare, release, destruction, the editor
//    and the session operations it calls;
//  - audio thread: processBlock and the ring write (no lock, no allocation);
//  - sender thread (our juce::Thread base): run() and everything it calls.
class VeskOrluneAudioProcessor : public juce::AudioProcessor, public juce::Thread
{
public:
    VeskOrluneAudioProcessor();
    ~VeskOrluneAudioProcessor() override;

    //==========================================================================
    const juce::String getName() const override;

    void prepareToPlay(double sampleRate, int maximumExpectedSamplesPerBlock) override;
    void releaseResources() override;
    void processBlock(juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi) override;
    using juce::AudioProcessor::processBlock;

    double getTailLengthSeconds() const override;
    bool acceptsMidi() const override;
    bool producesMidi() const override;
    bool isMidiEffect() const override;

    juce::AudioProcessorEditor* createEditor() override;
    bool hasEditor() const override;

    int getNumPrograms() override;
    int getCurrentProgram() override;
    void setCurrentProgram(int index) override;
    const juce::String getProgramName(int index) override;
    void changeProgramName(int index, const juce::String& newName) override;

    void getStateInformation(juce::MemoryBlock& destData) override;
    void setStateInformation(const void* data, int sizeInBytes) override;

    bool isBusesLayoutSupported(const BusesLayout& layouts) const override;

    //==========================================================================
    // Published values, polled by the editor. Each is one atomic load.
    float getInputLevel() const noexcept { return inputLevel.load(); }
    float getOutputLevel() const noexcept { return outputLevel.load(); }
    int getBufferedMs() const noexcept { return bufferedMs.load(); }
    int getReaderActivity() const noexcept { return readerActivity.load(); }
    bool isStreaming() const noexcept { return streaming.load(); }

    // True when the most recent datagram of the session could not be handed to
    // the network, and the number of such failures since the session started.
    bool hasLastSendFailed() const noexcept { return lastSendFailed.load(); }
    juce::int64 getFailedSendCount() const noexcept { return failedSendCount.load(); }

    //==========================================================================
    // Stream session (message thread).
    void startStreaming();
    void stopStreaming();
    void setRoomCode(const juce::String& newCode);
    juce::String getRoomCode() const;

    // Where the datagrams go: the relay's IPv4 address, port 54321.
    static const char* getRelayAddress() noexcept;
    static constexpr int relayPort = 54321;

private:
    friend class VeskOrluneAudioProcessorTestAccess;

    void run() override;

    void prepareBuffers(double sampleRate);
    void pushToCaptureRing(const juce::AudioBuffer<float>& block) noexcept;
    void updateBufferedMs() noexcept;
    void resetResamplers() noexcept;
    void readAndSendBlock();
    void sendPacket();

    //==========================================================================
    std::atomic<float> inputLevel{0.0f};
    std::atomic<float> outputLevel{0.0f};

    juce::AudioBuffer<float> captureBuffer;
    juce::AudioBuffer<float> inputBlock;
    juce::AudioBuffer<float> outputBlock;
    std::unique_ptr<juce::AbstractFifo> captureFifo;
    std::unique_ptr<juce::DatagramSocket> socket;
    std::array<juce::LagrangeInterpolator, 2> resamplers;

    int ringCapacity = 0;
    int hostSampleRate = 48000;
    int inputFramesPerPacket = 256;

    std::atomic<int> bufferedMs{0};
    std::atomic<int> readerActivity{0};
    std::atomic<bool> prepared{false};
    std::atomic<bool> streaming{false};

    juce::int64 packetSequence = 0;
    juce::int64 samplePosition = 0;

    mutable juce::CriticalSection roomCodeLock;
    juce::String roomCode{"default"};

    // Hand-over between the message thread and the sender thread. The audio
    // thread never touches it.
    //
    // The sender holds senderLock for one whole pass (ring read, resampling,
    // datagram build and send). Every message-thread operation that replaces
    // or destroys something a pass uses takes it around that change: prepare
    // (ring, blocks, resamplers), startStreaming (counters, resamplers,
    // socket), stopStreaming, release and destruction (socket). So a pass
    // never sees storage being replaced, counters or resamplers being reset,
    // or a socket being destroyed under a send in progress. A pass is short
    // (tens of microseconds), so the message thread waits at most that long.
    std::mutex senderLock;

    // Set by startStreaming: the first pass of a session drops whatever waited
    // in the ring, so listeners hear live audio rather than a stale backlog.
    bool discardBacklogOnNextPass = false;

    std::atomic<bool> lastSendFailed{false};
    std::atomic<juce::int64> failedSendCount{0};

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(VeskOrluneAudioProcessor)
};
