#include "tamu/tamu.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <type_traits>

namespace {

// Counts live objects, so that every construction is matched by a
// destruction and moved-from objects are told apart.
struct Counted {
  static inline int live = 0;
  int value = 0;
  Counted() { ++live; }
  explicit Counted(int v) : value(v) { ++live; }
  Counted(const Counted& o) : value(o.value) { ++live; }
  Counted(Counted&& o) noexcept : value(o.value) {
    o.value = -1;
    ++live;
  }
  Counted& operator=(const Counted&) = default;
  Counted& operator=(Counted&&) = default;
  ~Counted() { --live; }
  friend bool operator==(const Counted& a, const Counted& b) { return a.value == b.value; }
};

template <typename Size>
class SmallVectorTest : public ::testing::Test {
 protected:
  static constexpr std::size_t N = Size::value;
  using Vec = tamu::SmallVector<Counted, N>;
  void TearDown() override { EXPECT_EQ(Counted::live, 0); }
};

using InlineSizes =
    ::testing::Types<std::integral_constant<std::size_t, 0>, std::integral_constant<std::size_t, 1>,
                     std::integral_constant<std::size_t, 2>, std::integral_constant<std::size_t, 4>,
                     std::integral_constant<std::size_t, 5>>;
TYPED_TEST_SUITE(SmallVectorTest, InlineSizes);

TYPED_TEST(SmallVectorTest, GrowsPastInlineRoomKeepingElements) {
  typename TestFixture::Vec v;
  EXPECT_TRUE(v.empty());
  EXPECT_EQ(v.capacity(), TestFixture::N);
  for (int i = 0; i < 37; ++i) v.push_back(Counted(i));
  ASSERT_EQ(v.size(), 37u);
  EXPECT_FALSE(v.is_inline());
  int expected = 0;
  for (const Counted& c : v) EXPECT_EQ(c.value, expected++);
  EXPECT_EQ(Counted::live, 37);
  v.pop_back();
  EXPECT_EQ(v.back().value, 35);
  v.clear();
  EXPECT_EQ(Counted::live, 0);
}

TYPED_TEST(SmallVectorTest, CountingConstructorValueInitialises) {
  typename TestFixture::Vec v(7);
  ASSERT_EQ(v.size(), 7u);
  for (const Counted& c : v) EXPECT_EQ(c.value, 0);
  tamu::SmallVector<std::uint64_t, TestFixture::N> ids(9);
  for (std::uint64_t id : ids) EXPECT_EQ(id, 0u);
}

TYPED_TEST(SmallVectorTest, CopyAndMoveInlineAndHeap) {
  for (int n : {0, 1, static_cast<int>(TestFixture::N), static_cast<int>(TestFixture::N) + 3}) {
    typename TestFixture::Vec a;
    for (int i = 0; i < n; ++i) a.emplace_back(i * 10);
    typename TestFixture::Vec b(a);
    EXPECT_TRUE(a == b);
    typename TestFixture::Vec c(std::move(b));
    EXPECT_TRUE(b.empty());
    EXPECT_TRUE(a == c) << n;
    typename TestFixture::Vec d;
    d.emplace_back(99);
    d = c;
    EXPECT_TRUE(d == a);
    d = std::move(c);
    EXPECT_TRUE(c.empty());
    EXPECT_TRUE(d == a);
    auto& same = d;
    d = same;  // self-assignment keeps the elements
    EXPECT_TRUE(d == a);
    // The moved-from vectors are reusable.
    c.emplace_back(5);
    EXPECT_EQ(c.size(), 1u);
  }
}

TYPED_TEST(SmallVectorTest, PushBackOfOwnElementWhileGrowing) {
  typename TestFixture::Vec v;
  v.emplace_back(7);
  for (int i = 0; i < 20; ++i) v.push_back(v[0]);  // argument lives in the buffer that grows
  for (const Counted& c : v) EXPECT_EQ(c.value, 7);
}

TYPED_TEST(SmallVectorTest, ResizeShrinksAndGrows) {
  typename TestFixture::Vec v(10);
  v[3].value = 3;
  v.resize(4);
  EXPECT_EQ(Counted::live, 4);
  EXPECT_EQ(v[3].value, 3);
  v.resize(12);
  EXPECT_EQ(v.size(), 12u);
  EXPECT_EQ(v[11].value, 0);
  EXPECT_THROW((void)v.at(12), std::out_of_range);
}

TEST(SmallVector, SizeTypeIs32Bits) {
  static_assert(std::is_same_v<tamu::SmallVector<int, 4>::size_type, std::uint32_t>);
  tamu::SmallVector<std::string, 2> names{"a", "bb", "ccc"};
  EXPECT_EQ(names[2], "ccc");
}

TEST(Cat, JoinsTextsAndDecimalNumbers) {
  EXPECT_EQ(tamu::cat("Illegal capacity: ", std::uint64_t{0}), "Illegal capacity: 0");
  EXPECT_EQ(tamu::cat("(", std::numeric_limits<std::uint64_t>::max(), ")"),
            "(18446744073709551615)");
  const std::string s = "mid";
  EXPECT_EQ(tamu::cat(tamu::string_view("a\0b", 3), s, "z"), std::string("a\0bmidz", 7));
  EXPECT_EQ(tamu::cat("", ""), "");
}

TEST(Trigger, StaysSetUntilReset) {
  tamu::Trigger trigger(false);
  EXPECT_FALSE(trigger.wait_for(std::chrono::milliseconds(1)));
  trigger.trigger();
  EXPECT_TRUE(trigger.wait_for(std::chrono::hours(1)));  // returns at once
  EXPECT_TRUE(trigger.wait_for(std::chrono::hours(1)));
  trigger.reset();
  EXPECT_FALSE(trigger.is_set());
  EXPECT_TRUE(tamu::Trigger(true).wait_for(std::chrono::hours(1)));
}

TEST(Trigger, WaitTimesOutNoEarlierThanAsked) {
  tamu::Trigger trigger(false);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(trigger.wait_for(std::chrono::milliseconds(30)));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(30));
}

TEST(Trigger, WakesAWaitingThread) {
  tamu::Trigger trigger(false);
  bool woke = false;
  std::thread waiter([&] { woke = trigger.wait_for(std::chrono::hours(1)); });
  trigger.trigger();
  waiter.join();  // would hang for an hour if the wake-up were lost
  EXPECT_TRUE(woke);
}

}  // namespace
