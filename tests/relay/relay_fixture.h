// The fixture of the relay's end-to-end tests: a web root with a player page, the relay's
// settings on loopback (change them before start()), and the relay once started.
#pragma once

#include "test_support.h"

#include <gtest/gtest.h>

#include <memory>

namespace orlune::relay::test
{

class RelayFixture : public ::testing::Test
{
protected:
    RelayFixture()
    {
        web.write("index.html", "<!doctype html><title>player</title>");
        config = loopbackConfig(web.path());
    }

    RunningRelay& start()
    {
        relay = std::make_unique<RunningRelay>(config);
        return *relay;
    }

    TempDir web;
    Config config;
    std::unique_ptr<RunningRelay> relay;
};

} // namespace orlune::relay::test
