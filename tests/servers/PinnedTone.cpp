#include "servers/PinnedTone.h"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cmath>
#include <numbers>
#include <thread>
#include <vector>

namespace ostrovane::test {

struct PinnedTone::Player {
    pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    double step = 0;     // phase advance per sample
    double phase = 0;    // main loop thread only
    bool ready = false;  // set on the main loop thread, read with its lock

    static void onStream(pa_stream* s, void* self) {
        auto* p = static_cast<Player*>(self);
        p->ready = pa_stream_get_state(s) == PA_STREAM_READY;
    }
    static void onWrite(pa_stream* s, std::size_t bytes, void* self) {
        auto* p = static_cast<Player*>(self);
        std::vector<std::int16_t> samples(bytes / sizeof(std::int16_t));
        for (std::size_t i = 0; i + 1 < samples.size(); i += 2) {
            samples[i] = samples[i + 1] = static_cast<std::int16_t>(16384 * std::sin(p->phase));
            p->phase = std::fmod(p->phase + p->step, 2 * std::numbers::pi);
        }
        pa_stream_write(s, samples.data(), samples.size() * sizeof(std::int16_t), nullptr, 0,
                        PA_SEEK_RELATIVE);
    }
};

PinnedTone::PinnedTone(const std::string& server, const std::string& sink, double hertz)
    : player_(std::make_unique<Player>()) {
    Player& p = *player_;
    if (!p.loop || pa_threaded_mainloop_start(p.loop) < 0)
        return;
    p.step = 2 * std::numbers::pi * hertz / 48000;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    // Polled, so that a server that never answers costs 5 s and no more.
    auto waitFor = [&](auto done) {
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            pa_threaded_mainloop_unlock(p.loop);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            pa_threaded_mainloop_lock(p.loop);
        }
        return done();
    };
    pa_threaded_mainloop_lock(p.loop);
    p.context = pa_context_new(pa_threaded_mainloop_get_api(p.loop), "ostrovane-test-tone");
    const bool connected =
        pa_context_connect(p.context, server.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0 &&
        waitFor([&] {
            const auto state = pa_context_get_state(p.context);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        }) &&
        pa_context_get_state(p.context) == PA_CONTEXT_READY;
    if (connected) {
        const pa_sample_spec spec{PA_SAMPLE_S16LE, 48000, 2};
        p.stream = pa_stream_new(p.context, "ostrovane test tone", &spec, nullptr);
        pa_stream_set_state_callback(p.stream, &Player::onStream, &p);
        pa_stream_set_write_callback(p.stream, &Player::onWrite, &p);
        if (pa_stream_connect_playback(p.stream, sink.c_str(), nullptr, PA_STREAM_DONT_MOVE,
                                       nullptr, nullptr) >= 0) {
            waitFor([&] { return p.ready || !PA_STREAM_IS_GOOD(pa_stream_get_state(p.stream)); });
        }
    }
    pa_threaded_mainloop_unlock(p.loop);
}

PinnedTone::~PinnedTone() {
    Player& p = *player_;
    if (!p.loop)
        return;
    pa_threaded_mainloop_lock(p.loop);
    if (p.stream) {
        pa_stream_disconnect(p.stream);
        pa_stream_unref(p.stream);
    }
    if (p.context) {
        pa_context_disconnect(p.context);
        pa_context_unref(p.context);
    }
    pa_threaded_mainloop_unlock(p.loop);
    pa_threaded_mainloop_stop(p.loop);
    pa_threaded_mainloop_free(p.loop);
}

bool PinnedTone::playing() const {
    if (!player_->loop)
        return false;
    pa_threaded_mainloop_lock(player_->loop);
    const bool ready = player_->ready;
    pa_threaded_mainloop_unlock(player_->loop);
    return ready;
}

}  // namespace ostrovane::test
