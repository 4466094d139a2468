#pragma once

#include <pipewire/pipewire.h>
#include <spa/param/video/raw.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ostrovane::test {

// A descriptor connected to the unix socket at `path`, or -1.
int connectSocket(const std::string& path);

// A screen-cast node of the test's own, as a compositor would offer one: a
// driving output stream on a private PipeWire that announces one format and
// size and sends exactly the frames the test hands it, with the flags and
// metadata it asks for.
class TestVideoProducer {
  public:
    struct Cursor {
        std::uint32_t id = 1;
        std::int32_t x = 0;
        std::int32_t y = 0;
        std::int32_t hotspotX = 0;
        std::int32_t hotspotY = 0;
        // RGBA rows of `width` pixels; none: the frame carries no new bitmap.
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        std::vector<std::uint8_t> rgba;
    };
    struct Frame {
        std::vector<std::uint8_t> pixels;  // rows `stride` apart, in the announced format
        std::uint32_t stride = 0;
        std::optional<std::uint32_t> chunkSize;  // pixels.size() unless given
        std::uint32_t chunkFlags = 0;
        std::uint32_t headerFlags = 0;
        std::optional<spa_region> crop;
        std::optional<Cursor> cursor;
    };

    // Connects through the daemon's socket and announces `format` at
    // `width` x `height`; ready() once its node exists.
    TestVideoProducer(const std::string& socket, spa_video_format format, std::uint32_t width,
                      std::uint32_t height);
    ~TestVideoProducer();
    TestVideoProducer(const TestVideoProducer&) = delete;
    TestVideoProducer& operator=(const TestVideoProducer&) = delete;

    bool ready() const { return nodeId_ != SPA_ID_INVALID; }
    const std::string& failure() const { return failure_; }
    std::uint32_t nodeId() const { return nodeId_; }

    // Waits until a consumer is linked and the graph runs.
    bool waitStreaming();
    // Fills a buffer with `frame` and runs the graph until the buffer has
    // left the producer: the consumer has it once it has taken the one
    // before. False when no buffer was free or the graph did not run.
    bool send(const Frame& frame);
    // Runs one graph cycle, which hands a sent buffer to the consumer.
    void trigger();
    // Announces a new size; the consumer renegotiates.
    void resize(std::uint32_t width, std::uint32_t height);
    // Removes the node, as a compositor ending its cast does.
    void disconnect();

  private:
    void announce(std::uint32_t width, std::uint32_t height);
    void onParamChanged(std::uint32_t id, const spa_pod* param);
    static void writeCursor(spa_buffer& buffer, const Cursor& cursor);

    static constexpr std::chrono::seconds kLimit{5};
    spa_video_format format_;
    // The size last offered, and the one agreed on: frames wait for a match.
    std::pair<std::uint32_t, std::uint32_t> announced_;
    std::pair<std::uint32_t, std::uint32_t> negotiated_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_stream* stream_ = nullptr;
    spa_hook listener_{};
    std::uint32_t nodeId_ = SPA_ID_INVALID;
    std::string failure_;
};

}  // namespace ostrovane::test
