// Renders the plug-in window at its default size into a PNG, showing a live
// signal: usage: render_editor <output.png>
//
// The processor is not prepared, so starting the stream sends nothing. Its
// meters are fed a real process call (a full-scale-over-root-two sine, RMS
// 0.5, which reads -6.0 dB); the two values only a running sender publishes,
// the buffered milliseconds and the reader activity, are set directly to what
// a stream with 300 ms waiting shows.

#include "VeskOrluneAudioProcessor.h"
#include "VeskOrluneAudioProcessorEditor.h"

#include <cmath>
#include <iostream>
#include <memory>

class VeskOrluneAudioProcessorTestAccess
{
public:
    static void publishSenderState(VeskOrluneAudioProcessor& p, int bufferedMs, int readerActivity)
    {
        p.bufferedMs.store(bufferedMs);
        p.readerActivity.store(readerActivity);
    }
};

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::cerr << "usage: render_editor <output.png>\n";
        return 2;
    }

    const juce::ScopedJuceInitialiser_GUI gui;
    const auto output = juce::File::getCurrentWorkingDirectory().getChildFile(argv[1]);

    VeskOrluneAudioProcessor processor;
    processor.setRoomCode("band_room-4k7q");
    processor.startStreaming();

    // 440 Hz at 48 kHz, amplitude 1/sqrt(2): 300 ms, 120 whole periods.
    constexpr int frames = 14400;
    juce::AudioBuffer<float> block(2, frames);
    for (int i = 0; i < frames; ++i)
    {
        const auto phase = juce::MathConstants<double>::twoPi * 440.0 * i / 48000.0;
        const auto sample = static_cast<float>(std::sin(phase) / std::sqrt(2.0));
        block.setSample(0, i, sample);
        block.setSample(1, i, sample);
    }
    juce::MidiBuffer midi;
    processor.processBlock(block, midi);
    VeskOrluneAudioProcessorTestAccess::publishSenderState(processor, 300, 100);

    int status = 0;
    juce::String size;
    {
        std::unique_ptr<juce::AudioProcessorEditor> window(processor.createEditor());
        auto* editor = dynamic_cast<VeskOrluneAudioProcessorEditor*>(window.get());
        editor->timerCallback();

        const auto image = editor->createComponentSnapshot(editor->getLocalBounds(), true, 1.0f);
        size = juce::String(image.getWidth()) + " x " + juce::String(image.getHeight());
        output.deleteFile();
        juce::FileOutputStream stream(output);
        juce::PNGImageFormat png;
        if (!stream.openedOk() || !png.writeImageToStream(image, stream))
        {
            std::cerr << "render_editor: cannot write " << output.getFullPathName() << "\n";
            status = 1;
        }
    }

    processor.stopStreaming();
    if (status == 0)
        std::cout << "render_editor: wrote " << output.getFullPathName() << " (" << size << ")\n";
    return status;
}
