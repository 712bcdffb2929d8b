#include "app/config.h"

#include "wire/datagram.h"

#include <boost/asio/ip/address.hpp>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <limits>
#include <sstream>
#include <thread>

namespace orlune::relay
{
namespace
{

template <typename T> bool parseUnsigned(const std::string& text, T& out, T min, T max)
{
    unsigned long long value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || text.empty())
        return false;
    if (value < static_cast<unsigned long long>(min) ||
        value > static_cast<unsigned long long>(max))
        return false;
    out = static_cast<T>(value);
    return true;
}

bool validAddress(const std::string& text)
{
    boost::system::error_code ec;
    boost::asio::ip::make_address(text, ec);
    return !ec;
}

// "ADDR:PORT", with an IPv6 address in brackets ("[::1]:9465").
bool parseHostPort(const std::string& text, std::string& address, std::uint16_t& port)
{
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    std::string host = text.substr(0, colon);
    if (host.front() == '[')
    {
        if (host.size() < 3 || host.back() != ']')
            return false;
        host = host.substr(1, host.size() - 2);
    }
    else if (host.find(':') != std::string::npos)
    {
        return false; // an IPv6 address needs its brackets
    }
    if (!validAddress(host) ||
        !parseUnsigned<std::uint16_t>(text.substr(colon + 1), port, 0, 65535))
        return false;
    address = host;
    return true;
}

} // namespace

std::string helpText()
{
    return R"(orlune-relay: carries Vesk Orlune rooms from the plug-in's UDP stream to web listeners.

Usage: orlune-relay [options]

Network:
  --udp-address ADDR         address for the plug-in's datagrams     (default 127.0.0.1)
  --udp-port PORT            UDP port, 0 picks a free one             (default 54321)
  --http-address ADDR        address for the player page and sockets  (default 127.0.0.1)
  --http-port PORT           HTTP port, 0 picks a free one            (default 8080)
  --web-root DIR             folder holding index.html and the player files
  --tls-cert FILE            PEM certificate chain; with --tls-key serves HTTPS/WSS
  --tls-key FILE             PEM private key
  --metrics-address ADDR:PORT
                             where /metrics is served (plain HTTP), apart from
                             the HTTP port; none: nowhere (default 127.0.0.1:9465)

Limits:
  --max-rooms N              rooms known at once                      (default 1000)
  --max-listeners-per-room N listeners in one room                    (default 2000)
  --max-listeners N          listeners in all rooms together          (default 5000)
  --max-connections N        open HTTP/WebSocket connections          (default 6000)
  --listener-queue N         audio messages a listener may lag before
                             it is skipped ahead to live audio         (default 64)

Hostile traffic (per address; see relay-operations.md in the documentation):
  --allow-source CIDR[,CIDR] IPv4 networks that may send datagrams; others are
                             dropped (repeatable; default: every address)
  --takeover-seconds N       silence after which an address other than the
                             owner's takes a room (a new port of the owner's
                             address: 2 s)                             (default 30)
  --source-rooms N           rooms one sending address may hold         (default 32)
  --source-rate N            datagrams/s per room's stream, and per room held
                             by a sending address (at least 188)       (default 1000)
  --trusted-proxy CIDR[,CIDR] reverse proxies whose X-Forwarded-For names the
                             client (repeatable; default: none)
  --client-rate N            new connections/s per client address       (default 50)
  --client-burst N           of which may come at once                  (default 200)
  --client-connections N     connections open at once per client        (default 500)

Cluster:
  --nats URL[,URL...]        NATS servers to join a cluster through   (default: none)
  --relay-id NAME            this relay's id in the cluster, unique   (default host-pid)
  --nats-replicas N          replicas of the room lease bucket, 1-5   (default 1)

Other:
  --threads N                event loops carrying the listeners, 1-256
                             (default: one per hardware thread)
  --quiet                    print nothing but errors
  --help                     show this text

Endpoints (on the HTTP port):
  GET /orlune/<room>         the player page (index.html from the web root)
  GET /orlune/<file.ext>     player files from the web root
  GET /orlune/<room>/ws      WebSocket stream of the room
  GET /healthz               200 "ok"
On the metrics address only:
  GET /metrics               Prometheus text format (names rooms and sources)
  GET /healthz               as above

SIGINT or SIGTERM closes all listeners and exits.
)";
}

ParsedArgs parseArgs(const std::vector<std::string>& args)
{
    ParsedArgs result;
    Config config;

    auto fail = [&](std::string message)
    {
        result.error = std::move(message);
        return result;
    };

    for (std::size_t i = 0; i < args.size(); ++i)
    {
        std::string flag = args[i];
        std::optional<std::string> inlineValue;
        if (auto eq = flag.find('='); flag.rfind("--", 0) == 0 && eq != std::string::npos)
        {
            inlineValue = flag.substr(eq + 1);
            flag.resize(eq);
        }

        if (flag == "--help" || flag == "-h")
        {
            result.help = true;
            return result;
        }
        if (flag == "--quiet")
        {
            config.quiet = true;
            continue;
        }

        std::string value;
        if (inlineValue)
            value = *inlineValue;
        else if (i + 1 < args.size())
            value = args[++i];
        else
            return fail("missing value for " + flag);

        const auto sizeMax = std::numeric_limits<std::size_t>::max();
        if (flag == "--udp-address" || flag == "--http-address")
        {
            if (!validAddress(value))
                return fail("not an IP address for " + flag + ": " + value);
            (flag == "--udp-address" ? config.udpAddress : config.httpAddress) = value;
        }
        else if (flag == "--udp-port" || flag == "--http-port")
        {
            std::uint16_t port = 0;
            if (!parseUnsigned<std::uint16_t>(value, port, 0, 65535))
                return fail("not a port number for " + flag + ": " + value);
            (flag == "--udp-port" ? config.udpPort : config.httpPort) = port;
        }
        else if (flag == "--metrics-address")
        {
            config.metricsAddressGiven = true;
            if (value == "none")
                config.metricsAddress.clear();
            else if (!parseHostPort(value, config.metricsAddress, config.metricsPort))
                return fail("expected ADDR:PORT or none for --metrics-address: " + value);
        }
        else if (flag == "--nats")
        {
            config.natsServers.clear();
            std::istringstream list(value);
            std::string url;
            while (std::getline(list, url, ','))
                if (!url.empty())
                    config.natsServers.push_back(url);
            if (config.natsServers.empty())
                return fail("expected NATS server URLs for --nats: " + value);
        }
        else if (flag == "--relay-id")
        {
            if (value.empty() || value.size() > 64 || !isRoomCode(value))
                return fail("--relay-id takes 1 to 64 of a-z 0-9 - _: " + value);
            config.relayId = value;
        }
        else if (flag == "--nats-replicas")
        {
            if (!parseUnsigned<int>(value, config.natsReplicas, 1, 5))
                return fail("expected 1 to 5 for --nats-replicas: " + value);
        }
        else if (flag == "--web-root")
            config.webRoot = value;
        else if (flag == "--tls-cert")
            config.tlsCert = value;
        else if (flag == "--tls-key")
            config.tlsKey = value;
        else if (flag == "--max-rooms" || flag == "--max-listeners-per-room" ||
                 flag == "--max-listeners" || flag == "--max-connections" ||
                 flag == "--listener-queue" || flag == "--threads")
        {
            std::size_t n = 0;
            if (!parseUnsigned<std::size_t>(value, n, 1, sizeMax))
                return fail("expected a positive number for " + flag + ": " + value);
            if (flag == "--threads" && n > kMaxEventLoops)
                return fail("expected 1 to " + std::to_string(kMaxEventLoops) +
                            " for --threads: " + value);
            if (flag == "--threads")
                config.threads = n;
            else if (flag == "--max-rooms")
                config.limits.maxRooms = n;
            else if (flag == "--max-listeners-per-room")
                config.limits.maxListenersPerRoom = n;
            else if (flag == "--max-listeners")
                config.limits.maxListenersTotal = n;
            else if (flag == "--max-connections")
                config.maxConnections = n;
            else
                config.listenerQueue = n;
        }
        else if (flag == "--allow-source" || flag == "--trusted-proxy")
        {
            std::string why;
            CidrList& list =
                flag == "--allow-source" ? config.sources.allow : config.clients.trustedProxies;
            if (!list.add(value, &why))
                return fail(flag + ": " + why);
        }
        else if (flag == "--takeover-seconds" || flag == "--source-rooms" ||
                 flag == "--source-rate" || flag == "--client-rate" || flag == "--client-burst" ||
                 flag == "--client-connections")
        {
            const std::size_t least = flag == "--source-rate" ? 188 : 1;
            std::size_t n = 0;
            if (!parseUnsigned<std::size_t>(value, n, least, 1'000'000'000))
                return fail("expected a number from " + std::to_string(least) + " for " + flag +
                            ": " + value);
            if (flag == "--takeover-seconds")
                config.limits.takeoverSilence = std::chrono::seconds(n);
            else if (flag == "--source-rooms")
                config.sources.maxRoomsPerSource = n;
            else if (flag == "--source-rate")
                config.sources.datagramRate = config.limits.streamRate = static_cast<double>(n);
            else if (flag == "--client-rate")
                config.clients.connectionRate = static_cast<double>(n);
            else if (flag == "--client-burst")
                config.clients.connectionBurst = static_cast<double>(n);
            else
                config.clients.maxOpenPerClient = n;
        }
        else
            return fail("unknown option: " + flag);
    }

    if (config.tlsCert.empty() != config.tlsKey.empty())
        return fail("--tls-cert and --tls-key must be given together");

    result.config = std::move(config);
    return result;
}

std::size_t eventLoopCount(const Config& config)
{
    if (config.threads > 0)
        return config.threads;
    const unsigned hardware = std::thread::hardware_concurrency();
    return std::clamp<std::size_t>(hardware, 1, kMaxEventLoops);
}

std::string defaultWebRoot(const std::string& executablePath)
{
    // <prefix>/bin/orlune-relay serves <prefix>/share/orlune-relay/web: /usr/share/... when
    // installed from the package. A build tree has the same layout: CMake links
    // <build>/share/orlune-relay/web to the source tree's web/ (relay/CMakeLists.txt), so no
    // path of the machine that built the binary is compiled into it.
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path executable = fs::read_symlink("/proc/self/exe", ec);
    if (ec || executable.empty())
        executable = executablePath;
    if (!executable.empty())
    {
        const fs::path installed =
            executable.parent_path() / ".." / "share" / "orlune-relay" / "web";
        if (fs::is_directory(installed, ec))
            return fs::weakly_canonical(installed, ec).string();
    }
    return "web";
}

} // namespace orlune::relay
