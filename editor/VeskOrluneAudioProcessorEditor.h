#pragma once

#include "RelayConfig.h"
#include "VeskOrluneAudioProcessor.h"

#include <juce_gui_basics/juce_gui_basics.h>

class VeskOrluneAudioProcessorEditorTestAccess;

// The plug-in window: title, stream buttons, room-code box and link, the two
// level meters, the buffer bar and the reader and status lines.
//
// Everything runs on the message thread. The editor owns none of the
// processor's state: it calls the session operations and, every 33 ms, copies
// the published values into its own snapshot members, which are all that
// paint() draws from. Closing the window leaves a running stream running.
class VeskOrluneAudioProcessorEditor : public juce::AudioProcessorEditor, public juce::Timer
{
public:
    explicit VeskOrluneAudioProcessorEditor(VeskOrluneAudioProcessor& p);
    ~VeskOrluneAudioProcessorEditor() override;

    void paint(juce::Graphics& g) override;
    void resized() override;
    void timerCallback() override;

    // The listener page of a room: this base followed by the room code.
    static constexpr const char* linkBaseUrl = VESK_ORLUNE_LINK_BASE_URL;

    // How long "Status: Room generated" and "Status: Listener link copied"
    // stay on the status line, unless the streaming state changes first.
    static constexpr double confirmationHoldMs = 2000.0;

protected:
    // Milliseconds on a monotonic clock, used only to time the hold of the
    // status confirmations. Tests override it to step time by hand.
    virtual double statusHoldClockMs() const;

private:
    friend class VeskOrluneAudioProcessorEditorTestAccess;

    void drawMeter(juce::Graphics& g, juce::Rectangle<float> area, float level,
                   const juce::String& title);

    void updateStatus();
    void roomCodeEdited();
    void generateRoomCode();
    void copyLinkToClipboard();

    void showConfirmation(const juce::String& text);
    void showLink();

    //==========================================================================
    VeskOrluneAudioProcessor& audioProcessor;

    juce::Label titleLabel;
    juce::Label subtitleLabel;
    juce::TextButton startButton;
    juce::TextButton stopButton;
    juce::Label roomCodeLabel;
    juce::TextEditor roomCodeEditor;
    juce::Label linkLabel;
    juce::TextButton generateRoomButton;
    juce::TextButton copyLinkButton;
    juce::Label statusLabel;
    juce::Label bufferLabel;
    juce::Label readerLabel;

    // Snapshots of the processor's published values, copied on every tick.
    float displayInputLevel = 0.0f;
    float displayOutputLevel = 0.0f;
    int displayBufferedMs = 0;
    int displayReaderActivity = 0;

    // A confirmation on the status line is held until confirmationHeldUntilMs,
    // or until the streaming flag differs from the one it was shown under.
    bool confirmationHeld = false;
    bool confirmationStreamingState = false;
    double confirmationHeldUntilMs = 0.0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(VeskOrluneAudioProcessorEditor)
};
