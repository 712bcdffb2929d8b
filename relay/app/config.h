// The command line that fills the relay's settings (loop/settings.h).
#pragma once

#include "loop/settings.h"

#include <optional>
#include <string>
#include <vector>

namespace orlune::relay
{

struct ParsedArgs
{
    std::optional<Config> config; // empty when --help was asked for or on error
    bool help = false;
    std::string error;
};

ParsedArgs parseArgs(const std::vector<std::string>& args);
std::string helpText();

// The number of event loops `config` asks for: --threads, else the hardware threads (at least 1).
std::size_t eventLoopCount(const Config& config);

// <prefix>/share/orlune-relay/web beside the running binary <prefix>/bin/orlune-relay (found
// through /proc/self/exe, else `executablePath`): /usr/share/orlune-relay/web when installed,
// the source tree's web/ in a build tree (through a link CMake makes); "web" if neither exists.
std::string defaultWebRoot(const std::string& executablePath);

} // namespace orlune::relay
