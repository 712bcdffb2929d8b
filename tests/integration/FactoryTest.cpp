// The module's factory as a VST3 host reads it before instantiating anything,
// through the VST3 SDK's own hosting module.
//
// Facts of the framework, not of this plug-in, seen on this build (JUCE 8.0.6):
//  - the factory offers a third class after the two below: category
//    "Plugin Compatibility Class", class ID ABCDEF01 C0DEF00D 'Cdwn' 'VkOr',
//    same name, vendor, version, flags and cardinality, no sub-categories;
//  - every class record carries the SDK version string "VST 3.7.12" (the
//    SDK bundled with this JUCE), not "VST 3.8.0".
// So the two classes the plug-in defines are looked up by category and
// checked by class ID rather than by position and total count.

#include "TestSupport.h"
#include "Vst3FactoryReader.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>

using orlune::host::ClassId;
using orlune::host::ClassIdWords;
using orlune::host::Vst3ClassRecord;
using orlune::host::Vst3FactoryRecord;

namespace
{
constexpr auto audioModuleCategory = "Audio Module Class";
constexpr auto controllerCategory = "Component Controller Class";

constexpr std::uint32_t manufacturerCode = 0x4364776E; // 'Cdwn'
constexpr std::uint32_t pluginCode = 0x566B4F72;       // 'VkOr'

class Vst3Factory : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        factory = orlune::host::readVst3Factory(orlune::test::bundlePath(), error);
    }
    static void TearDownTestSuite() { factory.reset(); }

    void SetUp() override { ASSERT_TRUE(factory.has_value()) << error; }

    static const Vst3ClassRecord& classWithCategory(const char* category)
    {
        const auto* record = orlune::host::findClass(*factory, category);
        if (record == nullptr)
            throw std::runtime_error(std::string("no class with category ") + category);
        return *record;
    }

    static inline std::optional<Vst3FactoryRecord> factory;
    static inline std::string error;
};

TEST_F(Vst3Factory, FactoryRecordHasTheVendorEmptyContactsAndOnlyTheUnicodeFlag)
{
    EXPECT_EQ(factory->vendor, "Caddowin");
    EXPECT_EQ(factory->url, "");
    EXPECT_EQ(factory->email, "");
    EXPECT_EQ(factory->flags, orlune::host::factoryFlags::unicode);
    EXPECT_EQ(factory->flags, 16);
}

TEST_F(Vst3Factory, OffersOneAudioComponentAndOneControllerInThatOrder)
{
    int audioIndex = -1;
    int controllerIndex = -1;
    int audioCount = 0;
    int controllerCount = 0;
    for (size_t i = 0; i < factory->classes.size(); ++i)
    {
        const auto& category = factory->classes[i].category;
        if (category == audioModuleCategory)
        {
            ++audioCount;
            audioIndex = static_cast<int>(i);
        }
        if (category == controllerCategory)
        {
            ++controllerCount;
            controllerIndex = static_cast<int>(i);
        }
    }

    EXPECT_EQ(audioCount, 1);
    EXPECT_EQ(controllerCount, 1);
    EXPECT_EQ(audioIndex, 0);
    EXPECT_EQ(controllerIndex, 1);
}

TEST_F(Vst3Factory, AudioComponentClassIdInBothByteOrders)
{
    const auto& audio = classWithCategory(audioModuleCategory);

    // As the SDK's Linux build reports it: the four words big-endian.
    const ClassId linuxBytes{0xAB, 0xCD, 0xEF, 0x01, 0x91, 0x82, 0xFA, 0xEB,
                             'C',  'd',  'w',  'n',  'V',  'k',  'O',  'r'};
    EXPECT_EQ(orlune::host::formatBytes(audio.classId), orlune::host::formatBytes(linuxBytes));

    const auto words = orlune::host::classIdWords(audio.classId);
    EXPECT_EQ(words, (ClassIdWords{0xABCDEF01, 0x9182FAEB, manufacturerCode, pluginCode}))
        << orlune::host::formatClassIdWords(words);

    // As a Windows host sees the same ID.
    const ClassId comBytes{0x01, 0xEF, 0xCD, 0xAB, 0x82, 0x91, 0xEB, 0xFA,
                           'C',  'd',  'w',  'n',  'V',  'k',  'O',  'r'};
    EXPECT_EQ(orlune::host::formatBytes(orlune::host::comOrderBytes(words)),
              orlune::host::formatBytes(comBytes));
}

TEST_F(Vst3Factory, ControllerClassIdInBothByteOrders)
{
    const auto& controller = classWithCategory(controllerCategory);

    const ClassId linuxBytes{0xAB, 0xCD, 0xEF, 0x01, 0x12, 0x34, 0xAB, 0xCD,
                             'C',  'd',  'w',  'n',  'V',  'k',  'O',  'r'};
    EXPECT_EQ(orlune::host::formatBytes(controller.classId), orlune::host::formatBytes(linuxBytes));

    const auto words = orlune::host::classIdWords(controller.classId);
    EXPECT_EQ(words, (ClassIdWords{0xABCDEF01, 0x1234ABCD, manufacturerCode, pluginCode}))
        << orlune::host::formatClassIdWords(words);

    const ClassId comBytes{0x01, 0xEF, 0xCD, 0xAB, 0x34, 0x12, 0xCD, 0xAB,
                           'C',  'd',  'w',  'n',  'V',  'k',  'O',  'r'};
    EXPECT_EQ(orlune::host::formatBytes(orlune::host::comOrderBytes(words)),
              orlune::host::formatBytes(comBytes));
}

TEST_F(Vst3Factory, BothClassesCarryThePlugInIdentity)
{
    for (const auto* category : {audioModuleCategory, controllerCategory})
    {
        SCOPED_TRACE(category);
        const auto& record = classWithCategory(category);
        EXPECT_EQ(record.name, "Vesk Orlune");
        EXPECT_EQ(record.vendor, "Caddowin");
        EXPECT_EQ(record.version, "0.1.1");
        EXPECT_EQ(record.subCategories, std::vector<std::string>{"Fx"});
        EXPECT_EQ(record.classFlags, 0u);
        EXPECT_EQ(record.cardinality, 0x7FFFFFFF);
    }

    // Whatever SDK stamped them, both records carry the same version string.
    EXPECT_EQ(classWithCategory(audioModuleCategory).sdkVersion,
              classWithCategory(controllerCategory).sdkVersion);
    EXPECT_EQ(classWithCategory(audioModuleCategory).sdkVersion.rfind("VST 3.", 0), 0u);
}

TEST(Vst3FactoryReader, ReportsAFolderThatIsNotAModule)
{
    std::string error;
    EXPECT_FALSE(orlune::host::readVst3Factory("/nonexistent/Nothing.vst3", error).has_value());
    EXPECT_FALSE(error.empty());
}

} // namespace
