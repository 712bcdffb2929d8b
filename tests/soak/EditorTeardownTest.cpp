// A host closing a session while the instance streams and its window is open:
// the window is on screen, its timer polls the processor on the running
// message loop, the audio thread feeds blocks, and then the host stops the
// audio, deletes the window and destroys the processor, in that order, as
// hosts do. Several rounds run inside one message loop.
//
// Runs under a virtual display (xvfb-run -a).

#include "LoopbackReceiver.h"
#include "ProcessorTestAccess.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <set>
#include <thread>

using namespace std::chrono_literals;

namespace
{
class Round
{
public:
    explicit Round(double rate)
    {
        processor = std::make_unique<VeskOrluneAudioProcessor>();
        processor->prepareToPlay(rate, 512);
        processor->startStreaming();
        port = VeskOrluneAudioProcessorTestAccess(*processor).socketPort();
        editor.reset(processor->createEditorIfNeeded());
        editor->addToDesktop(juce::ComponentPeer::windowAppearsOnTaskbar);
        editor->setVisible(true);
        audio = std::thread([this] { feed(); });
    }

    // The host's order: no more process calls, then the window, then the
    // processor itself.
    void tearDown()
    {
        feeding = false;
        audio.join();
        streamingAtTeardown = processor->isStreaming();
        editor.reset();
        processor.reset();
    }

    bool streamingAtTeardown = false;
    int port = 0;

private:
    void feed()
    {
        juce::AudioBuffer<float> block(2, 512);
        juce::Random random(3);
        juce::MidiBuffer midi;
        while (feeding)
        {
            for (int ch = 0; ch < 2; ++ch)
                for (int i = 0; i < 512; ++i)
                    block.setSample(ch, i, random.nextFloat() - 0.5f);
            processor->processBlock(block, midi);
            std::this_thread::sleep_for(5ms); // a little faster than real time
        }
    }

    std::unique_ptr<VeskOrluneAudioProcessor> processor;
    std::unique_ptr<juce::AudioProcessorEditor> editor;
    std::atomic<bool> feeding{true};
    std::thread audio;
};
} // namespace

TEST(EditorTeardown, DestroyingAStreamingInstanceWithItsWindowOpen)
{
    LoopbackReceiver receiver;
    constexpr int rounds = 8;
    int completed = 0, streamingAtTeardown = 0;
    size_t sentBeforeTeardown = 0;
    std::set<int> ports; // other processes may send to the port too
    auto ours = [&](const std::vector<LoopbackReceiver::Datagram>& all)
    {
        size_t n = 0;
        for (const auto& d : all)
            n += ports.count(d.senderPort);
        return n;
    };
    std::unique_ptr<Round> round;

    // A hang in teardown must fail the test rather than stall the suite.
    std::atomic<bool> finished{false};
    std::thread watchdog(
        [&]
        {
            for (int i = 0; i < 600 && !finished; ++i)
                std::this_thread::sleep_for(100ms);
            if (!finished)
            {
                std::cerr << "teardown did not finish within 60 s\n";
                std::abort();
            }
        });

    std::function<void()> next;
    next = [&]
    {
        if (round != nullptr)
        {
            round->tearDown();
            streamingAtTeardown += round->streamingAtTeardown ? 1 : 0;
            round.reset();
            ++completed;
            receiver.drain(50ms);
            sentBeforeTeardown += ours(receiver.take());
        }
        if (completed == rounds)
        {
            juce::MessageManager::getInstance()->stopDispatchLoop();
            return;
        }
        round = std::make_unique<Round>(completed % 2 ? 44100.0 : 48000.0);
        ports.insert(round->port);
        juce::Timer::callAfterDelay(200 + 60 * completed, next);
    };
    juce::MessageManager::callAsync(next);
    juce::MessageManager::getInstance()->runDispatchLoop();
    finished = true;
    watchdog.join();

    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(completed, rounds);
    EXPECT_EQ(streamingAtTeardown, rounds);
    EXPECT_GT(sentBeforeTeardown, 0u);
    EXPECT_EQ(ours(receiver.take()), 0u) << "nothing is sent once the instances are gone";
}

// A bare virtual X server has no window manager, so atoms such as
// WM_PROTOCOLS do not exist; the framework looks them up without creating
// them, and its first window would set a property named None. Creating them
// first gives the window the server a desktop session would. The connection
// stays open: the server forgets its atoms when its last client leaves.
Display* createWindowManagerAtoms()
{
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr)
        return nullptr;
    for (const char* name :
         {"WM_PROTOCOLS", "WM_TAKE_FOCUS", "WM_DELETE_WINDOW", "_NET_WM_PING", "WM_CHANGE_STATE",
          "WM_STATE", "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_STATE",
          "_NET_WM_STATE_HIDDEN", "_NET_WM_ALLOWED_ACTIONS", "_MOTIF_WM_HINTS"})
        XInternAtom(display, name, False);
    XSync(display, False);
    return display;
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    Display* atomKeeper = createWindowManagerAtoms();
    int result = 0;
    {
        const juce::ScopedJuceInitialiser_GUI gui;
        result = RUN_ALL_TESTS();
    }
    if (atomKeeper != nullptr)
        XCloseDisplay(atomKeeper);
    return result;
}
