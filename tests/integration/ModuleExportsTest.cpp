// The shared library inside the bundle, opened with dlopen as a Linux VST3
// host opens it. On Linux the framework exports GetPluginFactory, ModuleEntry
// and ModuleExit; InitDll and ExitDll are the Windows entry points and do not
// exist here.

#include "TestSupport.h"

#include <pluginterfaces/base/ipluginbase.h>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/utsname.h>

#include <string>

namespace
{
using GetFactoryFunction = Steinberg::IPluginFactory* (*)();
using ModuleEntryFunction = bool (*)(void*);
using ModuleExitFunction = bool (*)();

// <bundle>/Contents/<machine>-linux/<bundle name>.so, the layout VST3 uses on Linux.
std::string sharedLibraryPath()
{
    utsname machine{};
    uname(&machine);
    return orlune::test::bundlePath() + "/Contents/" + machine.machine + "-linux/Vesk Orlune.so";
}

class ModuleExports : public ::testing::Test
{
protected:
    void SetUp() override
    {
        handle = dlopen(sharedLibraryPath().c_str(), RTLD_LAZY | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
    }

    void TearDown() override
    {
        if (handle != nullptr)
            dlclose(handle);
    }

    template <typename Function> Function lookUp(const char* name) const
    {
        return reinterpret_cast<Function>(dlsym(handle, name));
    }

    void* handle = nullptr;
};

TEST_F(ModuleExports, ExportsTheLinuxEntryPointsAndNotTheWindowsOnes)
{
    EXPECT_NE(lookUp<void*>("GetPluginFactory"), nullptr);
    EXPECT_NE(lookUp<void*>("ModuleEntry"), nullptr);
    EXPECT_NE(lookUp<void*>("ModuleExit"), nullptr);

    EXPECT_EQ(lookUp<void*>("InitDll"), nullptr);
    EXPECT_EQ(lookUp<void*>("ExitDll"), nullptr);

    // The creation function stays inside the module.
    EXPECT_EQ(lookUp<void*>("createPluginFilter"), nullptr);
    EXPECT_EQ(lookUp<void*>("_Z18createPluginFilterv"), nullptr);
}

TEST_F(ModuleExports, EveryFactoryCallReturnsAFreshFactoryBetweenEntryAndExit)
{
    auto moduleEntry = lookUp<ModuleEntryFunction>("ModuleEntry");
    auto moduleExit = lookUp<ModuleExitFunction>("ModuleExit");
    auto getFactory = lookUp<GetFactoryFunction>("GetPluginFactory");
    ASSERT_NE(moduleEntry, nullptr);
    ASSERT_NE(moduleExit, nullptr);
    ASSERT_NE(getFactory, nullptr);

    ASSERT_TRUE(moduleEntry(handle));

    auto* first = getFactory();
    auto* second = getFactory();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);

    Steinberg::PFactoryInfo info{};
    EXPECT_EQ(first->getFactoryInfo(&info), Steinberg::kResultOk);
    EXPECT_STREQ(info.vendor, "Caddowin");
    EXPECT_EQ(first->countClasses(), second->countClasses());

    // Each factory is owned by its caller: one reference, released to zero.
    EXPECT_EQ(first->release(), 0u);
    EXPECT_EQ(second->release(), 0u);

    EXPECT_TRUE(moduleExit());
}

} // namespace
