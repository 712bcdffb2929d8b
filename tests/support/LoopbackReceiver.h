#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Stands in for the relay: binds 127.0.0.1 on the relay's UDP port and keeps
// every datagram that arrives, with the time it arrived and its sender port.
// It binds exclusively (no address reuse), so while it listens no other
// process can bind the port and take datagrams meant for it; when another
// process holds the port it waits for it. A large receive buffer and the
// kernel's overflow count (overflowDrops) tell loss at the receiver apart
// from loss on the way.
class LoopbackReceiver
{
public:
    struct Datagram
    {
        std::vector<std::uint8_t> bytes;
        std::chrono::steady_clock::time_point arrival;
        int senderPort = 0;
    };

    // What a handler sees of one datagram; the bytes live until it returns.
    struct DatagramView
    {
        const std::uint8_t* bytes;
        size_t size;
        std::chrono::steady_clock::time_point arrival;
        int senderPort;
    };
    using Handler = std::function<void(const DatagramView&)>;

    // With a handler, every datagram goes to it (on the receiver's thread)
    // instead of being kept: for runs that send too many to keep.
    explicit LoopbackReceiver(int port = 54321, Handler handler = {})
        : onDatagram(std::move(handler))
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
        while (!tryBind(port))
        {
            if (std::chrono::steady_clock::now() > deadline)
                throw std::runtime_error("could not bind 127.0.0.1:" + std::to_string(port));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        reader = std::thread([this] { readLoop(); });
    }

    ~LoopbackReceiver()
    {
        stopRequested = true;
        reader.join();
        ::close(fd);
    }

    LoopbackReceiver(const LoopbackReceiver&) = delete;
    LoopbackReceiver& operator=(const LoopbackReceiver&) = delete;

    std::vector<Datagram> take()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(received, {});
    }

    size_t count() const
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return received.size();
    }

    bool waitFor(size_t n, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, timeout, [&] { return received.size() >= n; });
    }

    // Datagrams the kernel dropped because the receive buffer was full, as of
    // the latest datagram read.
    std::uint32_t overflowDrops() const { return drops.load(); }

    // Returns once no datagram has arrived for `quiet`.
    void drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(100))
    {
        for (size_t seen = count();;)
        {
            std::this_thread::sleep_for(quiet);
            const size_t now = count();
            if (now == seen)
                return;
            seen = now;
        }
    }

private:
    bool tryBind(int port)
    {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0)
            throw std::runtime_error("no UDP socket");
        const int bufferBytes = 4 << 20; // capped by net.core.rmem_max
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof(bufferBytes));
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof(on));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0)
            return true;
        ::close(fd);
        fd = -1;
        return false;
    }

    void readLoop()
    {
        std::vector<std::uint8_t> buffer(70000);
        while (!stopRequested)
        {
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, 20) != 1)
                continue;
            sockaddr_in from{};
            iovec data{buffer.data(), buffer.size()};
            alignas(cmsghdr) char control[64];
            msghdr message{};
            message.msg_name = &from;
            message.msg_namelen = sizeof(from);
            message.msg_iov = &data;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof(control);
            const auto n = ::recvmsg(fd, &message, 0);
            if (n <= 0)
                continue;
            for (auto* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c))
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL)
                {
                    std::uint32_t dropped = 0;
                    std::memcpy(&dropped, CMSG_DATA(c), sizeof(dropped));
                    drops.store(dropped);
                }
            const auto arrival = std::chrono::steady_clock::now();
            if (onDatagram)
            {
                onDatagram({buffer.data(), static_cast<size_t>(n), arrival, ntohs(from.sin_port)});
                continue;
            }
            Datagram d{{buffer.begin(), buffer.begin() + n}, arrival, ntohs(from.sin_port)};
            {
                const std::lock_guard<std::mutex> lock(mutex);
                received.push_back(std::move(d));
            }
            arrived.notify_all();
        }
    }

    const Handler onDatagram;
    int fd = -1;
    std::thread reader;
    std::atomic<bool> stopRequested{false};
    std::atomic<std::uint32_t> drops{0};
    mutable std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Datagram> received;
};

// Field access for a datagram of the wire format.
struct DecodedDatagram
{
    std::string roomCode;
    std::int64_t sequence = 0;
    std::int64_t position = 0;
    std::int32_t rate = 0, channels = 0, frames = 0;
    std::vector<float> left, right;
    bool wellFormed = false;

    static DecodedDatagram decode(const std::vector<std::uint8_t>& b)
    {
        DecodedDatagram d;
        if (b.size() < 2095 || std::memcmp(b.data(), "VESKORLUNE_PCM_V3\0", 18) != 0)
            return d;
        size_t pos = 18;
        while (pos < b.size() && b[pos] != 0)
            d.roomCode.push_back(static_cast<char>(b[pos++]));
        if (b.size() != 2095 + d.roomCode.size())
            return d;
        pos += 1;
        auto read = [&](auto& value)
        {
            std::memcpy(&value, b.data() + pos, sizeof(value));
            pos += sizeof(value);
        };
        read(d.sequence);
        read(d.position);
        read(d.rate);
        read(d.channels);
        read(d.frames);
        d.left.resize(256);
        d.right.resize(256);
        for (int i = 0; i < 256; ++i)
        {
            read(d.left[static_cast<size_t>(i)]);
            read(d.right[static_cast<size_t>(i)]);
        }
        d.wellFormed = d.rate == 48000 && d.channels == 2 && d.frames == 256;
        return d;
    }
};

// The well-formed or not decoding of every datagram that came from one sender port.
inline std::vector<DecodedDatagram> decodedFrom(const std::vector<LoopbackReceiver::Datagram>& all,
                                                int senderPort)
{
    std::vector<DecodedDatagram> out;
    for (const auto& d : all)
        if (d.senderPort == senderPort)
            out.push_back(DecodedDatagram::decode(d.bytes));
    return out;
}
