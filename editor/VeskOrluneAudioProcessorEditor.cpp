#include "VeskOrluneAudioProcessorEditor.h"

#include "MeterDrawing.h"

namespace
{
namespace colours
{
const juce::Colour windowBackground{0xff04050d};
const juce::Colour outerFrame{0x592878ff};
const juce::Colour innerPanel{0x337846ff};
const juce::Colour track{0xff0a0e20};
const juce::Colour trackOutline{0x2effffff};
const juce::Colour meterBar{0xff28b4ff};
const juce::Colour roomBoxOutline{0xff2878ff};
const juce::Colour bufferFill{0xff7846ff};
const juce::Colour meterTitle{0xe6ffffff};
const juce::Colour meterText{0xbfffffff};
const juce::Colour captionText{0xffadd8e6};
const juce::Colour text{0xffffffff};
} // namespace colours

const char* const roomCodeInputCharacters =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_";
const char* const suffixAlphabet = "0123456789abcdefghijklmnopqrstuvwxyz";

void configureLabel(juce::Label& label, const juce::String& text, const juce::Font& font,
                    juce::Colour colour)
{
    label.setText(text, juce::dontSendNotification);
    label.setFont(font);
    label.setColour(juce::Label::textColourId, colour);
    label.setJustificationType(juce::Justification::centred);
}

// The part of the box text that a generated code keeps: trimmed, lower-cased,
// cut before the first "-", only a-z, 0-9 and "_" kept; "room" when empty.
juce::String generatedCodePrefix(const juce::String& boxText)
{
    auto text = boxText.trim().toLowerCase();
    if (text.containsChar('-'))
        text = text.upToFirstOccurrenceOf("-", false, false);

    juce::String prefix;
    for (auto p = text.getCharPointer(); !p.isEmpty(); ++p)
    {
        const auto c = *p;
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')
            prefix += juce::String::charToString(c);
    }

    return prefix.isEmpty() ? juce::String("room") : prefix;
}
} // namespace

//==============================================================================
VeskOrluneAudioProcessorEditor::VeskOrluneAudioProcessorEditor(VeskOrluneAudioProcessor& p)
    : juce::AudioProcessorEditor(p)
    , audioProcessor(p)
{
    setSize(560, 610);

    configureLabel(titleLabel, "Vesk Orlune", juce::FontOptions(32.0f, juce::Font::bold),
                   colours::text);
    addAndMakeVisible(titleLabel);

    configureLabel(subtitleLabel, "by Caddowin", juce::FontOptions(16.0f, juce::Font::plain),
                   colours::captionText);
    addAndMakeVisible(subtitleLabel);

    startButton.setButtonText("Start Stream");
    startButton.onClick = [this]
    {
        audioProcessor.startStreaming();
        updateStatus();
    };
    addAndMakeVisible(startButton);

    stopButton.setButtonText("Stop Stream");
    stopButton.onClick = [this]
    {
        audioProcessor.stopStreaming();
        updateStatus();
    };
    addAndMakeVisible(stopButton);

    configureLabel(roomCodeLabel, "Room Code", juce::FontOptions(14.0f, juce::Font::bold),
                   colours::captionText);
    roomCodeLabel.setJustificationType(juce::Justification::centredRight);
    addAndMakeVisible(roomCodeLabel);

    roomCodeEditor.setText(audioProcessor.getRoomCode(), false);
    roomCodeEditor.setJustification(juce::Justification::centred);
    roomCodeEditor.setColour(juce::TextEditor::backgroundColourId, colours::track);
    roomCodeEditor.setColour(juce::TextEditor::textColourId, colours::text);
    roomCodeEditor.setColour(juce::TextEditor::outlineColourId, colours::roomBoxOutline);
    roomCodeEditor.setColour(juce::TextEditor::focusedOutlineColourId, colours::meterBar);
    roomCodeEditor.setInputRestrictions(32, roomCodeInputCharacters);
    roomCodeEditor.onTextChange = [this] { roomCodeEdited(); };
    roomCodeEditor.onReturnKey = [this] { roomCodeEditor.giveAwayKeyboardFocus(); };
    addAndMakeVisible(roomCodeEditor);

    configureLabel(linkLabel, {}, juce::FontOptions(13.0f, juce::Font::plain), colours::text);
    showLink();
    addAndMakeVisible(linkLabel);

    generateRoomButton.setButtonText("Generate Room");
    generateRoomButton.onClick = [this] { generateRoomCode(); };
    addAndMakeVisible(generateRoomButton);

    copyLinkButton.setButtonText("Copy Link");
    copyLinkButton.onClick = [this] { copyLinkToClipboard(); };
    addAndMakeVisible(copyLinkButton);

    configureLabel(bufferLabel, "Buffer: 0 ms", juce::FontOptions(14.0f, juce::Font::bold),
                   colours::text);
    addAndMakeVisible(bufferLabel);

    configureLabel(readerLabel, "Reader: Idle", juce::FontOptions(14.0f, juce::Font::bold),
                   colours::text);
    addAndMakeVisible(readerLabel);

    // The status line keeps the look and feel's label font.
    statusLabel.setColour(juce::Label::textColourId, colours::text);
    statusLabel.setJustificationType(juce::Justification::centred);
    addAndMakeVisible(statusLabel);

    updateStatus();
    startTimer(33);
}

// Stops only the display refresh: the stream and the room code belong to the
// processor and outlive the window.
VeskOrluneAudioProcessorEditor::~VeskOrluneAudioProcessorEditor()
{
    stopTimer();
}

//==============================================================================
void VeskOrluneAudioProcessorEditor::resized()
{
    titleLabel.setBounds(28, 28, 504, 48);
    subtitleLabel.setBounds(28, 80, 504, 28);
    startButton.setBounds(28, 138, 240, 48);
    stopButton.setBounds(292, 138, 240, 48);
    roomCodeLabel.setBounds(54, 220, 120, 34);
    roomCodeEditor.setBounds(194, 220, 310, 34);
    linkLabel.setBounds(42, 265, 476, 24);
    generateRoomButton.setBounds(28, 305, 238, 36);
    copyLinkButton.setBounds(280, 305, 238, 36);
    bufferLabel.setBounds(42, 475, 476, 24);
    readerLabel.setBounds(42, 530, 476, 24);
    statusLabel.setBounds(42, 565, 476, 30);
}

void VeskOrluneAudioProcessorEditor::paint(juce::Graphics& g)
{
    const int width = getWidth();
    const int height = getHeight();

    g.fillAll(colours::windowBackground);

    const float frameWidth = static_cast<float>(std::max(width - 36, 0));
    const float frameHeight = static_cast<float>(std::max(height - 36, 0));
    g.setColour(colours::outerFrame);
    g.drawRoundedRectangle(18.0f, 18.0f, frameWidth, frameHeight, 18.0f, 2.0f);

    g.setColour(colours::innerPanel);
    g.fillRoundedRectangle(26.0f, 26.0f, std::max(frameWidth - 16.0f, 0.0f),
                           std::max(frameHeight - 16.0f, 0.0f), 14.0f);

    // The two meters share one row, split in two halves around an 18 px gap.
    juce::Rectangle<int> row(42, 390, std::max(width - 84, 0), 70);
    const auto left =
        row.removeFromLeft(juce::jlimit(0, row.getWidth(), (row.getWidth() - 18) / 2));
    row.removeFromLeft(18);
    drawMeter(g, left.toFloat(), displayInputLevel, "Input");
    drawMeter(g, row.toFloat(), displayOutputLevel, "Output");

    const auto trackWidth = static_cast<float>(std::max(width - 84, 0));
    const juce::Rectangle<float> bufferTrack(42.0f, 505.0f, trackWidth, 18.0f);
    g.setColour(colours::track);
    g.fillRoundedRectangle(bufferTrack, 7.0f);
    g.setColour(colours::trackOutline);
    g.drawRoundedRectangle(bufferTrack, 7.0f, 1.0f);

    const float fill = vesk::meter::bufferFraction(displayBufferedMs);
    g.setColour(colours::bufferFill);
    g.fillRoundedRectangle(45.0f, 508.0f, std::max(trackWidth - 6.0f, 0.0f) * fill, 12.0f, 5.0f);
}

void VeskOrluneAudioProcessorEditor::drawMeter(juce::Graphics& g, juce::Rectangle<float> area,
                                               float level, const juce::String& title)
{
    const float fraction = vesk::meter::barFraction(level);
    const float titleHeight = std::min(area.getHeight(), 20.0f);

    g.setColour(colours::meterTitle);
    g.setFont(juce::FontOptions(14.0f, juce::Font::bold));
    g.drawFittedText(title, area.withHeight(titleHeight).toNearestInt(),
                     juce::Justification::centred, 1);

    const juce::Rectangle<float> track(area.getX(), area.getY() + titleHeight + 8.0f,
                                       std::max(area.getWidth(), 0.0f),
                                       std::max(area.getHeight() - titleHeight - 16.0f, 0.0f));
    g.setColour(colours::track);
    g.fillRoundedRectangle(track, 8.0f);
    g.setColour(colours::trackOutline);
    g.drawRoundedRectangle(track, 8.0f, 1.0f);

    // Linear in the level, not in decibels.
    g.setColour(colours::meterBar);
    g.fillRoundedRectangle(track.getX() + 4.0f, track.getY() + 4.0f,
                           std::max(track.getWidth() - 8.0f, 0.0f) * fraction,
                           std::max(track.getHeight() - 8.0f, 0.0f), 6.0f);

    g.setColour(colours::meterText);
    g.setFont(juce::FontOptions(12.0f, juce::Font::plain));
    g.drawFittedText(vesk::meter::levelText(level), track.toNearestInt(),
                     juce::Justification::centred, 1);
}

//==============================================================================
void VeskOrluneAudioProcessorEditor::timerCallback()
{
    displayInputLevel = audioProcessor.getInputLevel();
    displayOutputLevel = audioProcessor.getOutputLevel();
    displayBufferedMs = audioProcessor.getBufferedMs();
    displayReaderActivity = audioProcessor.getReaderActivity();

    bufferLabel.setText("Buffer: " + juce::String(displayBufferedMs) + " ms",
                        juce::dontSendNotification);
    readerLabel.setText(displayReaderActivity > 0 ? "Reader: Active" : "Reader: Idle",
                        juce::dontSendNotification);

    updateStatus();
    repaint();
}

void VeskOrluneAudioProcessorEditor::updateStatus()
{
    const bool streaming = audioProcessor.isStreaming();
    startButton.setEnabled(!streaming);
    stopButton.setEnabled(streaming);

    // A confirmation stays readable for its hold time, but gives way at once
    // when the stream starts or stops, from this window or from the host.
    if (confirmationHeld)
    {
        if (streaming == confirmationStreamingState &&
            statusHoldClockMs() < confirmationHeldUntilMs)
            return;
        confirmationHeld = false;
    }

    juce::String status = "Status: Offline";
    if (streaming)
        status = audioProcessor.hasLastSendFailed() ? "Status: Streaming (send failed)"
                                                    : "Status: Streaming";
    statusLabel.setText(status, juce::dontSendNotification);
}

// The box keeps exactly what the user typed; the processor and the link get
// the sanitised code.
void VeskOrluneAudioProcessorEditor::roomCodeEdited()
{
    audioProcessor.setRoomCode(roomCodeEditor.getText());
    showLink();
}

void VeskOrluneAudioProcessorEditor::generateRoomCode()
{
    auto code = generatedCodePrefix(roomCodeEditor.getText()) + "-";
    auto& random = juce::Random::getSystemRandom();
    for (int i = 0; i < 4; ++i)
        code += juce::String::charToString(
            static_cast<juce::juce_wchar>(suffixAlphabet[random.nextInt(36)]));

    audioProcessor.setRoomCode(code);
    roomCodeEditor.setText(audioProcessor.getRoomCode(), false);
    showLink();
    showConfirmation("Status: Room generated");
}

void VeskOrluneAudioProcessorEditor::copyLinkToClipboard()
{
    juce::SystemClipboard::copyTextToClipboard(linkBaseUrl + audioProcessor.getRoomCode());
    showConfirmation("Status: Listener link copied");
}

void VeskOrluneAudioProcessorEditor::showConfirmation(const juce::String& text)
{
    statusLabel.setText(text, juce::dontSendNotification);
    confirmationHeld = true;
    confirmationStreamingState = audioProcessor.isStreaming();
    confirmationHeldUntilMs = statusHoldClockMs() + confirmationHoldMs;
}

void VeskOrluneAudioProcessorEditor::showLink()
{
    linkLabel.setText("Link: " + juce::String(linkBaseUrl) + audioProcessor.getRoomCode(),
                      juce::dontSendNotification);
}

double VeskOrluneAudioProcessorEditor::statusHoldClockMs() const
{
    return juce::Time::getMillisecondCounterHiRes();
}
