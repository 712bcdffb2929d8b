// The audio component and the edit controller driven directly through the
// VST3 interfaces, as a host built on the VST3 SDK drives them. This sees what
// a JUCE-based host hides: the bus arrangement answers (JUCE's host sends a
// deactivated bus as its last enabled arrangement, so it never asks about an
// empty one), event buses, sample sizes, the unit and program list (JUCE's
// host lists programs only when a program-change parameter exists), and the
// controller's parameter and view.

#include "TestSupport.h"

#include <pluginterfaces/base/funknownimpl.h>
#include <pluginterfaces/gui/iplugview.h>
#include <pluginterfaces/vst/ivstaudioprocessor.h>
#include <pluginterfaces/vst/ivstcomponent.h>
#include <pluginterfaces/vst/ivsteditcontroller.h>
#include <pluginterfaces/vst/ivstmessage.h>
#include <pluginterfaces/vst/ivstunits.h>
#include <pluginterfaces/vst/vstspeaker.h>
#include <public.sdk/source/vst/hosting/hostclasses.h>
#include <public.sdk/source/vst/hosting/module.h>
#include <public.sdk/source/vst/utility/stringconvert.h>

#include <gtest/gtest.h>

#include <string>

namespace
{
using namespace Steinberg;
namespace SpeakerArr = Vst::SpeakerArr;

// One component and one controller, created, initialised and connected in
// the order the VST3 documentation gives for hosts; torn down in reverse.
class Vst3Component : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string error;
        module = VST3::Hosting::Module::create(orlune::test::bundlePath(), error);
        ASSERT_NE(module, nullptr) << error;

        const auto& factory = module->getFactory();
        const VST3::UID* audioId = nullptr;
        const VST3::UID* controllerId = nullptr;
        classes = factory.classInfos();
        for (const auto& info : classes)
        {
            if (info.category() == kVstAudioEffectClass)
                audioId = &info.ID();
            if (info.category() == kVstComponentControllerClass)
                controllerId = &info.ID();
        }
        ASSERT_NE(audioId, nullptr);
        ASSERT_NE(controllerId, nullptr);

        component = factory.createInstance<Vst::IComponent>(*audioId);
        ASSERT_TRUE(component);
        ASSERT_EQ(component->initialize(hostContext), kResultOk);
        componentInitialised = true;

        // The component names its controller class.
        TUID reported{};
        ASSERT_EQ(component->getControllerClassId(reported), kResultOk);
        EXPECT_EQ(VST3::UID::fromTUID(reported), *controllerId);

        controller = factory.createInstance<Vst::IEditController>(*controllerId);
        ASSERT_TRUE(controller);
        ASSERT_EQ(controller->initialize(hostContext), kResultOk);
        controllerInitialised = true;

        componentConnection = U::cast<Vst::IConnectionPoint>(component);
        controllerConnection = U::cast<Vst::IConnectionPoint>(controller);
        ASSERT_TRUE(componentConnection);
        ASSERT_TRUE(controllerConnection);
        componentConnection->connect(controllerConnection);
        controllerConnection->connect(componentConnection);
        connected = true;

        processor = U::cast<Vst::IAudioProcessor>(component);
        ASSERT_TRUE(processor);
    }

    void TearDown() override
    {
        if (connected)
        {
            componentConnection->disconnect(controllerConnection);
            controllerConnection->disconnect(componentConnection);
        }
        if (controllerInitialised)
            controller->terminate();
        if (componentInitialised)
            component->terminate();
        processor = nullptr;
        componentConnection = nullptr;
        controllerConnection = nullptr;
        controller = nullptr;
        component = nullptr;
        module.reset();
    }

    tresult arrange(Vst::SpeakerArrangement input, Vst::SpeakerArrangement output)
    {
        return processor->setBusArrangements(&input, 1, &output, 1);
    }

    static std::string text(const Vst::TChar* utf16) { return Vst::StringConvert::convert(utf16); }

    // The SDK's host context is not reference counted (addRef and release
    // do nothing): it lives here, first, so it outlives everything below.
    Vst::HostApplication hostApplication;
    FUnknown* hostContext = &hostApplication;
    VST3::Hosting::Module::Ptr module;
    VST3::Hosting::PluginFactory::ClassInfos classes;
    IPtr<Vst::IComponent> component;
    IPtr<Vst::IEditController> controller;
    IPtr<Vst::IConnectionPoint> componentConnection;
    IPtr<Vst::IConnectionPoint> controllerConnection;
    IPtr<Vst::IAudioProcessor> processor;
    bool componentInitialised = false;
    bool controllerInitialised = false;
    bool connected = false;
};

TEST_F(Vst3Component, HasOneMainAudioBusEachWayAndNoEventBuses)
{
    EXPECT_EQ(component->getBusCount(Vst::kAudio, Vst::kInput), 1);
    EXPECT_EQ(component->getBusCount(Vst::kAudio, Vst::kOutput), 1);
    EXPECT_EQ(component->getBusCount(Vst::kEvent, Vst::kInput), 0);
    EXPECT_EQ(component->getBusCount(Vst::kEvent, Vst::kOutput), 0);

    for (const auto direction : {Vst::kInput, Vst::kOutput})
    {
        Vst::BusInfo info{};
        ASSERT_EQ(component->getBusInfo(Vst::kAudio, direction, 0, info), kResultOk);
        EXPECT_EQ(text(info.name), direction == Vst::kInput ? "Input" : "Output");
        EXPECT_EQ(info.channelCount, 2);
        EXPECT_EQ(info.busType, Vst::kMain);
        EXPECT_NE(info.flags & Vst::BusInfo::kDefaultActive, 0u);

        Vst::SpeakerArrangement arrangement = SpeakerArr::kEmpty;
        ASSERT_EQ(processor->getBusArrangement(direction, 0, arrangement), kResultOk);
        EXPECT_EQ(arrangement, SpeakerArr::kStereo);
    }
}

TEST_F(Vst3Component, AcceptsOnlyMonoToMonoAndStereoToStereoArrangements)
{
    struct Case
    {
        const char* name;
        Vst::SpeakerArrangement input;
        Vst::SpeakerArrangement output;
        bool accepted;
    };
    const Case cases[] = {
        {"stereo -> stereo", SpeakerArr::kStereo, SpeakerArr::kStereo, true},
        {"mono -> mono", SpeakerArr::kMono, SpeakerArr::kMono, true},
        {"mono -> stereo", SpeakerArr::kMono, SpeakerArr::kStereo, false},
        {"stereo -> mono", SpeakerArr::kStereo, SpeakerArr::kMono, false},
        {"no input -> stereo", SpeakerArr::kEmpty, SpeakerArr::kStereo, false},
        {"5.1 -> 5.1", SpeakerArr::k51, SpeakerArr::k51, false},
    };

    for (const auto& c : cases)
    {
        // Start each case from the default so a refusal cannot hide behind
        // an earlier acceptance.
        ASSERT_EQ(arrange(SpeakerArr::kStereo, SpeakerArr::kStereo), kResultTrue);
        EXPECT_EQ(arrange(c.input, c.output) == kResultTrue, c.accepted) << c.name;
    }
}

TEST_F(Vst3Component, Processes32BitFloatOnlyWithNoLatencyOrTail)
{
    EXPECT_EQ(processor->canProcessSampleSize(Vst::kSample32), kResultTrue);
    EXPECT_NE(processor->canProcessSampleSize(Vst::kSample64), kResultTrue);
    EXPECT_EQ(processor->getLatencySamples(), 0u);
    EXPECT_EQ(processor->getTailSamples(), 0u);
}

TEST_F(Vst3Component, ControllerHasOnlyTheBypassParameter)
{
    ASSERT_EQ(controller->getParameterCount(), 1);

    Vst::ParameterInfo info{};
    ASSERT_EQ(controller->getParameterInfo(0, info), kResultOk);
    EXPECT_EQ(text(info.title), "Bypass");
    EXPECT_EQ(info.stepCount, 1);
    EXPECT_EQ(info.defaultNormalizedValue, 0.0);
    EXPECT_NE(info.flags & Vst::ParameterInfo::kIsBypass, 0);
    EXPECT_EQ(info.flags & Vst::ParameterInfo::kIsProgramChange, 0);
    EXPECT_EQ(controller->getParamNormalized(info.id), 0.0);
}

TEST_F(Vst3Component, ControllerHasARootUnitWithOneUnnamedProgram)
{
    auto units = U::cast<Vst::IUnitInfo>(controller);
    ASSERT_TRUE(units);

    ASSERT_EQ(units->getUnitCount(), 1);
    Vst::UnitInfo unit{};
    ASSERT_EQ(units->getUnitInfo(0, unit), kResultOk);
    EXPECT_EQ(unit.id, Vst::kRootUnitId);
    EXPECT_EQ(text(unit.name), "Root Unit");

    ASSERT_EQ(units->getProgramListCount(), 1);
    Vst::ProgramListInfo list{};
    ASSERT_EQ(units->getProgramListInfo(0, list), kResultOk);
    EXPECT_EQ(unit.programListId, list.id);
    EXPECT_EQ(text(list.name), "Factory Presets");
    ASSERT_EQ(list.programCount, 1);

    Vst::String128 name{};
    name[0] = 'x';
    ASSERT_EQ(units->getProgramName(list.id, 0, name), kResultOk);
    EXPECT_EQ(text(name), "");
}

TEST_F(Vst3Component, ControllerOffersOneViewNamedEditor)
{
    IPtr<IPlugView> editor = owned(controller->createView(Vst::ViewType::kEditor));
    EXPECT_TRUE(editor);
    editor = nullptr;

    IPtr<IPlugView> other = owned(controller->createView("inspector"));
    EXPECT_FALSE(other);
}

} // namespace
