#include "RoomCode.h"

namespace vesk
{
juce::String sanitiseRoomCode(const juce::String& text)
{
    const auto lowered = text.trim().toLowerCase();

    juce::String kept;
    kept.preallocateBytes(lowered.getNumBytesAsUTF8());
    for (auto c : lowered)
        if (isRoomCodeCharacter(c))
            kept += c;

    return kept.isEmpty() ? juce::String("default") : kept;
}
} // namespace vesk
