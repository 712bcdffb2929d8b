#pragma once

// The properties the fuzzers check, shared by the libFuzzer targets and by
// the test that replays saved inputs. Each check takes one raw input and
// returns what went wrong, or an empty string when every property holds.

#include <cstddef>
#include <cstdint>
#include <string>

#include <juce_core/juce_core.h>

namespace vesk::fuzz
{
// Turns raw fuzz input into text a user might type: UTF-8 bytes as they come,
// Unicode code points, or characters picked from a list of awkward ones
// (white space of several kinds, upper case, accented and look-alike letters).
// Bytes that are not strict UTF-8 are read as Latin-1.
juce::String typedTextFrom(const std::uint8_t* data, size_t size);

// The room-code rule on that text: never empty, only a-z 0-9 - _, applying it
// twice changes nothing, and it keeps exactly the lowered text's alphabet
// characters, in order, or gives "default" when there are none.
std::string checkRoomCode(const std::uint8_t* data, size_t size);

// The datagram writer fed a room code, both counters and a block built from
// the input: the datagram is appended whole (2095 + n bytes after whatever
// the stream held), and every field reads back as it went in, down to the bit
// patterns of the samples (NaN payloads, infinities, subnormals, -0).
std::string checkDatagram(const std::uint8_t* data, size_t size);
} // namespace vesk::fuzz
