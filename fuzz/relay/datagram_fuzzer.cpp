// Feeds arbitrary bytes to the datagram parser, and every datagram it accepts to a room
// registry, checking what the parser promises about an accepted datagram.
#include "guards/source_guard.h"
#include "loop/metrics.h"
#include "rooms/rooms.h"
#include "wire/datagram.h"

#include <cstdlib>
#include <cstring>

using namespace orlune::relay;

namespace
{

struct CountingSink : ListenerSink
{
    std::size_t bytes = 0;
    void deliverAudio(const SharedFrame& m) override
    {
        if (m.payloadSize() != kAudioMessageSize)
            std::abort();
        bytes += m.payloadSize();
    }
    void deliverText(const SharedBytes& m) override { bytes += m->size(); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Exact-size copy: a read past the end is caught by AddressSanitizer.
    auto* copy = static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
    if (size > 0)
        std::memcpy(copy, data, size);
    const ParseResult r = parseDatagram(copy, size);

    if (r.ok())
    {
        const Datagram& d = r.datagram;
        if (size != kFixedBytes + d.room.size() || !isRoomCode(d.room))
            std::abort();
        if (d.samples != copy + size - kSampleBytes)
            std::abort();

        // The same datagram from two sources, with a silence between, then from another
        // address after the longer silence, through a small registry that counts rooms held.
        static Metrics metrics;
        RoomLimits limits;
        limits.maxRooms = 2;
        SourceLimits sourceLimits;
        sourceLimits.maxRoomsPerSource = 1;
        SourceGuard guard(sourceLimits);
        RoomRegistry rooms(limits, metrics, &guard);
        CountingSink sink;
        const TimePoint t0{};
        const Endpoint a(boost::asio::ip::make_address_v4("127.0.0.1"), 1);
        const Endpoint b(boost::asio::ip::make_address_v4("127.0.0.1"), 2);
        rooms.addListener(d.room, &sink, t0);
        rooms.onDatagram(d, a, t0);
        rooms.onDatagram(d, b, t0);
        rooms.sweep(t0 + std::chrono::seconds(3));
        rooms.onDatagram(d, b, t0 + std::chrono::seconds(3));
        const Endpoint c(boost::asio::ip::make_address_v4("192.0.2.1"), 3);
        if (rooms.onDatagram(d, c, t0 + std::chrono::seconds(4)))
            std::abort(); // another address, only a second after the owner
        if (!rooms.onDatagram(d, c, t0 + std::chrono::seconds(40)))
            std::abort();
        if (guard.roomsHeldBy(a.address()) != 0 || guard.roomsHeldBy(c.address()) != 1)
            std::abort();
        rooms.removeListener(d.room, &sink, t0 + std::chrono::seconds(40));
        rooms.sweep(t0 + std::chrono::seconds(100));
        if (rooms.roomCount() != 0 || rooms.listenerCount() != 0 ||
            guard.roomsHeldBy(c.address()) != 0)
            std::abort();
        (void)renderMetrics(metrics, rooms);
    }
    std::free(copy);
    return 0;
}
