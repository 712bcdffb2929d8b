#pragma once

// What a VST3 module's factory tells a host before anything is instantiated:
// the factory record and every class it offers, read through the VST3 SDK's
// own hosting module (so the module is loaded exactly as SDK-based hosts load
// it: ModuleEntry, GetPluginFactory, and ModuleExit when it is unloaded).
//
// Plain standard types only, so callers need neither JUCE nor the SDK headers.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orlune::host
{

// A class ID as 16 bytes, in the order the running platform's SDK build
// stores it (on Linux and macOS: the four 32-bit words big-endian).
using ClassId = std::array<std::uint8_t, 16>;

// The four 32-bit words a class ID is declared with.
using ClassIdWords = std::array<std::uint32_t, 4>;

struct Vst3ClassRecord
{
    std::string category;
    ClassId classId{};
    std::string name;
    std::string vendor;
    std::string version;
    std::string sdkVersion;
    std::vector<std::string> subCategories;
    std::uint32_t classFlags = 0;
    std::int32_t cardinality = 0;
};

struct Vst3FactoryRecord
{
    std::string vendor;
    std::string url;
    std::string email;
    std::int32_t flags = 0;
    std::vector<Vst3ClassRecord> classes;
};

// Factory flag values as the VST3 SDK defines them.
namespace factoryFlags
{
constexpr std::int32_t classesDiscardable = 1 << 0;
constexpr std::int32_t licenseCheck = 1 << 1;
constexpr std::int32_t componentNonDiscardable = 1 << 3;
constexpr std::int32_t unicode = 1 << 4;
} // namespace factoryFlags

// Loads the bundle at bundlePath (a ".vst3" folder), reads its factory and
// unloads it again. On failure returns nothing and describes why in error.
std::optional<Vst3FactoryRecord> readVst3Factory(const std::string& bundlePath, std::string& error);

// The first class in the factory's order with this category, or null.
const Vst3ClassRecord* findClass(const Vst3FactoryRecord& factory, std::string_view category);

// The declared words of a class ID given in this platform's byte order.
ClassIdWords classIdWords(const ClassId& platformBytes);

// The class ID's bytes as Windows (COM) lays them out: the first word
// little-endian, the second as two little-endian 16-bit halves (high half
// first), the third and fourth big-endian.
ClassId comOrderBytes(const ClassIdWords& words);

// "ABCDEF01 9182FAEB 4364776E 566B4F72"-style text of the four words.
std::string formatClassIdWords(const ClassIdWords& words);

// Upper-case hexadecimal, two digits per byte, separated by spaces.
std::string formatBytes(const ClassId& bytes);

} // namespace orlune::host
