#include "platform/x264/X264Parameters.h"

#include <algorithm>
#include <cstdarg>
#include <limits>

namespace ostrovane::platform::x264 {

namespace {

// x264 writes its log to standard error by default, which is the helper's
// text channel: every message is dropped.
void discardLog(void*, int, const char*, va_list) {}

// H.264 VUI code points (ITU-T H.273).
constexpr int kPrimariesBT709 = 1;  // sRGB screens use BT.709 primaries
constexpr int kTransferSRGB = 13;   // IEC 61966-2-1
constexpr int kMatrixBT601 = 6;     // SMPTE 170M, libyuv's ARGBToI420 matrix

// The largest picture H.264 allows (level 6.2): 139264 macroblocks, and no
// side longer than sqrt(8 * 139264) = 1055 macroblocks. x264 would open a
// larger session and allocate for it; we refuse it instead.
constexpr std::int64_t kMaxMacroblocks = 139264;
constexpr std::int64_t kMaxSideMacroblocks = 1055;

}  // namespace

EvenSize evenSizeFor(std::int32_t width, std::int32_t height) {
    const int w = width & ~1, h = height & ~1;
    if (w < 2 || h < 2)
        return {};
    const std::int64_t across = (w + 15) / 16, down = (h + 15) / 16;
    if (across > kMaxSideMacroblocks || down > kMaxSideMacroblocks ||
        across * down > kMaxMacroblocks)
        return {};
    return {w, h};
}

bool makeX264Parameters(const VideoEncoderSettings& settings, EvenSize size, x264_param_t& param) {
    const std::int64_t kbps = settings.averageBitrate / 1000;
    if (size.width < 2 || size.height < 2 || settings.frameRate < 1 ||
        settings.maxKeyframeInterval < 1 || kbps < 1)
        return false;
    if (x264_param_default_preset(&param, kX264Preset, "zerolatency") < 0)
        return false;
    param.pf_log = discardLog;
    param.i_log_level = X264_LOG_NONE;

    param.i_csp = X264_CSP_I420;
    param.i_width = size.width;
    param.i_height = size.height;
    param.i_fps_num = static_cast<std::uint32_t>(settings.frameRate);
    param.i_fps_den = 1;
    param.i_timebase_num = 1;
    param.i_timebase_den = static_cast<std::uint32_t>(settings.frameRate);
    param.b_vfr_input = 0;

    // One encoding thread: the least CPU per frame (no slice or frame
    // threads to synchronise), and no frame is ever held back.
    param.i_threads = 1;
    param.b_sliced_threads = 0;
    param.i_sync_lookahead = 0;
    param.rc.i_lookahead = 0;
    param.i_bframe = 0;

    // Pictures may say which macroblocks did not change (I420Converter).
    param.analyse.b_mb_info = 1;

    param.i_keyint_max = settings.maxKeyframeInterval;
    param.i_scenecut_threshold = 0;
    param.b_intra_refresh = 0;

    const int rate =
        static_cast<int>(std::min<std::int64_t>(kbps, std::numeric_limits<int>::max()));
    param.rc.i_rc_method = X264_RC_ABR;
    param.rc.i_bitrate = rate;
    param.rc.i_vbv_max_bitrate = rate;
    param.rc.i_vbv_buffer_size = rate;

    param.vui.b_fullrange = 0;
    param.vui.i_colorprim = kPrimariesBT709;
    param.vui.i_transfer = kTransferSRGB;
    param.vui.i_colmatrix = kMatrixBT601;

    param.b_annexb = 0;
    param.b_repeat_headers = 0;
    param.b_aud = 0;
    return x264_param_apply_profile(&param, "main") == 0;
}

}  // namespace ostrovane::platform::x264
