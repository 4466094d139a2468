#include "platform/x264/X264VideoEncoders.h"

#include "platform/x264/EncoderLoop.h"
#include "platform/x264/X264Parameters.h"
#include "platform/x264/X264Session.h"

namespace ostrovane::platform::x264 {

namespace {

// The SPS and PPS of the stream, without their length prefixes (the SEI that
// x264 adds is not a parameter set).
std::optional<ParameterSets> readParameterSets(x264_t* encoder) {
    x264_nal_t* nals = nullptr;
    int count = 0;
    if (x264_encoder_headers(encoder, &nals, &count) < 0)
        return std::nullopt;
    ParameterSets sets;
    for (int i = 0; i < count; ++i) {
        const x264_nal_t& nal = nals[i];
        if (nal.i_payload <= 4)
            continue;
        std::vector<std::uint8_t> bytes(nal.p_payload + 4, nal.p_payload + nal.i_payload);
        if (nal.i_type == NAL_SPS)
            sets.sps = std::move(bytes);
        else if (nal.i_type == NAL_PPS)
            sets.pps = std::move(bytes);
    }
    if (sets.sps.empty() || sets.pps.empty())
        return std::nullopt;
    return sets;
}

}  // namespace

VideoEncoderCreation X264VideoEncoders::create(const VideoEncoderSettings& settings) {
    const EvenSize size = evenSizeFor(settings.width, settings.height);
    x264_param_t param;
    if (!makeX264Parameters(settings, size, param))
        return {kX264ParameterError, nullptr};
    X264Handle encoder(x264_encoder_open(&param));
    if (!encoder)
        return {kX264EncoderFailed, nullptr};
    auto headers = readParameterSets(encoder.get());
    if (!headers)
        return {kX264EncoderFailed, nullptr};
    auto loop =
        std::make_shared<EncoderLoop>(std::move(encoder), size.width, size.height, *headers);
    return {0, std::make_unique<X264Session>(std::move(loop), size.width, size.height)};
}

}  // namespace ostrovane::platform::x264
