#include "cluster/cluster_client.h"

#include "cluster/cluster_wire.h"

namespace orlune::relay
{
natsStatus ClusterLink::Shared::connect(const std::vector<std::string>& servers)
{
    std::vector<const char*> urls;
    for (const auto& url : servers)
        urls.push_back(url.c_str());
    natsOptions* options = nullptr;
    natsStatus s = natsOptions_Create(&options);
    if (s == NATS_OK)
        s = natsOptions_SetServers(options, urls.data(), static_cast<int>(urls.size()));
    if (s == NATS_OK)
        s = natsOptions_SetName(options, relayId.c_str());
    if (s == NATS_OK)
        s = natsOptions_SetNoEcho(options, true); // never hear our own publications
    if (s == NATS_OK)
        s = natsOptions_SetNoRandomize(options, true); // the first server listed is the nearest
    if (s == NATS_OK)
        s = natsOptions_SetMaxReconnect(options, -1);
    if (s == NATS_OK)
        s = natsOptions_SetReconnectWait(options, 250);
    if (s == NATS_OK)
        s = natsOptions_SetTimeout(options, 1000);
    if (s == NATS_OK)
        s = natsOptions_SetPingInterval(options, 1000);
    if (s == NATS_OK)
        s = natsOptions_SetMaxPingsOut(options, 2);
    if (s == NATS_OK)
        s = natsOptions_SetRetryOnFailedConnect(options, true, &Shared::onConnected, this);
    if (s == NATS_OK)
        s = natsOptions_SetReconnectedCB(options, &Shared::onReconnected, this);
    if (s == NATS_OK)
        s = natsOptions_SetDisconnectedCB(options, &Shared::onDisconnected, this);
    if (s == NATS_OK)
        s = natsOptions_SetErrorHandler(options, &Shared::onError, this);
    if (s == NATS_OK)
    {
        s = natsConnection_Connect(&connection, options);
        if (s == NATS_OK)
            connected = true;
        else if (s == NATS_NOT_YET_CONNECTED)
            s = NATS_OK; // retried in the background
    }
    natsOptions_Destroy(options);
    return s;
}

void ClusterLink::Shared::onMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure)
{
    auto* shared = static_cast<Shared*>(closure);
    const auto subject = parseSubject(natsMsg_GetSubject(msg));
    const int size = natsMsg_GetDataLength(msg);
    ClusterMessage decoded =
        subject ? decodeClusterMessage(natsMsg_GetData(msg),
                                       size > 0 ? static_cast<std::size_t>(size) : 0, subject->tier)
                : ClusterMessage{};
    natsMsg_Destroy(msg);
    ++shared->messagesIn;
    shared->bytesIn += static_cast<std::uint64_t>(size > 0 ? size : 0);
    if (!decoded.ok)
    {
        ++shared->malformed;
        return;
    }
    shared->post([shared, parts = std::move(*subject), decoded = std::move(decoded)]
                 { shared->link->onRemote(parts.room, parts.tier, decoded); });
}

void ClusterLink::Shared::onInterest(natsConnection*, natsSubscription*, natsMsg* msg,
                                     void* closure)
{
    auto* shared = static_cast<Shared*>(closure);
    std::string room = roomOfInterestSubject(natsMsg_GetSubject(msg));
    const int size = natsMsg_GetDataLength(msg);
    Interest interest =
        decodeInterest(natsMsg_GetData(msg), size > 0 ? static_cast<std::size_t>(size) : 0);
    natsMsg_Destroy(msg);
    ++shared->interestIn;
    if (room.empty() || !interest.ok)
    {
        ++shared->malformed;
        return;
    }
    shared->post([shared, room = std::move(room), interest = std::move(interest)]
                 { shared->link->onInterest(room, interest); });
}

void ClusterLink::Shared::onConnected(natsConnection*, void* closure)
{
    static_cast<Shared*>(closure)->connected = true;
}

void ClusterLink::Shared::onReconnected(natsConnection*, void* closure)
{
    auto* shared = static_cast<Shared*>(closure);
    ++shared->reconnects;
    shared->connected = true;
}

void ClusterLink::Shared::onDisconnected(natsConnection*, void* closure)
{
    auto* shared = static_cast<Shared*>(closure);
    ++shared->disconnects;
    shared->connected = false;
}

void ClusterLink::Shared::onError(natsConnection*, natsSubscription*, natsStatus, void* closure)
{
    ++static_cast<Shared*>(closure)->asyncErrors; // slow consumer, mostly
}

} // namespace orlune::relay
