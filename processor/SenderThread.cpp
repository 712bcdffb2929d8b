// The sender thread: the ring's only consumer. It takes one datagram's worth
// of audio at a time, converts it to 48 kHz and sends it to the relay.

#include "PcmDatagram.h"
#include "VeskOrluneAudioProcessor.h"

void VeskOrluneAudioProcessor::run()
{
    while (!threadShouldExit())
    {
        bool sending = false;
        {
            const std::lock_guard<std::mutex> lock(senderLock);
            sending = prepared.load() && streaming.load();
            if (sending)
                readAndSendBlock();
        }

        if (sending)
        {
            wait(2.0);
        }
        else
        {
            readerActivity.store(0);
            wait(50.0);
        }
    }
}

// Called with senderLock held.
void VeskOrluneAudioProcessor::readAndSendBlock()
{
    if (captureFifo == nullptr || ringCapacity <= 0)
    {
        readerActivity.store(0);
        return;
    }

    if (discardBacklogOnNextPass)
    {
        // A new session starts with live audio: drop what piled up while no
        // session ran. Only the consumer may move the read start, and we are it.
        discardBacklogOnNextPass = false;
        captureFifo->finishedRead(captureFifo->getNumReady());
    }

    const int ready = captureFifo->getNumReady();
    if (ready < inputFramesPerPacket)
    {
        readerActivity.store(0);
        updateBufferedMs();
        return;
    }

    // Copy out without consuming. The ring is read through its raw pointers,
    // not copyFrom: copyFrom would read the ring's clear flag, which the audio
    // thread writes. Storage flagged clear holds zeros, so the samples are the
    // same either way.
    int start1 = 0, size1 = 0, start2 = 0, size2 = 0;
    captureFifo->prepareToRead(inputFramesPerPacket, start1, size1, start2, size2);
    for (int ch = 0; ch < 2; ++ch)
    {
        if (size1 > 0)
            inputBlock.copyFrom(ch, 0, captureBuffer.getReadPointer(ch, start1), size1);
        if (size2 > 0)
            inputBlock.copyFrom(ch, size1, captureBuffer.getReadPointer(ch, start2), size2);
    }

    int consumed = vesk::pcm::framesPerPacket;
    if (hostSampleRate == vesk::pcm::sampleRate)
    {
        for (int ch = 0; ch < 2; ++ch)
            outputBlock.copyFrom(ch, 0, inputBlock, ch, 0, vesk::pcm::framesPerPacket);
    }
    else
    {
        const double speedRatio = hostSampleRate / 48000.0;
        const int used0 =
            resamplers[0].process(speedRatio, inputBlock.getReadPointer(0),
                                  outputBlock.getWritePointer(0), vesk::pcm::framesPerPacket);
        const int used1 =
            resamplers[1].process(speedRatio, inputBlock.getReadPointer(1),
                                  outputBlock.getWritePointer(1), vesk::pcm::framesPerPacket);
        consumed = juce::jlimit(1, inputFramesPerPacket, std::max(used0, used1));
    }

    captureFifo->finishedRead(consumed);
    sendPacket();
    readerActivity.store(100);
    updateBufferedMs();
}

// Called with senderLock held, so the socket cannot be destroyed mid-send.
void VeskOrluneAudioProcessor::sendPacket()
{
    if (socket == nullptr)
        return;

    juce::MemoryOutputStream stream(256);
    vesk::pcm::writeDatagram(stream, getRoomCode(), packetSequence, samplePosition, outputBlock);

    const int size = static_cast<int>(stream.getDataSize());
    const int written = socket->write(getRelayAddress(), relayPort, stream.getData(), size);

    const bool failed = written != size;
    lastSendFailed.store(failed);
    if (failed)
        failedSendCount.fetch_add(1);

    packetSequence += 1;
    samplePosition += vesk::pcm::framesPerPacket;
}
