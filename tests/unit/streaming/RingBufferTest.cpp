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

Bytes seq(std::uint8_t from, std::size_t n) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<std::uint8_t>(from + i);
    return out;
}

TEST(CircularByteBuffer, EmptyReadIsNothingAndZeroReadIsEmpty) {
    CircularByteBuffer buffer(8);
    EXPECT_EQ(buffer.availableBytes(), 0);
    EXPECT_EQ(buffer.read(4), std::nullopt);
    buffer.write(seq(1, 3));
    EXPECT_THAT(buffer.read(0), Optional(Bytes{}));
    EXPECT_EQ(buffer.availableBytes(), 3);
    EXPECT_THAT(buffer.read(100), Optional(seq(1, 3)));  // more than held: exactly what is held
    EXPECT_EQ(buffer.read(1), std::nullopt);
}

TEST(CircularByteBuffer, OverflowDropsTheOldestAndOversizedWritesKeepTheirHead) {
    CircularByteBuffer buffer(8);
    buffer.write(seq(1, 6));
    buffer.write(seq(101, 5));  // 3 oldest go
    EXPECT_EQ(buffer.availableBytes(), 8);
    EXPECT_THAT(buffer.read(8), Optional(Bytes{4, 5, 6, 101, 102, 103, 104, 105}));

    CircularByteBuffer fresh(8);
    fresh.write(seq(1, 10));
    EXPECT_THAT(fresh.read(10), Optional(seq(1, 8)));

    fresh.write(seq(1, 5));
    fresh.write(seq(50, 8));  // exactly the capacity replaces everything
    EXPECT_THAT(fresh.read(8), Optional(seq(50, 8)));
}

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
