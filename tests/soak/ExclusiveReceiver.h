#pragma once

// The relay's stand-in for the long runs: like LoopbackReceiver it binds
// 127.0.0.1 on the relay's UDP port and keeps every datagram with its arrival
// time and sender port, but
//  - it binds exclusively (no SO_REUSEADDR), so that while it listens no
//    other test process can bind the port and take the datagrams, and while
//    another process listens it waits for the port instead of sharing it;
//  - it asks for a large receive buffer, so that a loaded machine that keeps
//    the reading thread off the CPU for a while does not drop datagrams, and
//    it reads the kernel's count of datagrams dropped because that buffer was
//    full, so a test can tell its own losses from the sender's.

#include <utility> // before LoopbackReceiver.h, which uses std::exchange

#include "LoopbackReceiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

class ExclusiveReceiver
{
public:
    using Datagram = LoopbackReceiver::Datagram;

    explicit ExclusiveReceiver(int port = 54321)
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

    ~ExclusiveReceiver()
    {
        stopRequested = true;
        reader.join();
        ::close(fd);
    }

    ExclusiveReceiver(const ExclusiveReceiver&) = delete;
    ExclusiveReceiver& operator=(const ExclusiveReceiver&) = delete;

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
            Datagram d{{buffer.begin(), buffer.begin() + n},
                       std::chrono::steady_clock::now(),
                       ntohs(from.sin_port)};
            {
                const std::lock_guard<std::mutex> lock(mutex);
                received.push_back(std::move(d));
            }
            arrived.notify_all();
        }
    }

    int fd = -1;
    std::thread reader;
    std::atomic<bool> stopRequested{false};
    std::atomic<std::uint32_t> drops{0};
    mutable std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Datagram> received;
};
