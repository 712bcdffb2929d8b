// What the window's controls do and how the window follows the processor.
//
// Streams are started on a processor that is not prepared, so no datagram is
// sent, except where a host release is the point; there no audio reaches the
// ring, so the sender has nothing to send either.

#include "EditorTestSupport.h"

#include <memory>
#include <regex>
#include <set>

namespace
{
using Access = VeskOrluneAudioProcessorEditorTestAccess;

const juce::String linkBase = VeskOrluneAudioProcessorEditor::linkBaseUrl;

bool matches(const juce::String& text, const char* pattern)
{
    return std::regex_match(text.toStdString(), std::regex(pattern));
}

class EditorBehaviour : public ::testing::Test
{
protected:
    void expectOffline()
    {
        EXPECT_FALSE(processor.isStreaming());
        EXPECT_TRUE(access.startButton().isEnabled());
        EXPECT_FALSE(access.stopButton().isEnabled());
        EXPECT_EQ(access.statusText(), "Status: Offline");
    }

    void expectStreaming()
    {
        EXPECT_TRUE(processor.isStreaming());
        EXPECT_FALSE(access.startButton().isEnabled());
        EXPECT_TRUE(access.stopButton().isEnabled());
        EXPECT_EQ(access.statusText(), "Status: Streaming");
    }

    // The code the processor stores is what the box and the link show.
    void expectCodeShownEverywhere(const juce::String& code)
    {
        EXPECT_EQ(processor.getRoomCode(), code);
        EXPECT_EQ(access.boxText(), code);
        EXPECT_EQ(access.linkText(), "Link: " + linkBase + code);
    }

    juce::String generate()
    {
        Access::click(access.generateRoomButton());
        return processor.getRoomCode();
    }

    VeskOrluneAudioProcessor processor;
    SteppedClockEditor editor{processor};
    Access access{editor};
};

//==============================================================================
TEST_F(EditorBehaviour, OpensOfflineWithTheProcessorsCode)
{
    expectOffline();
    expectCodeShownEverywhere("default");
    EXPECT_EQ(editor.getWidth(), 560);
    EXPECT_EQ(editor.getHeight(), 610);
}

TEST_F(EditorBehaviour, StartAndStopSwitchTheSessionAndTheButtons)
{
    Access::click(access.startButton());
    expectStreaming();
    access.tick();
    expectStreaming();

    Access::click(access.stopButton());
    expectOffline();
    access.tick();
    expectOffline();
}

TEST_F(EditorBehaviour, HostReleaseShowsOfflineOnTheNextTick)
{
    processor.prepareToPlay(48000.0, 512);
    Access::click(access.startButton());
    access.tick();
    expectStreaming();

    processor.releaseResources();
    access.tick();
    expectOffline();
}

TEST_F(EditorBehaviour, ReaderAndBufferLinesFollowTheProcessor)
{
    VeskOrluneAudioProcessorTestAccess::setReaderActivity(processor, 100);
    VeskOrluneAudioProcessorTestAccess::setBufferedMs(processor, 437);
    access.tick();
    EXPECT_EQ(access.readerText(), "Reader: Active");
    EXPECT_EQ(access.bufferText(), "Buffer: 437 ms");

    VeskOrluneAudioProcessorTestAccess::setReaderActivity(processor, 1);
    access.tick();
    EXPECT_EQ(access.readerText(), "Reader: Active");

    VeskOrluneAudioProcessorTestAccess::setReaderActivity(processor, 0);
    access.tick();
    EXPECT_EQ(access.readerText(), "Reader: Idle");
}

//==============================================================================
class EditorStatusLine : public EditorBehaviour
{
};

TEST_F(EditorStatusLine, ReportsAFailedSendWhileStreaming)
{
    Access::click(access.startButton());
    VeskOrluneAudioProcessorTestAccess::setLastSendFailed(processor, true);
    access.tick();
    EXPECT_EQ(access.statusText(), "Status: Streaming (send failed)");
    EXPECT_TRUE(access.stopButton().isEnabled());

    // The next send succeeds.
    VeskOrluneAudioProcessorTestAccess::setLastSendFailed(processor, false);
    access.tick();
    EXPECT_EQ(access.statusText(), "Status: Streaming");

    // Offline, a stale failure flag changes nothing.
    Access::click(access.stopButton());
    VeskOrluneAudioProcessorTestAccess::setLastSendFailed(processor, true);
    access.tick();
    expectOffline();
}

TEST_F(EditorStatusLine, ConfirmationsStayForTwoSeconds)
{
    struct Case
    {
        const char* name;
        std::function<juce::Button&()> button;
        const char* text;
    };
    for (const auto& c :
         {Case{"generate", [this]() -> juce::Button& { return access.generateRoomButton(); },
               "Status: Room generated"},
          Case{"copy", [this]() -> juce::Button& { return access.copyLinkButton(); },
               "Status: Listener link copied"}})
    {
        SCOPED_TRACE(c.name);
        Access::click(c.button());
        EXPECT_EQ(access.statusText(), c.text);

        editor.advanceMs(1000.0);
        access.tick();
        editor.advanceMs(999.0);
        access.tick();
        EXPECT_EQ(access.statusText(), c.text);
        EXPECT_TRUE(access.startButton().isEnabled());
        EXPECT_FALSE(access.stopButton().isEnabled());

        editor.advanceMs(1.0);
        access.tick();
        expectOffline();
    }
}

TEST_F(EditorStatusLine, AConfirmationGivesWayWhenTheStreamStartsOrStops)
{
    // Start clicked while a confirmation shows.
    generate();
    Access::click(access.startButton());
    expectStreaming();

    // Stopped by the host while a confirmation shows: Offline on the next tick,
    // not two seconds later.
    processor.prepareToPlay(48000.0, 512);
    Access::click(access.copyLinkButton());
    access.tick();
    EXPECT_EQ(access.statusText(), "Status: Listener link copied");
    processor.releaseResources();
    access.tick();
    expectOffline();

    // Started elsewhere: the buttons and the text follow on the next tick.
    generate();
    processor.startStreaming();
    access.tick();
    expectStreaming();
}

//==============================================================================
class RoomCodeGenerator : public EditorBehaviour
{
};

TEST_F(RoomCodeGenerator, KeepsTheInitialCodeAsPrefix)
{
    const auto first = generate();
    EXPECT_TRUE(matches(first, "default-[0-9a-z]{4}")) << first;
    expectCodeShownEverywhere(first);

    // Pressed again: the prefix stays, only the four characters are new.
    std::set<juce::String> codes{first};
    for (int i = 0; i < 5; ++i)
    {
        const auto next = generate();
        EXPECT_TRUE(matches(next, "default-[0-9a-z]{4}")) << next;
        expectCodeShownEverywhere(next);
        codes.insert(next);
    }
    EXPECT_GT(codes.size(), 1u);
}

TEST_F(RoomCodeGenerator, EmptyBoxGivesARoomCode)
{
    access.typeIntoBox("");
    EXPECT_EQ(processor.getRoomCode(), "default");
    EXPECT_EQ(access.boxText(), "");
    EXPECT_EQ(access.linkText(), "Link: " + linkBase + "default");

    const auto code = generate();
    EXPECT_TRUE(matches(code, "room-[0-9a-z]{4}")) << code;
    expectCodeShownEverywhere(code);
}

TEST_F(RoomCodeGenerator, PrefixIsTheBoxTextUpToTheFirstDash)
{
    struct Case
    {
        const char* boxText;
        const char* expectedPrefix;
    };
    for (const auto& c :
         {Case{"-abc", "room"}, Case{"Band_Room-2", "band_room"}, Case{"studio-a-b", "studio"},
          Case{"  Mix Down!_7  ", "mixdown_7"}, Case{"---", "room"}, Case{"!!", "room"}})
    {
        SCOPED_TRACE(c.boxText);
        // Set directly, past the box's input filter, to reach every character.
        access.roomCodeEditor().setText(c.boxText, false);
        const auto code = generate();
        EXPECT_TRUE(matches(
            code, juce::String(c.expectedPrefix + juce::String("-[0-9a-z]{4}")).toRawUTF8()))
            << code;
        expectCodeShownEverywhere(code);
    }
}

TEST_F(RoomCodeGenerator, FullBoxGivesThirtySevenCharactersShownWhole)
{
    access.typeIntoBox("abcdefghijklmnopqrstuvwxyz012345");
    ASSERT_EQ(access.boxText().length(), 32);

    const auto code = generate();
    EXPECT_EQ(code.length(), 37);
    EXPECT_TRUE(code.startsWith("abcdefghijklmnopqrstuvwxyz012345-"));
    expectCodeShownEverywhere(code);
}

//==============================================================================
class RoomCodeBox : public EditorBehaviour
{
};

TEST_F(RoomCodeBox, KeepsWhatWasTypedWhileTheProcessorGetsTheSanitisedCode)
{
    access.typeIntoBox("Band Room!#2");
    EXPECT_EQ(access.boxText(), "BandRoom2");
    EXPECT_EQ(processor.getRoomCode(), "bandroom2");
    EXPECT_EQ(access.linkText(), "Link: " + linkBase + "bandroom2");
    EXPECT_EQ(access.statusText(), "Status: Offline");
}

TEST_F(RoomCodeBox, TakesAtMostThirtyTwoTypedCharacters)
{
    access.typeIntoBox(juce::String::repeatedString("ab", 20));
    EXPECT_EQ(access.boxText(), juce::String::repeatedString("ab", 16));
    EXPECT_EQ(processor.getRoomCode(), juce::String::repeatedString("ab", 16));
}

TEST_F(RoomCodeBox, CopyLinkPutsOnlyTheLinkOnTheClipboard)
{
    juce::SystemClipboard::copyTextToClipboard("something else");
    Access::click(access.copyLinkButton());
    EXPECT_EQ(juce::SystemClipboard::getTextFromClipboard(), linkBase + "default");

    access.typeIntoBox("Band_Room");
    Access::click(access.copyLinkButton());
    EXPECT_EQ(juce::SystemClipboard::getTextFromClipboard(), linkBase + "band_room");
    EXPECT_TRUE(linkBase.startsWith("https://"));
    EXPECT_TRUE(linkBase.endsWith("/orlune/"));
}

//==============================================================================
TEST(EditorLifetime, ClosingTheWindowLeavesTheStreamRunning)
{
    VeskOrluneAudioProcessor processor;
    juce::String code;
    {
        std::unique_ptr<juce::AudioProcessorEditor> window(processor.createEditor());
        auto* editor = dynamic_cast<VeskOrluneAudioProcessorEditor*>(window.get());
        ASSERT_NE(editor, nullptr);
        Access access(*editor);
        Access::click(access.generateRoomButton());
        code = processor.getRoomCode();
        Access::click(access.startButton());
    }

    EXPECT_TRUE(processor.isStreaming());
    EXPECT_EQ(processor.getRoomCode(), code);

    std::unique_ptr<juce::AudioProcessorEditor> window(processor.createEditor());
    auto* editor = dynamic_cast<VeskOrluneAudioProcessorEditor*>(window.get());
    ASSERT_NE(editor, nullptr);
    Access access(*editor);
    EXPECT_EQ(access.statusText(), "Status: Streaming");
    EXPECT_FALSE(access.startButton().isEnabled());
    EXPECT_TRUE(access.stopButton().isEnabled());
    EXPECT_EQ(access.boxText(), code);
    EXPECT_EQ(access.linkText(), "Link: " + linkBase + code);

    Access::click(access.stopButton());
}
} // namespace
