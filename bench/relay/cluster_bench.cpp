// What a relay cluster costs against one relay: the same listeners and the same stream, once on
// a single relay without NATS, then split over two edge relays of a cluster (scripts/cluster)
// fed through NATS by a third that ingests. Reports each process's CPU time over the stream
// and whether any listener missed, reordered or got damaged audio. Needs a private network
// namespace (run it through tests/relay/cluster/run-in-netns, as root):
//
//   tests/relay/cluster/run-in-netns build-relay/bench/relay/orlune_relay_cluster_bench
//       [--listeners=N (default 400)] [--seconds=S (default 6)]
#include "cluster_support.h"

#include <iostream>

using namespace orlune::relay;
using namespace orlune::relay::clustertest;

namespace
{

struct Figures
{
    double cpu = 0; // seconds over the stream
    std::size_t behind = 0;
};

std::size_t behind(const Crowd& crowd, std::int64_t sent)
{
    std::size_t n = 0;
    for (const auto& m : crowd.members())
        if (m->faults != 0 || m->gaps != 0 || m->reconnects != 0 || m->lastSeq != sent - 1)
            ++n;
    return n;
}

bool waitHealthy(std::uint16_t port)
{
    for (int i = 0; i < 100; ++i)
    {
        if (test::httpRequest(port, "/healthz").status == 200)
            return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

std::string load()
{
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t listeners = 400;
    double seconds = 6;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg.rfind("--listeners=", 0) == 0)
            listeners = std::stoul(arg.substr(12));
        else if (arg.rfind("--seconds=", 0) == 0)
            seconds = std::stod(arg.substr(10));
    }
    const auto count = static_cast<std::int64_t>(seconds * 187.5);
    std::printf("load before: %s\n", load().c_str());

    // One relay on its own.
    double single = 0;
    std::size_t singleBehind = 0;
    {
        Child relay({ORLUNE_RELAY_BINARY, "--quiet", "--udp-port", "39001", "--http-port", "39002",
                     "--max-listeners", "20000", "--max-listeners-per-room", "20000",
                     "--max-connections", "22000"});
        if (!waitHealthy(39002))
        {
            std::fprintf(stderr, "the single relay did not start\n");
            return 1;
        }
        Crowd crowd(39002, "bench", 9, listeners, count);
        std::this_thread::sleep_for(1s);
        const double before = processCpuSeconds(relay.pid());
        Source source(39001, "bench", 0, 9, count);
        source.finish();
        std::this_thread::sleep_for(300ms);
        single = processCpuSeconds(relay.pid()) - before;
        crowd.stop();
        singleBehind = behind(crowd, source.sent());
    }

    // The cluster: relay a ingests, b and c carry half the listeners each.
    Cluster cluster(7);
    if (!cluster.started())
    {
        std::fprintf(stderr, "the cluster did not start:\n%s", cluster.log().c_str());
        return 1;
    }
    const std::vector<std::string> names = {"relay-a", "relay-b", "relay-c",
                                            "nats-a",  "nats-b",  "nats-c"};
    std::vector<double> cpu(names.size());
    std::size_t clusterBehind = 0;
    std::vector<double> hop;
    {
        // One more listener on a and on b each: what the NATS hop adds, message by message.
        Listener onA(cluster.http(0), "bench", 9);
        Listener hopB(cluster.http(1), "bench", 9);
        Crowd onB(cluster.http(1), "bench", 9, listeners / 2, count);
        Crowd onC(cluster.http(2), "bench", 9, listeners - listeners / 2, count);
        std::this_thread::sleep_for(1s);
        for (std::size_t i = 0; i < names.size(); ++i)
            cpu[i] = processCpuSeconds(cluster.pid(names[i]));
        Source source(cluster.udp(0), "bench", 0, 9, count);
        source.finish();
        std::this_thread::sleep_for(300ms);
        for (std::size_t i = 0; i < names.size(); ++i)
            cpu[i] = processCpuSeconds(cluster.pid(names[i])) - cpu[i];
        onB.stop();
        onC.stop();
        onA.stop();
        hopB.stop();
        const auto a = onA.audio(), b = hopB.audio();
        for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
            if (a[i].seq == b[i].seq)
                hop.push_back(std::chrono::duration<double, std::milli>(b[i].at - a[i].at).count());
        clusterBehind = behind(onB, source.sent()) + behind(onC, source.sent());
    }

    const double streamed = static_cast<double>(count) / 187.5;
    auto perListener = [&](double cpuSeconds, double n) { return cpuSeconds / streamed / n * 1e6; };
    std::printf("%zu listeners, %.1f s of audio; load after: %s\n", listeners, streamed,
                load().c_str());
    std::printf(
        "  single relay         CPU %5.1f%% of a core, %6.2f us/s per listener, %zu behind\n",
        single / streamed * 100, perListener(single, double(listeners)), singleBehind);
    double relays = 0, nats = 0;
    for (std::size_t i = 0; i < names.size(); ++i)
    {
        std::printf("  cluster %-8s     CPU %5.1f%% of a core\n", names[i].c_str(),
                    cpu[i] / streamed * 100);
        (i < 3 ? relays : nats) += cpu[i];
    }
    const double edge = (cpu[1] + cpu[2]) / 2;
    std::printf("  edge relay           %6.2f us/s per listener (%.2fx the single relay's)\n",
                perListener(edge, double(listeners) / 2),
                perListener(edge, double(listeners) / 2) / perListener(single, double(listeners)));
    std::printf("  whole cluster        relays %.1f%% + NATS %.1f%% of a core (single relay "
                "%.1f%%), %zu behind\n",
                relays / streamed * 100, nats / streamed * 100, single / streamed * 100,
                clusterBehind);
    std::printf("  NATS hop             p50 %.3f ms, p99 %.3f ms over a listener on relay a "
                "(goal: p99 <= 2 ms; %zu messages)\n",
                percentile(hop, 0.5), percentile(hop, 0.99), hop.size());
    return singleBehind + clusterBehind == 0 ? 0 : 3;
}
