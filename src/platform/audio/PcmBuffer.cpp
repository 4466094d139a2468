#include "platform/audio/PcmBuffer.h"

#include <limits>
#include <new>
#include <stdexcept>

namespace ostrovane::platform {

namespace {

constexpr std::size_t kPlaneAlignment = 16;

std::size_t roundUpToAlignment(std::size_t bytes) {
    return (bytes + kPlaneAlignment - 1) / kPlaneAlignment * kPlaneAlignment;
}

}  // namespace

PcmBuffer::PcmBuffer(const AudioFormat& format, std::uint32_t frameCapacity)
    : format_(format), frameCapacity_(frameCapacity) {
    const std::size_t planeBytes = std::size_t{frameCapacity} * format_.bytesPerFrame();
    planeStride_ = roundUpToAlignment(planeBytes);
    if (planeStride_ != 0 &&
        format_.planeCount() > std::numeric_limits<std::size_t>::max() / planeStride_) {
        throw std::length_error("PcmBuffer: too large");
    }
    // Value-initialised: a buffer read before it is filled holds silence.
    storage_ = std::make_unique<std::byte[]>(planeStride_ * format_.planeCount());
}

std::unique_ptr<PcmBuffer> PcmBuffer::create(const AudioFormat& format,
                                             std::uint32_t frameCapacity) {
    try {
        return std::make_unique<PcmBuffer>(format, frameCapacity);
    } catch (const std::bad_alloc&) {
        return nullptr;
    } catch (const std::length_error&) {
        return nullptr;
    }
}

void PcmBuffer::setFrameLength(std::uint32_t frames) {
    frameLength_ = frames < frameCapacity_ ? frames : frameCapacity_;
}

std::byte* PcmBuffer::planeStart(std::uint32_t plane) const {
    if (plane >= planeCount() || !storage_)
        return nullptr;
    return storage_.get() + planeStride_ * plane;
}

float* PcmBuffer::floatChannelData(std::uint32_t plane) {
    if (format_.commonFormat() != CommonFormat::pcmFloat32)
        return nullptr;
    return reinterpret_cast<float*>(planeStart(plane));
}

const float* PcmBuffer::floatChannelData(std::uint32_t plane) const {
    return const_cast<PcmBuffer*>(this)->floatChannelData(plane);
}

double* PcmBuffer::doubleChannelData(std::uint32_t plane) {
    if (format_.commonFormat() != CommonFormat::pcmFloat64)
        return nullptr;
    return reinterpret_cast<double*>(planeStart(plane));
}

const double* PcmBuffer::doubleChannelData(std::uint32_t plane) const {
    return const_cast<PcmBuffer*>(this)->doubleChannelData(plane);
}

std::int16_t* PcmBuffer::int16ChannelData(std::uint32_t plane) {
    if (format_.commonFormat() != CommonFormat::pcmInt16)
        return nullptr;
    return reinterpret_cast<std::int16_t*>(planeStart(plane));
}

const std::int16_t* PcmBuffer::int16ChannelData(std::uint32_t plane) const {
    return const_cast<PcmBuffer*>(this)->int16ChannelData(plane);
}

std::int32_t* PcmBuffer::int32ChannelData(std::uint32_t plane) {
    if (format_.commonFormat() != CommonFormat::pcmInt32)
        return nullptr;
    return reinterpret_cast<std::int32_t*>(planeStart(plane));
}

const std::int32_t* PcmBuffer::int32ChannelData(std::uint32_t plane) const {
    return const_cast<PcmBuffer*>(this)->int32ChannelData(plane);
}

std::span<std::byte> PcmBuffer::planeBytes(std::uint32_t plane) {
    std::byte* start = planeStart(plane);
    if (start == nullptr)
        return {};
    return {start, std::size_t{frameLength_} * format_.bytesPerFrame()};
}

std::span<const std::byte> PcmBuffer::planeBytes(std::uint32_t plane) const {
    return const_cast<PcmBuffer*>(this)->planeBytes(plane);
}

std::span<std::byte> PcmBuffer::planeCapacityBytes(std::uint32_t plane) {
    std::byte* start = planeStart(plane);
    if (start == nullptr)
        return {};
    return {start, std::size_t{frameCapacity_} * format_.bytesPerFrame()};
}

AudioBufferList PcmBuffer::audioBufferList() {
    AudioBufferList list;
    const std::uint32_t planes = planeCount();
    list.buffers.reserve(planes);
    const std::uint32_t channelsPerPlane = format_.isInterleaved() ? format_.channelCount() : 1;
    for (std::uint32_t plane = 0; plane < planes; ++plane) {
        list.buffers.push_back(AudioBuffer{channelsPerPlane, planeBytes(plane)});
    }
    return list;
}

}  // namespace ostrovane::platform
