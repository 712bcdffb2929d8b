#pragma once

#include <juce_core/juce_core.h>

namespace vesk
{
// True for the characters a room code may hold: a-z, 0-9, '-' and '_'.
constexpr bool isRoomCodeCharacter(juce::juce_wchar c) noexcept
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// Turns typed text into a room code: trimmed, lower-cased, every character
// outside the room-code alphabet dropped; "default" when nothing is left.
juce::String sanitiseRoomCode(const juce::String& text);
} // namespace vesk
