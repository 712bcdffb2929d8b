#include "http/datagram_ingest.h"

#include "wire/datagram.h"

#include <boost/beast/core/error.hpp>

#include <algorithm>

namespace orlune::relay
{

using udp = net::ip::udp;

DatagramIngest::DatagramIngest(net::io_context& ioc, Core& core)
    : core_(core)
    , socket_(ioc)
{
    const udp::endpoint at(net::ip::make_address(core_.config.udpAddress), core_.config.udpPort);
    socket_.open(at.protocol());
    beast::error_code ignored;
    socket_.set_option(net::socket_base::receive_buffer_size(4 * 1024 * 1024), ignored);
    socket_.bind(at);
    socket_.non_blocking(true);
    port_ = socket_.local_endpoint().port();
}

void DatagramIngest::start()
{
    receiveNext();
}

void DatagramIngest::close()
{
    beast::error_code ignored;
    socket_.close(ignored);
}

void DatagramIngest::receiveNext()
{
    socket_.async_receive_from(net::buffer(buffer_), from_,
                               [this](beast::error_code ec, std::size_t size)
                               {
                                   if (ec == net::error::operation_aborted || core_.stopping)
                                       return;
                                   if (!ec)
                                   {
                                       onDatagram(size);
                                       drainWaiting();
                                   }
                                   core_.flushPending();
                                   receiveNext();
                               });
}

// Takes in some of the datagrams already waiting without going back to the event loop: at most
// half a listener queue, so a catching-up relay does not itself overflow the queues of
// listeners that are keeping up.
void DatagramIngest::drainWaiting()
{
    const std::size_t limit = std::clamp<std::size_t>(core_.config.listenerQueue / 2, 1, 32);
    for (std::size_t i = 1; i < limit; ++i)
    {
        beast::error_code ec;
        const std::size_t size = socket_.receive_from(net::buffer(buffer_), from_, 0, ec);
        if (ec)
            return; // would_block: nothing more waiting
        onDatagram(size);
    }
}

void DatagramIngest::onDatagram(std::size_t size)
{
    ++core_.metrics.datagramsReceived;
    core_.metrics.bytesReceived += size;
    const TimePoint now = core_.now();
    switch (core_.sources.admit(from_.address(), now))
    {
        case SourceVerdict::Admitted:
            break;
        case SourceVerdict::NotAllowed:
            return core_.metrics.countDrop(SourceDrop::NotAllowed);
        case SourceVerdict::RateLimited:
            return core_.metrics.countDrop(SourceDrop::RateLimit);
    }
    const ParseResult parsed = parseDatagram(buffer_.data(), size);
    if (!parsed.ok())
    {
        core_.metrics.countMalformed(parsed.error);
        return;
    }
    ingestDatagram(core_, parsed.datagram, from_, now);
}

void ingestDatagram(Core& core, const Datagram& datagram, const Endpoint& from, TimePoint now)
{
    // The cluster is asked only for a room this relay would take: a refusal here (counted by
    // the registry) takes no lease and holds nothing.
    if (core.cluster != nullptr && core.registry.wouldTake(datagram, from, now) &&
        !core.cluster->admit(datagram, from))
        return;
    core.registry.onDatagram(datagram, from, now);
}

} // namespace orlune::relay
