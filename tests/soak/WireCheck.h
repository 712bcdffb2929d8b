#pragma once

// Checks the datagrams of a long run as they arrive, batch by batch, without
// keeping them: every datagram well formed, counters rising within each
// session, room codes from the alphabet and ones the run actually set, and,
// for datagrams built at 48 kHz, every sample equal to the frame that was fed.

#include "LoopbackReceiver.h"
#include "TaggedSignal.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace soak
{
// What was fed, block by block: the audio thread appends a block before it
// hands it to the processor; the checker looks frames up by position.
class FeedLog
{
public:
    struct Block
    {
        std::uint64_t first = 0;
        int frames = 0;
        BlockKind kind = BlockKind::stereo;
    };

    // Reserves the next `frames` positions for a block of the given kind and
    // returns the first of them.
    std::uint64_t append(int frames, BlockKind kind)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        const std::uint64_t first = end;
        blocks.push_back({first, frames, kind});
        end += static_cast<std::uint64_t>(frames);
        return first;
    }

    std::uint64_t framesLogged() const
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return end;
    }

    std::optional<BlockKind> kindOf(std::uint64_t f) const
    {
        const std::lock_guard<std::mutex> lock(mutex);
        auto it = std::upper_bound(blocks.begin(), blocks.end(), f,
                                   [](std::uint64_t v, const Block& b) { return v < b.first; });
        if (it == blocks.begin())
            return std::nullopt;
        --it;
        if (f >= it->first + static_cast<std::uint64_t>(it->frames))
            return std::nullopt;
        return it->kind;
    }

    // Forgets blocks that end before `f`.
    void forgetBefore(std::uint64_t f)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        while (!blocks.empty() &&
               blocks.front().first + static_cast<std::uint64_t>(blocks.front().frames) < f)
            blocks.pop_front();
    }

private:
    mutable std::mutex mutex;
    std::deque<Block> blocks;
    std::uint64_t end = 0;
};

struct WireFigures
{
    long stray = 0; // from sockets that are not ours (other processes on the port)
    long datagrams = 0;
    long malformed = 0;
    long foreignRoomCodes = 0;   // outside the alphabet, or never stored by the run
    long sessions = 0;           // counter runs starting at 0, per sender port
    long counterRegressions = 0; // a counter that went backwards or out of step
    long lostDatagrams = 0;      // gaps in a session's packet sequence
    long at48k = 0;              // datagrams built while the processor ran at 48 kHz
    long verified48k = 0;        // of those, matched to their fed frames
    long unverifiable48k = 0;    // no intact tag and no predecessor to follow
    long samplesCompared = 0;
    long sampleMismatches = 0;
    long jumbled48k = 0;         // tags inside one datagram that disagree
    long discontinuities48k = 0; // a datagram not starting where the previous one ended

    bool clean() const
    {
        return malformed == 0 && foreignRoomCodes == 0 && counterRegressions == 0 &&
               sampleMismatches == 0 && jumbled48k == 0 && discontinuities48k == 0;
    }
};

// The room codes of a run name the rate they were set under, so that a
// datagram can be known to come from a 48 kHz ring: "r48000-e<epoch>-...".
// The run sets such a code only after the prepare at that rate has returned
// and replaces it with a neutral code before the next prepare begins.
inline std::string epochOfRoomCode(const std::string& code)
{
    if (code.rfind("r48000-e", 0) != 0)
        return {};
    const auto end = code.find('-', 8);
    return code.substr(0, end);
}

class WireChecker
{
public:
    explicit WireChecker(const FeedLog& logToFollow)
        : log(logToFollow)
    {
    }

    void noteStoredRoomCode(const std::string& code) { storedRoomCodes.insert(code); }

    // Datagrams count only from the sockets of the run's own sessions: other
    // processes may send to the relay's port while this one listens on it.
    void noteSenderPort(int port) { senderPorts.insert(port); }

    void check(const std::vector<LoopbackReceiver::Datagram>& batch)
    {
        // Every frame in this batch was logged before it was fed, so before
        // it could be sent: positions resolve below what is logged now.
        const std::uint64_t logged = log.framesLogged();
        for (const auto& d : batch)
            checkOne(d, logged);
    }

    const WireFigures& figures() const { return fig; }

private:
    struct Session
    {
        std::int64_t lastSequence = -1;
        std::string epoch;
        std::optional<std::uint64_t> lastBase;
    };

    static bool inAlphabet(const std::string& code)
    {
        if (code.empty())
            return false;
        for (char c : code)
            if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
                return false;
        return true;
    }

    void checkOne(const LoopbackReceiver::Datagram& raw, std::uint64_t logged)
    {
        if (senderPorts.count(raw.senderPort) == 0)
        {
            ++fig.stray;
            return;
        }
        ++fig.datagrams;
        const auto d = DecodedDatagram::decode(raw.bytes);
        if (!d.wellFormed)
        {
            ++fig.malformed;
            report("malformed datagram of " + std::to_string(raw.bytes.size()) + " bytes");
            return;
        }
        if (!inAlphabet(d.roomCode) || storedRoomCodes.count(d.roomCode) == 0)
        {
            ++fig.foreignRoomCodes;
            report("room code never stored: '" + d.roomCode + "'");
        }

        auto& s = sessions[raw.senderPort];
        if (d.sequence == 0)
        {
            ++fig.sessions;
            s = Session{};
        }
        else if (s.lastSequence < 0 || d.sequence <= s.lastSequence)
        {
            ++fig.counterRegressions;
            report("sequence " + std::to_string(d.sequence) + " after " +
                   std::to_string(s.lastSequence) + " on port " + std::to_string(raw.senderPort));
            s = Session{};
        }
        else if (d.sequence > s.lastSequence + 1)
        {
            fig.lostDatagrams += d.sequence - s.lastSequence - 1;
            s.lastBase.reset();
        }
        if (d.position != d.sequence * 256)
        {
            ++fig.counterRegressions;
            report("position " + std::to_string(d.position) + " with sequence " +
                   std::to_string(d.sequence));
        }
        const bool follows = s.lastSequence >= 0 && d.sequence == s.lastSequence + 1;
        s.lastSequence = d.sequence;

        const std::string epoch = epochOfRoomCode(d.roomCode);
        if (epoch.empty())
        {
            s.lastBase.reset();
            s.epoch.clear();
            return;
        }
        ++fig.at48k;

        std::optional<std::uint64_t> base = baseFromTags(d, logged);
        if (jumbled)
        {
            ++fig.jumbled48k;
            report("tags out of order inside a 48 kHz datagram, sequence " +
                   std::to_string(d.sequence));
        }
        const bool sameRun = follows && s.epoch == epoch && s.lastBase.has_value();
        if (base && sameRun && *base != *s.lastBase + 256)
        {
            ++fig.discontinuities48k;
            report("48 kHz datagram starts at frame " + std::to_string(*base) + ", expected " +
                   std::to_string(*s.lastBase + 256));
        }
        if (!base && sameRun)
            base = *s.lastBase + 256;

        s.epoch = epoch;
        s.lastBase = base;
        if (!base)
        {
            ++fig.unverifiable48k;
            return;
        }
        ++fig.verified48k;
        compareWithFeed(d, *base);
    }

    // The first frame's position, from the intact stereo tags inside the
    // datagram: at least two, all naming the same start.
    std::optional<std::uint64_t> baseFromTags(const DecodedDatagram& d, std::uint64_t logged)
    {
        jumbled = false;
        std::optional<std::uint64_t> start;
        int agreeing = 0;
        for (int i = 0; i < 256; ++i)
        {
            const auto t = tagOf(floatBits(d.left[static_cast<size_t>(i)]),
                                 floatBits(d.right[static_cast<size_t>(i)]));
            if (!t)
                continue;
            const std::uint64_t s = (*t - static_cast<std::uint64_t>(i)) & tagMask;
            if (start && *start != s)
                jumbled = true;
            start = s;
            ++agreeing;
        }
        if (!start || agreeing < 2 || jumbled || logged < 256)
            return std::nullopt;
        // The newest position below `logged` that is congruent to the last frame.
        const std::uint64_t lastTag = (*start + 255) & tagMask;
        const std::uint64_t newest = logged - 1;
        const std::uint64_t back = (newest - lastTag) & tagMask;
        if (back + 255 > newest)
            return std::nullopt;
        return newest - back - 255;
    }

    void compareWithFeed(const DecodedDatagram& d, std::uint64_t base)
    {
        for (int i = 0; i < 256; ++i)
        {
            const std::uint64_t f = base + static_cast<std::uint64_t>(i);
            const auto kind = log.kindOf(f);
            const std::uint32_t gotLeft = floatBits(d.left[static_cast<size_t>(i)]);
            const std::uint32_t gotRight = floatBits(d.right[static_cast<size_t>(i)]);
            fig.samplesCompared += 2;
            if (!kind)
            {
                fig.sampleMismatches += 2;
                report("frame " + std::to_string(f) + " was never fed");
                continue;
            }
            const auto want = expectedFrame(*kind, f);
            const long wrong = (gotLeft != want.left ? 1 : 0) + (gotRight != want.right ? 1 : 0);
            if (wrong > 0)
            {
                fig.sampleMismatches += wrong;
                report("frame " + std::to_string(f) + " (block kind " +
                       std::to_string(static_cast<int>(*kind)) + "): got " + hex(gotLeft) + "/" +
                       hex(gotRight) + ", fed " + hex(want.left) + "/" + hex(want.right));
            }
        }
    }

    static std::string hex(std::uint32_t v)
    {
        char text[16];
        std::snprintf(text, sizeof(text), "%08x", v);
        return text;
    }

    void report(const std::string& what)
    {
        if (++reports <= 20)
            std::cout << "  [wire] " << what << '\n';
    }

    const FeedLog& log;
    WireFigures fig;
    std::map<int, Session> sessions;
    std::set<std::string> storedRoomCodes{"default"};
    std::set<int> senderPorts;
    bool jumbled = false;
    int reports = 0;
};
} // namespace soak
