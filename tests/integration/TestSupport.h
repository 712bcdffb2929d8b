#pragma once

// Where the plug-in under test was built, and small helpers the suites share.

#include <string>

namespace orlune::test
{

// The "Vesk Orlune.vst3" bundle this build produced.
inline std::string bundlePath()
{
    return VESK_ORLUNE_BUNDLE_PATH;
}

// The orlune-smoke tool this build produced.
inline std::string smokeToolPath()
{
    return VESK_ORLUNE_SMOKE_TOOL;
}

} // namespace orlune::test
