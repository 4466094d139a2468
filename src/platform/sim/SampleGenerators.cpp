#include "platform/sim/SampleGenerators.h"

#include <cmath>
#include <numbers>

#include "platform/sim/SimSampleBuffer.h"

namespace ostrovane::platform::sim::generators {

namespace {

template <class ValueFn>
std::shared_ptr<const SampleBuffer> fill(const BufferSlot& slot, ValueFn value) {
    return std::make_shared<SimSampleBuffer>(slot.layout, slot.described, slot.frames,
                                             renderPcm(slot.layout, slot.frames, value),
                                             slot.presentationTime);
}

}  // namespace

SampleGenerator tone(double frequencyHz, double amplitude) {
    return [frequencyHz, amplitude](const BufferSlot& slot) {
        const double step = 2 * std::numbers::pi * frequencyHz / slot.layout.sampleRate;
        const std::int64_t first = slot.index * slot.frames;
        return fill(slot, [&](std::int64_t i, std::size_t) {
            return amplitude * std::sin(step * static_cast<double>(first + i));
        });
    };
}

SampleGenerator constant(double value) {
    return [value](const BufferSlot& slot) {
        return fill(slot, [value](std::int64_t, std::size_t) { return value; });
    };
}

SampleGenerator silence() {
    return constant(0.0);
}

SampleGenerator stall() {
    return [](const BufferSlot&) { return std::shared_ptr<const SampleBuffer>(); };
}

SampleGenerator sequence(SampleGenerator first, std::int64_t slots, SampleGenerator then) {
    return [first = std::move(first), slots, then = std::move(then)](const BufferSlot& slot) {
        if (slot.index < slots)
            return first(slot);
        BufferSlot later = slot;
        later.index -= slots;
        return then(later);
    };
}

}  // namespace ostrovane::platform::sim::generators
