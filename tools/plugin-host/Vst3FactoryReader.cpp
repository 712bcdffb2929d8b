#include "Vst3FactoryReader.h"

#include <public.sdk/source/vst/hosting/module.h>
#include <public.sdk/source/vst/utility/uid.h>

#include <cstdio>
#include <cstring>

namespace orlune::host
{

namespace
{
ClassId toClassId(const VST3::UID& uid)
{
    ClassId bytes{};
    std::memcpy(bytes.data(), uid.data(), bytes.size());
    return bytes;
}

Vst3ClassRecord toRecord(const VST3::Hosting::ClassInfo& info)
{
    Vst3ClassRecord record;
    record.category = info.category();
    record.classId = toClassId(info.ID());
    record.name = info.name();
    record.vendor = info.vendor();
    record.version = info.version();
    record.sdkVersion = info.sdkVersion();
    record.subCategories = info.subCategories();
    record.classFlags = info.classFlags();
    record.cardinality = info.cardinality();
    return record;
}
} // namespace

std::optional<Vst3FactoryRecord> readVst3Factory(const std::string& bundlePath, std::string& error)
{
    error.clear();

    // The module stays loaded while `module` lives; its destructor releases
    // the factory, calls ModuleExit and unloads the library.
    auto module = VST3::Hosting::Module::create(bundlePath, error);
    if (module == nullptr)
    {
        if (error.empty())
            error = "could not load " + bundlePath;
        return std::nullopt;
    }

    const auto& factory = module->getFactory();
    auto info = factory.info();

    Vst3FactoryRecord record;
    record.vendor = info.vendor();
    record.url = info.url();
    record.email = info.email();
    record.flags = info.flags();

    // classInfos() asks the factory for the richest record it offers: the
    // UTF-16 one when the factory implements IPluginFactory3.
    for (const auto& classInfo : factory.classInfos())
        record.classes.push_back(toRecord(classInfo));

    return record;
}

const Vst3ClassRecord* findClass(const Vst3FactoryRecord& factory, std::string_view category)
{
    for (const auto& record : factory.classes)
        if (record.category == category)
            return &record;
    return nullptr;
}

ClassIdWords classIdWords(const ClassId& platformBytes)
{
    Steinberg::TUID tuid{};
    std::memcpy(tuid, platformBytes.data(), platformBytes.size());

    ClassIdWords words{};
    Steinberg::FUID::fromTUID(tuid).to4Int(words[0], words[1], words[2], words[3]);
    return words;
}

ClassId comOrderBytes(const ClassIdWords& words)
{
    return toClassId(VST3::UID(words[0], words[1], words[2], words[3], true));
}

std::string formatClassIdWords(const ClassIdWords& words)
{
    char text[40];
    std::snprintf(text, sizeof(text), "%08X %08X %08X %08X", words[0], words[1], words[2],
                  words[3]);
    return text;
}

std::string formatBytes(const ClassId& bytes)
{
    std::string text;
    char pair[4];
    for (auto byte : bytes)
    {
        std::snprintf(pair, sizeof(pair), "%02X", static_cast<unsigned>(byte));
        if (!text.empty())
            text += ' ';
        text += pair;
    }
    return text;
}

} // namespace orlune::host
