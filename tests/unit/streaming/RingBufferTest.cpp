#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <random>

#include "streaming/CircularByteBuffer.h"
#include "streaming/CircularFrameBuffer.h"

namespace ostrovane::streaming {
namespace {

using Bytes = std::vector<std::uint8_t>;
using ::testing::Optional;

// Random operations against a deque that does what the buffer promises.
TEST(CircularByteBuffer, BehavesLikeABoundedQueueUnderRandomOperations) {
    std::mt19937 random(1234);
    for (std::int64_t capacity : {1, 2, 3, 7, 16, 31}) {
        CircularByteBuffer buffer(capacity);
        std::deque<std::uint8_t> model;
        std::uint8_t next = 0;
        for (int step = 0; step < 4000; ++step) {
            const int op = std::uniform_int_distribution<int>(0, 9)(random);
            if (op < 5) {
                const auto n = std::uniform_int_distribution<std::size_t>(0, capacity * 2)(random);
                Bytes data(n);
                for (auto& b : data)
                    b = next++;
                buffer.write(data);
                const auto kept = std::min<std::size_t>(n, static_cast<std::size_t>(capacity));
                model.insert(model.end(), data.begin(), data.begin() + static_cast<long>(kept));
                while (model.size() > static_cast<std::size_t>(capacity))
                    model.pop_front();
            } else if (op < 9) {
                const auto n = std::uniform_int_distribution<std::int64_t>(0, capacity + 2)(random);
                auto got = buffer.read(n);
                if (model.empty()) {
                    ASSERT_EQ(got, std::nullopt);
                } else {
                    const auto take =
                        std::min<std::size_t>(model.size(), static_cast<std::size_t>(n));
                    Bytes expected(model.begin(), model.begin() + static_cast<long>(take));
                    model.erase(model.begin(), model.begin() + static_cast<long>(take));
                    ASSERT_THAT(got, Optional(expected)) << "capacity " << capacity;
                }
            } else {
                buffer.clear();
                model.clear();
            }
            ASSERT_EQ(buffer.availableBytes(), static_cast<std::int64_t>(model.size()));
        }
    }
}

// A frame ring holds one less than its capacity and drops the oldest.
TEST(CircularFrameBuffer, BehavesLikeABoundedQueueUnderRandomOperations) {
    std::mt19937 random(99);
    for (std::int64_t capacity : {1, 2, 5, 9}) {
        CircularFrameBuffer<int> buffer(capacity);
        std::deque<int> model;
        int next = 0;
        for (int step = 0; step < 3000; ++step) {
            if (std::uniform_int_distribution<int>(0, 2)(random) != 0) {
                buffer.append(next);
                model.push_back(next++);
                if (static_cast<std::int64_t>(model.size()) > capacity - 1)
                    model.pop_front();
            } else {
                auto got = buffer.removeFirst();
                if (model.empty()) {
                    ASSERT_EQ(got, std::nullopt);
                } else {
                    ASSERT_EQ(got, model.front());
                    model.pop_front();
                }
            }
            ASSERT_EQ(buffer.count(), static_cast<std::int64_t>(model.size()));
        }
    }
}

}  // namespace
}  // namespace ostrovane::streaming
