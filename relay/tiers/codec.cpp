#include "tiers/codec.h"

#include <opus.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

namespace orlune::relay
{

std::size_t sanitiseSamples(const std::uint8_t* in, float* out, std::size_t count)
{
    static_assert(sizeof(float) == 4);
    std::memcpy(out, in, count * sizeof(float)); // the datagram's order is the host's (x86, ARM)
    std::size_t changed = 0;
    for (std::size_t i = 0; i < count; ++i)
    {
        const float v = out[i];
        if (!std::isfinite(v))
        {
            out[i] = 0.0f;
            ++changed;
        }
        else if (v > 1.0f || v < -1.0f)
        {
            out[i] = v > 0 ? 1.0f : -1.0f;
            ++changed;
        }
    }
    return changed;
}

OpusFrameEncoder::OpusFrameEncoder(int bitrate)
{
    int error = OPUS_OK;
    encoder_ =
        opus_encoder_create(48000, kOpusChannels, OPUS_APPLICATION_RESTRICTED_LOWDELAY, &error);
    if (error != OPUS_OK || encoder_ == nullptr)
        throw std::runtime_error(std::string("opus encoder: ") + opus_strerror(error));
    opus_encoder_ctl(encoder_, OPUS_SET_BITRATE(bitrate));
    opus_encoder_ctl(encoder_, OPUS_SET_COMPLEXITY(kOpusComplexity));
    opus_encoder_ctl(encoder_, OPUS_SET_SIGNAL(OPUS_SIGNAL_MUSIC));
    // Constrained VBR: quality follows the music, the rate stays near what the tier promises.
    opus_encoder_ctl(encoder_, OPUS_SET_VBR(1));
    opus_encoder_ctl(encoder_, OPUS_SET_VBR_CONSTRAINT(1));
    opus_encoder_ctl(encoder_, OPUS_SET_BANDWIDTH(OPUS_BANDWIDTH_FULLBAND));
}

OpusFrameEncoder::~OpusFrameEncoder()
{
    opus_encoder_destroy(encoder_);
}

std::size_t OpusFrameEncoder::encode(const float* frame, std::uint8_t* out)
{
    const opus_int32 n = opus_encode_float(encoder_, frame, kOpusFrameSamples, out,
                                           static_cast<opus_int32>(kMaxOpusPacket));
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

void OpusFrameEncoder::reset()
{
    opus_encoder_ctl(encoder_, OPUS_RESET_STATE);
}

int OpusFrameEncoder::lookahead() const
{
    opus_int32 samples = 0;
    opus_encoder_ctl(encoder_, OPUS_GET_LOOKAHEAD(&samples));
    return samples;
}

} // namespace orlune::relay
