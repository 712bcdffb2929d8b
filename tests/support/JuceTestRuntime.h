#pragma once

#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

// Including this gives the test program one JUCE runtime for its whole life:
// the message manager exists before the first test (processors and sockets
// expect it) and everything JUCE keeps until shutdown is deleted after the
// last, so leak checkers see a clean exit. Programs with their own main call
// ::testing::InitGoogleTest as usual; the environment is already registered.
struct JuceTestRuntime : ::testing::Environment
{
    void SetUp() override { juce::MessageManager::getInstance(); }
    void TearDown() override
    {
        juce::DeletedAtShutdown::deleteAll();
        juce::MessageManager::deleteInstance();
    }
};

inline auto* const juceTestRuntime = ::testing::AddGlobalTestEnvironment(new JuceTestRuntime);
