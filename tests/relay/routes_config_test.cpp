#include "app/config.h"
#include "http/http_routes.h"

#include <gtest/gtest.h>

namespace orlune::relay
{
namespace
{

TEST(Routes, RoomPagesSocketsAndFiles)
{
    struct Case
    {
        const char* target;
        RouteKind kind;
        const char* argument;
    };
    const Case cases[] = {
        {"/healthz", RouteKind::Health, ""},
        {"/metrics", RouteKind::Metrics, ""},
        {"/metrics?x=1", RouteKind::Metrics, ""},
        {"/orlune/default", RouteKind::RoomPage, "default"},
        {"/orlune/my-room_2?autoplay=1", RouteKind::RoomPage, "my-room_2"},
        {"/orlune/default/", RouteKind::RoomSlash, "default"},
        {"/orlune/default/ws", RouteKind::RoomSocket, "default"},
        {"/orlune/player.js", RouteKind::StaticFile, "player.js"},
        {"/orlune/player-worklet.js", RouteKind::StaticFile, "player-worklet.js"},
        {"/orlune/Logo_2.svg", RouteKind::StaticFile, "Logo_2.svg"},
        {"/orlune/index.html", RouteKind::StaticFile, "index.html"},
    };
    for (const auto& c : cases)
    {
        const Route r = routeTarget(c.target);
        EXPECT_EQ(r.kind, c.kind) << c.target;
        EXPECT_EQ(r.argument, c.argument) << c.target;
    }
}

TEST(Routes, NothingOutsideTheWebRootOrTheAlphabetIsReachable)
{
    for (const char* target : {"/",
                               "/orlune",
                               "/orlune/",
                               "/orlune/..",
                               "/orlune/../secret.txt",
                               "/orlune/.hidden.js",
                               "/orlune/a..js",
                               "/orlune/%2e%2e/x.js",
                               "/orlune/sub/player.js",
                               "/orlune/Default",
                               "/orlune/notes.txt",
                               "/orlune/run.sh",
                               "/orlune/player.js/ws",
                               "/orlune/default/ws/x",
                               "/orlune/default/player.js",
                               "/orlune//ws",
                               "/orlune/a b",
                               "//orlune/default",
                               "/healthz/",
                               "/orlune/room\\..\\x.js"})
        EXPECT_EQ(routeTarget(target).kind, RouteKind::NotFound) << target;
}

ParsedArgs parse(std::vector<std::string> args)
{
    return parseArgs(args);
}

TEST(CommandLine, DefaultsAreLoopbackWithTheStandardPorts)
{
    const ParsedArgs p = parse({});
    ASSERT_TRUE(p.config);
    EXPECT_EQ(p.config->udpAddress, "127.0.0.1");
    EXPECT_EQ(p.config->udpPort, 54321);
    EXPECT_EQ(p.config->httpAddress, "127.0.0.1");
    EXPECT_EQ(p.config->httpPort, 8080);
    EXPECT_TRUE(p.config->tlsCert.empty());
}

TEST(CommandLine, ReadsEveryOptionInBothSpellings)
{
    const ParsedArgs p = parse({"--udp-address",
                                "0.0.0.0",
                                "--udp-port=6000",
                                "--http-address",
                                "::1",
                                "--http-port",
                                "0",
                                "--web-root",
                                "/srv/web",
                                "--max-rooms=5",
                                "--max-listeners-per-room",
                                "6",
                                "--max-listeners",
                                "7",
                                "--max-connections",
                                "8",
                                "--listener-queue",
                                "9",
                                "--tls-cert",
                                "c.pem",
                                "--tls-key",
                                "k.pem",
                                "--quiet"});
    ASSERT_TRUE(p.config) << p.error;
    const Config& c = *p.config;
    EXPECT_EQ(c.udpAddress, "0.0.0.0");
    EXPECT_EQ(c.udpPort, 6000);
    EXPECT_EQ(c.httpAddress, "::1");
    EXPECT_EQ(c.httpPort, 0);
    EXPECT_EQ(c.webRoot, "/srv/web");
    EXPECT_EQ(c.limits.maxRooms, 5u);
    EXPECT_EQ(c.limits.maxListenersPerRoom, 6u);
    EXPECT_EQ(c.limits.maxListenersTotal, 7u);
    EXPECT_EQ(c.maxConnections, 8u);
    EXPECT_EQ(c.listenerQueue, 9u);
    EXPECT_EQ(c.tlsCert, "c.pem");
    EXPECT_EQ(c.tlsKey, "k.pem");
    EXPECT_TRUE(c.quiet);
}

TEST(CommandLine, MetricsAddressIsLoopbackUnlessGivenOrTurnedOff)
{
    const Config plain = *parse({}).config;
    EXPECT_EQ(plain.metricsAddress, "127.0.0.1");
    EXPECT_EQ(plain.metricsPort, kDefaultMetricsPort);
    EXPECT_NE(plain.metricsPort, plain.httpPort);
    EXPECT_FALSE(plain.metricsAddressGiven);

    const Config v6 = *parse({"--metrics-address", "[::1]:9100"}).config;
    EXPECT_EQ(v6.metricsAddress, "::1");
    EXPECT_EQ(v6.metricsPort, 9100);
    EXPECT_TRUE(v6.metricsAddressGiven);
    const Config v4 = *parse({"--metrics-address=10.0.0.2:0"}).config;
    EXPECT_EQ(v4.metricsAddress, "10.0.0.2");
    EXPECT_EQ(v4.metricsPort, 0);
    EXPECT_TRUE(parse({"--metrics-address", "none"}).config->metricsAddress.empty());
}

TEST(CommandLine, RejectsBadValuesWithAMessage)
{
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--udp-port", "65536"},
                                               {"--http-port", "-1"},
                                               {"--http-port", "80x"},
                                               {"--udp-address", "localhost"},
                                               {"--max-rooms", "0"},
                                               {"--listener-queue"},
                                               {"--tls-cert", "c.pem"},
                                               {"--metrics-address", "127.0.0.1"},
                                               {"--metrics-address", "::1:9465"},
                                               {"--metrics-address", "localhost:9465"},
                                               {"--metrics-address", "127.0.0.1:70000"},
                                               {"--frobnicate", "1"}})
    {
        const ParsedArgs p = parse(args);
        EXPECT_FALSE(p.config) << args[0];
        EXPECT_FALSE(p.error.empty()) << args[0];
    }
}

} // namespace
} // namespace orlune::relay
