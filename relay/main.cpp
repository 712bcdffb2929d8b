// orlune-relay: command-line entry point.
#include "app/config.h"
#include "app/server.h"

#include <nats/nats.h>
#include <sys/resource.h>

#include <exception>
#include <iostream>

namespace
{

// Every listener is a file descriptor; the usual soft limit of 1024 is far too low.
void raiseFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max)
    {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

int main(int argc, char** argv)
{
    using namespace orlune::relay;

    const ParsedArgs parsed = parseArgs(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.help)
    {
        std::cout << helpText();
        return 0;
    }
    if (!parsed.config)
    {
        std::cerr << "orlune-relay: " << parsed.error << "\n(see --help)\n";
        return 2;
    }

    Config config = *parsed.config;
    if (config.webRoot.empty())
        config.webRoot = defaultWebRoot(argc > 0 ? argv[0] : "");

    raiseFileLimit();

    try
    {
        Relay relay(config);
        relay.handleSignals();
        if (!config.quiet)
        {
            std::cout << "orlune-relay: datagrams on udp " << config.udpAddress << ':'
                      << relay.udpPort() << ", " << (relay.usesTls() ? "https" : "http") << " on "
                      << config.httpAddress << ':' << relay.httpPort() << ", " << relay.eventLoops()
                      << (relay.eventLoops() == 1 ? " event loop" : " event loops") << ", web root "
                      << relay.webRoot() << std::endl;
            if (relay.metricsPort() != 0)
                std::cout << "orlune-relay: metrics on http " << config.metricsAddress << ':'
                          << relay.metricsPort() << "/metrics" << std::endl;
        }
        relay.run();
        if (!config.quiet)
            std::cout << "orlune-relay: stopped" << std::endl;
    }
    catch (const std::exception& e)
    {
        std::cerr << "orlune-relay: " << e.what() << '\n';
        return 1;
    }
    if (!config.natsServers.empty())
        nats_CloseAndWait(1000); // the client's threads, before the process's own teardown
    return 0;
}
