// Test runner. JUCE is initialised once, on the main thread, before the first
// test runs; that thread is the message thread the VST3 host calls need.
// Listing the tests (--gtest_list_tests) does not initialise anything.

#include <juce_events/juce_events.h>

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstdlib>
#include <optional>

namespace
{
// A bare virtual X server (xvfb-run) has no window manager, so atoms such as
// WM_PROTOCOLS do not exist yet; JUCE looks them up without creating them and
// its first window would set a property named None, which X answers with a
// fatal BadAtom. Creating them gives the server the atoms a desktop session
// has. The connection stays open while JUCE runs, because the server forgets
// its atoms when its last client leaves.
class WindowManagerAtoms
{
public:
    WindowManagerAtoms()
    {
        if (std::getenv("DISPLAY") == nullptr || (display = XOpenDisplay(nullptr)) == nullptr)
            return;
        for (const char* name :
             {"WM_PROTOCOLS", "WM_TAKE_FOCUS", "WM_DELETE_WINDOW", "_NET_WM_PING",
              "WM_CHANGE_STATE", "WM_STATE", "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_NORMAL",
              "_NET_WM_STATE", "_NET_WM_STATE_HIDDEN", "_NET_WM_ALLOWED_ACTIONS",
              "_MOTIF_WM_HINTS"})
            XInternAtom(display, name, False);
        XSync(display, False);
    }

    ~WindowManagerAtoms()
    {
        if (display != nullptr)
            XCloseDisplay(display);
    }

    WindowManagerAtoms(const WindowManagerAtoms&) = delete;
    WindowManagerAtoms& operator=(const WindowManagerAtoms&) = delete;

private:
    Display* display = nullptr;
};

class JuceEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        atoms.emplace();
        juce.emplace();
    }

    void TearDown() override
    {
        juce.reset();
        atoms.reset();
    }

private:
    std::optional<WindowManagerAtoms> atoms;
    std::optional<juce::ScopedJuceInitialiser_GUI> juce;
};
} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new JuceEnvironment);
    return RUN_ALL_TESTS();
}
