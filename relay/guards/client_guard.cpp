#include "guards/client_guard.h"

#include <utility>

namespace orlune::relay
{

namespace
{

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

} // namespace

boost::asio::ip::address clientAddress(const boost::asio::ip::address& peer,
                                       std::string_view forwardedFor,
                                       const CidrList& trustedProxies)
{
    if (!trustedProxies.contains(peer))
        return peer;
    boost::asio::ip::address client = peer;
    std::string_view rest = forwardedFor;
    while (!rest.empty())
    {
        const auto comma = rest.rfind(',');
        const std::string_view item =
            trim(comma == std::string_view::npos ? rest : rest.substr(comma + 1));
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(0, comma);
        if (item.empty() && comma != std::string_view::npos)
            continue; // "a,,b" or a trailing comma: nothing written there
        boost::system::error_code ec;
        const auto address = boost::asio::ip::make_address(std::string(item), ec);
        if (ec)
            break;
        client = address;
        if (!trustedProxies.contains(address))
            break;
    }
    return client;
}

ClientLease::ClientLease(ClientGuard* guard, boost::asio::ip::address client)
    : guard_(guard)
    , client_(client)
{
}

ClientLease::ClientLease(ClientLease&& other) noexcept
    : guard_(std::exchange(other.guard_, nullptr))
    , client_(other.client_)
{
}

ClientLease& ClientLease::operator=(ClientLease&& other) noexcept
{
    if (this != &other)
    {
        if (guard_)
            guard_->release(client_);
        guard_ = std::exchange(other.guard_, nullptr);
        client_ = other.client_;
    }
    return *this;
}

ClientLease::~ClientLease()
{
    if (guard_)
        guard_->release(client_);
}

ClientGuard::ClientGuard(ClientLimits limits)
    : limits_(std::move(limits))
{
}

bool ClientGuard::isTrustedProxy(const boost::asio::ip::address& peer) const
{
    return limits_.trustedProxies.contains(peer);
}

ClientVerdict ClientGuard::admit(const boost::asio::ip::address& client, TimePoint now,
                                 ClientLease& lease)
{
    const auto key = addressGroup(client);
    bool withinRate = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Client& c = clients_[key];
        if (c.open >= limits_.maxOpenPerClient)
            return ClientVerdict::TooManyOpen;
        ++c.open;
        withinRate = c.rate.take(now, limits_.connectionRate, limits_.connectionBurst);
    }
    lease = ClientLease(this, key); // outside the lock: a lease it replaces releases its count
    return withinRate ? ClientVerdict::Admitted : ClientVerdict::RateLimited;
}

void ClientGuard::release(const boost::asio::ip::address& key)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = clients_.find(key);
    if (it != clients_.end() && it->second.open > 0)
        --it->second.open;
}

void ClientGuard::sweep(TimePoint now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = clients_.begin(); it != clients_.end();)
    {
        if (it->second.open == 0 &&
            it->second.rate.full(now, limits_.connectionRate, limits_.connectionBurst))
            it = clients_.erase(it);
        else
            ++it;
    }
}

std::size_t ClientGuard::trackedClients() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return clients_.size();
}

std::size_t ClientGuard::openFor(const boost::asio::ip::address& client) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = clients_.find(addressGroup(client));
    return it == clients_.end() ? 0 : it->second.open;
}

} // namespace orlune::relay
