// The window on a running message loop: the framework delivers the timer
// ticks, the button clicks and the box's change messages itself.
//
// Its own executable: once a message loop has been stopped, the framework
// posts no further messages in that process.

#include "EditorTestSupport.h"

namespace
{
TEST(EditorOnTheMessageLoop, TimerClicksAndTypingArriveThroughTheFramework)
{
    VeskOrluneAudioProcessor processor;
    VeskOrluneAudioProcessorEditor editor(processor);
    VeskOrluneAudioProcessorEditorTestAccess access(editor);

    VeskOrluneAudioProcessorTestAccess::setReaderActivity(processor, 100);
    VeskOrluneAudioProcessorTestAccess::setBufferedMs(processor, 250);

    access.startButton().triggerClick();
    access.roomCodeEditor().selectAll();
    access.roomCodeEditor().insertTextAtCaret("Late Night#1");

    // Several 33 ms periods.
    juce::Timer::callAfterDelay(300,
                                [] { juce::MessageManager::getInstance()->stopDispatchLoop(); });
    juce::MessageManager::getInstance()->runDispatchLoop();

    EXPECT_EQ(access.readerText(), "Reader: Active");
    EXPECT_EQ(access.bufferText(), "Buffer: 250 ms");

    EXPECT_TRUE(processor.isStreaming());
    EXPECT_EQ(access.statusText(), "Status: Streaming");
    EXPECT_TRUE(access.stopButton().isEnabled());

    EXPECT_EQ(access.boxText(), "LateNight1");
    EXPECT_EQ(processor.getRoomCode(), "latenight1");
    EXPECT_EQ(access.linkText(),
              "Link: " + juce::String(VeskOrluneAudioProcessorEditor::linkBaseUrl) + "latenight1");

    processor.stopStreaming();
}
} // namespace
