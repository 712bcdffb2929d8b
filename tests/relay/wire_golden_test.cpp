// The wire formats against their golden byte vectors (tests/wire/golden/<kind>.json): every
// writer must produce exactly the golden bytes from the vector's fields, and every reader must
// read the golden bytes back to those fields. The player's unit tests read the same files, so
// the page's parsers and the relay's writers cannot drift apart.
//
// ORLUNE_WRITE_GOLDEN=<folder> writes the files afresh from the writers (after a deliberate
// change of a format) instead of checking them.
#include "cluster/cluster_wire.h"
#include "test_support.h"
#include "tiers/tiers.h"
#include "wire/datagram.h"
#include "wire/listener_audio.h"
#include "wire/listener_events.h"
#include "wire/listener_opus.h"

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <tuple>

namespace orlune::relay
{
namespace
{

namespace json = boost::json;

std::string toHex(std::string_view bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes)
    {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string fromHex(std::string_view hex)
{
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    return out;
}

std::string str(const json::value& v)
{
    return std::string(v.as_string().data(), v.as_string().size());
}

std::int64_t int64Field(const json::object& fields, const char* name)
{
    return std::stoll(str(fields.at(name)));
}

// Samples of a float32 vector: exactly representable, so that the JSON numbers are exact.
std::vector<float> goldenSamples(std::uint32_t seed)
{
    std::vector<float> samples(kSampleBytes / 4);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] =
            static_cast<float>(static_cast<int>((i * 37 + seed * 11) % 256) - 128) / 128.0f;
    return samples;
}

std::string numberText(double value)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.9g", value);
    return buffer;
}

// One vector as it is written to a golden file: `fields` is JSON text.
struct Vector
{
    std::string name;
    std::string bytes;
    std::string fields;
    bool text = false; // the message is text: "text" instead of "hex"
};

std::string goldenPath(const std::string& kind)
{
    return std::string(ORLUNE_WIRE_GOLDEN_DIR) + "/" + kind + ".json";
}

// Writes the file when ORLUNE_WRITE_GOLDEN names a folder; true then.
bool writeGolden(const std::string& kind, const std::vector<Vector>& vectors)
{
    const char* folder = std::getenv("ORLUNE_WRITE_GOLDEN");
    if (folder == nullptr || *folder == '\0')
        return false;
    std::ofstream out(std::string(folder) + "/" + kind + ".json");
    out << "{\"kind\": \"" << kind << "\", \"vectors\": [\n";
    for (std::size_t i = 0; i < vectors.size(); ++i)
    {
        const Vector& v = vectors[i];
        out << "  {\"name\": \"" << v.name << "\", ";
        if (v.text)
            out << "\"text\": " << json::serialize(json::string(v.bytes));
        else
            out << "\"hex\": \"" << toHex(v.bytes) << "\"";
        out << ", \"fields\": " << v.fields << "}" << (i + 1 < vectors.size() ? ",\n" : "\n");
    }
    out << "]}\n";
    return true;
}

json::array loadVectors(const std::string& kind)
{
    std::ifstream in(goldenPath(kind));
    std::stringstream text;
    text << in.rdbuf();
    const json::value file = json::parse(text.str());
    EXPECT_EQ(str(file.at("kind")), kind);
    return file.at("vectors").as_array();
}

// Checks every golden vector of `kind`: `write` builds the message from the fields, `read`
// checks the fields against the message (with gtest expectations).
void checkKind(const std::string& kind, const std::vector<Vector>& written,
               const std::function<std::string(const json::object&)>& write,
               const std::function<void(const std::string&, const json::object&)>& read)
{
    if (writeGolden(kind, written))
        GTEST_SKIP() << "wrote " << kind;
    const json::array vectors = loadVectors(kind);
    ASSERT_EQ(vectors.size(), written.size());
    for (const json::value& entry : vectors)
    {
        const json::object& v = entry.as_object();
        SCOPED_TRACE(kind + ": " + str(v.at("name")));
        const std::string bytes =
            v.contains("text") ? str(v.at("text")) : fromHex(str(v.at("hex")));
        const json::object& fields = v.at("fields").as_object();
        EXPECT_EQ(toHex(write(fields)), toHex(bytes));
        read(bytes, fields);
    }
}

std::vector<Vector> float32Vectors()
{
    std::vector<Vector> out;
    const std::pair<std::int64_t, std::int64_t> cases[] = {
        {0, 0}, {41, 10496}, {-2, -512}, {9007199254740993, 4611686018427387904}};
    std::uint32_t seed = 0;
    for (const auto& [sequence, position] : cases)
    {
        const auto samples = goldenSamples(seed);
        std::string fields = "{\"sequence\": \"" + std::to_string(sequence) +
                             "\", \"position\": \"" + std::to_string(position) +
                             "\", \"frames\": 256, \"seed\": " + std::to_string(seed) +
                             ", \"samples\": [";
        for (int i = 0; i < 8; ++i)
            fields += (i ? ", " : "") + numberText(samples[static_cast<std::size_t>(i)]);
        fields += "]}";
        out.push_back(
            {"sequence " + std::to_string(sequence),
             std::string(encodeAudioMessage(sequence, position,
                                            reinterpret_cast<const std::uint8_t*>(samples.data()))
                             .payload()),
             fields});
        ++seed;
    }
    return out;
}

TEST(WireGolden, ListenerFloat32)
{
    checkKind(
        "listener-float32", float32Vectors(),
        [](const json::object& f)
        {
            const auto samples = goldenSamples(static_cast<std::uint32_t>(f.at("seed").as_int64()));
            return std::string(
                encodeAudioMessage(int64Field(f, "sequence"), int64Field(f, "position"),
                                   reinterpret_cast<const std::uint8_t*>(samples.data()))
                    .payload());
        },
        [](const std::string& bytes, const json::object& f)
        {
            const auto m = decodeAudioMessage(bytes);
            ASSERT_TRUE(m);
            EXPECT_EQ(m->sequence, int64Field(f, "sequence"));
            EXPECT_EQ(m->position, int64Field(f, "position"));
            EXPECT_EQ(f.at("frames").as_int64(), kFramesPerPacket);
            const auto& samples = f.at("samples").as_array();
            for (std::size_t i = 0; i < samples.size(); ++i)
            {
                float value = 0;
                std::memcpy(&value, m->samples + 4 * i, 4);
                EXPECT_EQ(value, samples[i].to_number<double>()) << i;
            }
            EXPECT_FALSE(decodeAudioMessage(bytes.substr(1)));
        });
}

std::vector<Vector> opusVectors()
{
    // Stand-ins for Opus packets (the message's layout never looks inside one), and a missing
    // frame.
    const std::string tone1 = fromHex("fc7f8a3c21d5e0b2994d3a7c18f0");
    const std::string tone2 = fromHex("fc7f8b1e04a9c2d37f60155a");
    struct Case
    {
        const char* name;
        std::int64_t sequence, position;
        std::vector<std::string> frames;
    };
    const Case cases[] = {
        {"stream start, two frames", 0, 48000, {tone1, tone2}},
        {"a missing frame", 7, 51360, {tone2, ""}},
        {"four frames, large position", 123456789012, 5925925872576, {tone1, "", tone2, tone1}},
    };
    std::vector<Vector> out;
    for (const Case& c : cases)
    {
        OpusMessageWriter writer;
        writer.begin(c.sequence, c.position, 480);
        std::string frames = "[";
        for (const std::string& packet : c.frames)
        {
            writer.addFrame(reinterpret_cast<const std::uint8_t*>(packet.data()), packet.size());
            frames += std::string(frames.size() > 1 ? ", " : "") +
                      "{\"length\": " + std::to_string(packet.size()) + ", \"hex\": \"" +
                      toHex(packet) + "\"}";
        }
        frames += "]";
        out.push_back({c.name, std::string(writer.finish().payload()),
                       "{\"sequence\": \"" + std::to_string(c.sequence) + "\", \"position\": \"" +
                           std::to_string(c.position) +
                           "\", \"frameSamples\": 480, \"frames\": " + frames + "}"});
    }
    return out;
}

TEST(WireGolden, ListenerOpus)
{
    checkKind(
        "listener-opus", opusVectors(),
        [](const json::object& f)
        {
            OpusMessageWriter writer;
            writer.begin(int64Field(f, "sequence"), int64Field(f, "position"),
                         static_cast<int>(f.at("frameSamples").as_int64()));
            for (const json::value& frame : f.at("frames").as_array())
            {
                const std::string packet = fromHex(str(frame.at("hex")));
                writer.addFrame(reinterpret_cast<const std::uint8_t*>(packet.data()),
                                packet.size());
            }
            return std::string(writer.finish().payload());
        },
        [](const std::string& bytes, const json::object& f)
        {
            const auto m = decodeOpusMessage(bytes);
            ASSERT_TRUE(m);
            EXPECT_EQ(m->header.sequence, int64Field(f, "sequence"));
            EXPECT_EQ(m->header.position, int64Field(f, "position"));
            EXPECT_EQ(m->header.frameSamples, f.at("frameSamples").as_int64());
            const auto& frames = f.at("frames").as_array();
            ASSERT_EQ(m->frames.size(), frames.size());
            for (std::size_t i = 0; i < frames.size(); ++i)
            {
                EXPECT_EQ(static_cast<std::int64_t>(m->frames[i].size()),
                          frames[i].at("length").as_int64());
                EXPECT_EQ(toHex(m->frames[i]), str(frames[i].at("hex")));
            }
            EXPECT_EQ(startsTierStream(bytes), m->header.sequence == 0);
            EXPECT_FALSE(decodeOpusMessage(bytes + '\0')); // nothing may follow the last frame
        });
}

std::vector<Vector> eventVectors()
{
    return {
        {"hello", helloMessage("studio-7", true), "", true},
        {"hello, not live", helloMessage("a", false), "", true},
        {"hello with a tier", tierHelloMessage("studio-7", false, Tier::Standard), "", true},
        {"hello lossless", tierHelloMessage("r_1", true, Tier::Lossless), "", true},
        {"source live", sourceMessage(true), "", true},
        {"source not live", sourceMessage(false), "", true},
        {"skip", skipMessage(12), "", true},
        {"codec requested", codecMessage(Tier::High, "requested"), "", true},
        {"codec step-down", codecMessage(Tier::Low, "step-down"), "", true},
        {"codec restart", codecMessage(Tier::Standard, "restart"), "", true},
        {"codec lossless", codecMessage(Tier::Lossless, "requested"), "", true},
        {"error", errorMessage("unknown quality tier; the tiers are: " + qualityNameList()), "",
         true},
    };
}

TEST(WireGolden, ListenerEvents)
{
    std::vector<Vector> vectors = eventVectors();
    for (Vector& v : vectors)
        v.fields = v.bytes; // the fields are the parsed text
    checkKind(
        "listener-events", vectors,
        [](const json::object& f)
        {
            const std::string type = str(f.at("type"));
            if (type == "hello" && !f.contains("tier"))
                return helloMessage(str(f.at("room")), f.at("live").as_bool());
            if (type == "hello")
                return tierHelloMessage(str(f.at("room")), f.at("live").as_bool(),
                                        parseQuality(str(f.at("tier")))->tier);
            if (type == "source")
                return sourceMessage(f.at("live").as_bool());
            if (type == "skip")
                return skipMessage(static_cast<std::size_t>(f.at("dropped").as_int64()));
            if (type == "codec")
                return codecMessage(parseQuality(str(f.at("tier")))->tier, str(f.at("reason")));
            return errorMessage(str(f.at("message")));
        },
        [](const std::string& text, const json::object& f)
        { EXPECT_EQ(json::parse(text), json::value(f)); });
}

TEST(WireGolden, QualityRequests)
{
    const std::vector<Vector> vectors = {
        {"standard", R"({"type":"quality","tier":"standard"})", R"({"tier": "standard"})", true},
        {"auto", R"({"type":"quality","tier":"auto"})", R"({"tier": "auto"})", true},
        {"no tier", R"({"type":"quality"})", R"({"tier": null})", true},
    };
    checkKind(
        "listener-requests", vectors,
        [](const json::object& f)
        {
            if (f.at("tier").is_null())
                return std::string(R"({"type":"quality"})");
            return R"({"type":"quality","tier":")" + str(f.at("tier")) + "\"}";
        },
        [](const std::string& text, const json::object& f)
        {
            const QualityRequest request = decodeQualityRequest(text);
            EXPECT_TRUE(request.isQuality);
            if (f.at("tier").is_null())
                EXPECT_FALSE(request.tier);
            else
                EXPECT_EQ(request.tier.value_or(""), str(f.at("tier")));
        });
}

std::vector<Vector> datagramVectors()
{
    std::vector<Vector> out;
    const std::tuple<const char*, std::int64_t, std::int64_t> cases[] = {
        {"default", 0, 0}, {"studio-7_b", 187, 47872}, {"x", 4294967296, 1099511627776}};
    std::uint32_t seed = 0;
    for (const auto& [room, sequence, position] : cases)
    {
        test::DatagramFields d;
        d.room = room;
        d.sequence = sequence;
        d.samplePosition = position;
        d.samples = goldenSamples(seed);
        const auto bytes = test::buildDatagram(d);
        std::string fields = "{\"room\": \"" + d.room + "\", \"sequence\": \"" +
                             std::to_string(sequence) + "\", \"position\": \"" +
                             std::to_string(position) +
                             "\", \"sampleRate\": 48000, \"channels\": 2, \"frames\": 256, "
                             "\"seed\": " +
                             std::to_string(seed) + ", \"samples\": [";
        for (int i = 0; i < 8; ++i)
            fields += (i ? ", " : "") + numberText(d.samples[static_cast<std::size_t>(i)]);
        fields += "]}";
        out.push_back({room, std::string(bytes.begin(), bytes.end()), fields});
        ++seed;
    }
    return out;
}

TEST(WireGolden, Datagram)
{
    checkKind(
        "datagram", datagramVectors(),
        [](const json::object& f)
        {
            test::DatagramFields d;
            d.room = str(f.at("room"));
            d.sequence = int64Field(f, "sequence");
            d.samplePosition = int64Field(f, "position");
            d.samples = goldenSamples(static_cast<std::uint32_t>(f.at("seed").as_int64()));
            const auto bytes = test::buildDatagram(d);
            return std::string(bytes.begin(), bytes.end());
        },
        [](const std::string& bytes, const json::object& f)
        {
            const ParseResult parsed =
                parseDatagram(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            ASSERT_TRUE(parsed.ok());
            EXPECT_EQ(parsed.datagram.room, str(f.at("room")));
            EXPECT_EQ(parsed.datagram.sequence, int64Field(f, "sequence"));
            EXPECT_EQ(parsed.datagram.samplePosition, int64Field(f, "position"));
            const auto& samples = f.at("samples").as_array();
            for (std::size_t i = 0; i < samples.size(); ++i)
            {
                float value = 0;
                std::memcpy(&value, parsed.datagram.samples + 4 * i, 4);
                EXPECT_EQ(value, samples[i].to_number<double>()) << i;
            }
        });
}

std::vector<Vector> clusterVectors()
{
    const auto samples = goldenSamples(3);
    const SharedFrame audio =
        encodeAudioMessage(5, 1280, reinterpret_cast<const std::uint8_t*>(samples.data()));
    const SharedFrame opus = []
    {
        OpusMessageWriter writer;
        writer.begin(0, 96000, 480);
        const std::string packet = fromHex("fc7f8b1e04a9c2d37f60155a");
        writer.addFrame(reinterpret_cast<const std::uint8_t*>(packet.data()), packet.size());
        writer.addFrame(nullptr, 0);
        return writer.finish();
    }();
    return {
        {"lossless, stream start", encodeClusterMessage("relay-a", true, audio.payload()),
         R"({"tier": "lossless", "origin": "relay-a", "streamStart": true, "payload": ")" +
             toHex(audio.payload()) + "\"}"},
        {"standard", encodeClusterMessage("edge_2", false, opus.payload()),
         R"({"tier": "standard", "origin": "edge_2", "streamStart": false, "payload": ")" +
             toHex(opus.payload()) + "\"}"},
    };
}

TEST(WireGolden, ClusterMessage)
{
    checkKind(
        "cluster-message", clusterVectors(),
        [](const json::object& f)
        {
            return encodeClusterMessage(str(f.at("origin")), f.at("streamStart").as_bool(),
                                        fromHex(str(f.at("payload"))));
        },
        [](const std::string& bytes, const json::object& f)
        {
            const ClusterMessage m =
                decodeClusterMessage(bytes.data(), bytes.size(), str(f.at("tier")));
            ASSERT_TRUE(m.ok);
            EXPECT_EQ(m.origin, str(f.at("origin")));
            EXPECT_EQ(m.streamStart, f.at("streamStart").as_bool());
            EXPECT_EQ(toHex(m.message.payload()), str(f.at("payload")));
        });
}

TEST(WireGolden, ClusterInterest)
{
    const std::vector<Vector> vectors = {
        {"two tiers", encodeInterest("relay-b", {"low", "high"}),
         R"({"relay": "relay-b", "tiers": ["low", "high"]})", true},
        {"none", encodeInterest("relay-c", {}), R"({"relay": "relay-c", "tiers": []})", true},
    };
    checkKind(
        "cluster-interest", vectors,
        [](const json::object& f)
        {
            std::vector<std::string> tiers;
            for (const json::value& t : f.at("tiers").as_array())
                tiers.push_back(str(t));
            return encodeInterest(str(f.at("relay")), tiers);
        },
        [](const std::string& text, const json::object& f)
        {
            const Interest interest = decodeInterest(text.data(), text.size());
            ASSERT_TRUE(interest.ok);
            EXPECT_EQ(interest.relay, str(f.at("relay")));
            std::vector<std::string> tiers;
            for (const json::value& t : f.at("tiers").as_array())
                tiers.push_back(str(t));
            EXPECT_EQ(interest.tiers, tiers);
        });
}

} // namespace
} // namespace orlune::relay
