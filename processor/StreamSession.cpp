// The stream session and the room code: the operations the editor calls on
// the message thread.

#include "RelayConfig.h"
#include "RoomCode.h"
#include "VeskOrluneAudioProcessor.h"

const char* VeskOrluneAudioProcessor::getRelayAddress() noexcept
{
    return VESK_ORLUNE_RELAY_ADDRESS;
}

void VeskOrluneAudioProcessor::setRoomCode(const juce::String& newCode)
{
    auto sanitised = vesk::sanitiseRoomCode(newCode);

    const juce::ScopedLock lock(roomCodeLock);
    roomCode.swapWith(sanitised);
    // The replaced string is released with `sanitised`, outside the lock.
}

juce::String VeskOrluneAudioProcessor::getRoomCode() const
{
    const juce::ScopedLock lock(roomCodeLock);
    return roomCode;
}

void VeskOrluneAudioProcessor::resetResamplers() noexcept
{
    for (auto& resampler : resamplers)
        resampler.reset();
}

void VeskOrluneAudioProcessor::startStreaming()
{
    // Under the sender lock, so no pass is using the counters, the resamplers
    // or the socket while they are reset or created.
    const std::lock_guard<std::mutex> lock(senderLock);

    packetSequence = 0;
    samplePosition = 0;
    resetResamplers();

    if (socket == nullptr)
    {
        socket = std::make_unique<juce::DatagramSocket>(false);
        socket->bindToPort(0);
    }

    discardBacklogOnNextPass = true;
    lastSendFailed.store(false);
    failedSendCount.store(0);

    // Last: a sender that sees the switch on finds everything else in place.
    streaming.store(true);
}

void VeskOrluneAudioProcessor::stopStreaming()
{
    // Taking the sender lock first means that once this returns no pass is
    // running, none will start (the switch is off), no datagram can follow,
    // and readerActivity reads 0.
    const std::lock_guard<std::mutex> lock(senderLock);

    streaming.store(false);
    readerActivity.store(0);
    socket.reset();
}
