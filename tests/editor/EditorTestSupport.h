#pragma once

// Shared helpers for the window's tests: the seams into the processor and the
// editor, an editor whose status clock the test steps by hand, and pixel
// probes for rendered snapshots.

#include "VeskOrluneAudioProcessor.h"
#include "VeskOrluneAudioProcessorEditor.h"

#include <gtest/gtest.h>

#include <functional>

// Sets the values the sender thread publishes, so the window can be shown
// states that would otherwise need a running stream.
class VeskOrluneAudioProcessorTestAccess
{
public:
    static void setReaderActivity(VeskOrluneAudioProcessor& p, int value)
    {
        p.readerActivity.store(value);
    }
    static void setBufferedMs(VeskOrluneAudioProcessor& p, int value) { p.bufferedMs.store(value); }
    static void setLastSendFailed(VeskOrluneAudioProcessor& p, bool failed)
    {
        p.lastSendFailed.store(failed);
    }
};

// The editor's widgets and its timer tick, as a user and the timer reach them.
class VeskOrluneAudioProcessorEditorTestAccess
{
public:
    explicit VeskOrluneAudioProcessorEditorTestAccess(VeskOrluneAudioProcessorEditor& e)
        : editor(e)
    {
    }

    juce::TextButton& startButton() { return editor.startButton; }
    juce::TextButton& stopButton() { return editor.stopButton; }
    juce::TextButton& generateRoomButton() { return editor.generateRoomButton; }
    juce::TextButton& copyLinkButton() { return editor.copyLinkButton; }
    juce::TextEditor& roomCodeEditor() { return editor.roomCodeEditor; }

    juce::String statusText() const { return editor.statusLabel.getText(); }
    juce::String linkText() const { return editor.linkLabel.getText(); }
    juce::String bufferText() const { return editor.bufferLabel.getText(); }
    juce::String readerText() const { return editor.readerLabel.getText(); }
    juce::String boxText() const { return editor.roomCodeEditor.getText(); }

    // What a mouse click on an enabled button does (the framework's own click
    // goes through the message queue, which the tests do not run).
    static void click(juce::Button& button)
    {
        ASSERT_TRUE(button.isEnabled()) << button.getButtonText() << " is disabled";
        ASSERT_TRUE(button.onClick != nullptr);
        button.onClick();
    }

    // The user replaces the box's text: typed characters pass the box's input
    // filter, then the box's change handler runs as the framework would.
    void typeIntoBox(const juce::String& text)
    {
        auto& box = editor.roomCodeEditor;
        box.selectAll();
        box.insertTextAtCaret(text);
        box.onTextChange();
    }

    void tick() { editor.timerCallback(); }

private:
    VeskOrluneAudioProcessorEditor& editor;
};

// An editor whose confirmation-hold clock only moves when the test says so.
class SteppedClockEditor : public VeskOrluneAudioProcessorEditor
{
public:
    using VeskOrluneAudioProcessorEditor::VeskOrluneAudioProcessorEditor;

    void advanceMs(double ms) { nowMs += ms; }

protected:
    double statusHoldClockMs() const override { return nowMs; }

private:
    double nowMs = 100000.0;
};

// Pixel probes over a rendered window.
namespace probe
{
inline juce::Image render(juce::Component& c)
{
    return c.createComponentSnapshot(c.getLocalBounds(), true, 1.0f);
}

// The number of columns in [x0, x1) in which some pixel of rows [y0, y1)
// matches, and the first such column (-1 when none does).
struct ColumnSpan
{
    int first = -1;
    int count = 0;
};

inline ColumnSpan matchingColumns(const juce::Image& image, int x0, int x1, int y0, int y1,
                                  const std::function<bool(juce::Colour)>& matches)
{
    ColumnSpan span;
    for (int x = x0; x < x1; ++x)
    {
        for (int y = y0; y < y1; ++y)
        {
            if (matches(image.getPixelAt(x, y)))
            {
                if (span.first < 0)
                    span.first = x;
                ++span.count;
                break;
            }
        }
    }
    return span;
}

// The meter bar's blue (0xff28b4ff) where it covers at least about 60 % of a
// pixel; the dark track, the grey text and the outlines never pass.
inline bool isMeterBar(juce::Colour c)
{
    return c.getRed() < 110 && c.getGreen() > 110 && c.getBlue() > 170;
}

// The buffer fill's violet (0xff7846ff), under the same rule.
inline bool isBufferFill(juce::Colour c)
{
    return c.getRed() > 80 && c.getGreen() < 100 && c.getBlue() > 170;
}

inline bool sameRegion(const juce::Image& a, const juce::Image& b, juce::Rectangle<int> area)
{
    for (int y = area.getY(); y < area.getBottom(); ++y)
        for (int x = area.getX(); x < area.getRight(); ++x)
            if (a.getPixelAt(x, y) != b.getPixelAt(x, y))
                return false;
    return true;
}
} // namespace probe
