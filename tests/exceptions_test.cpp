#include "vexo/util/exceptions.hpp"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>

namespace {

TEST(Error, CarriesItsMessageThroughEveryBase) {
  try {
    throw vexo::Error(std::string("Illegal capacity for thread pool: 0"));
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Illegal capacity for thread pool: 0");
    const auto* error = dynamic_cast<const vexo::Error*>(&e);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->get_message(), "Illegal capacity for thread pool: 0");
  }
  EXPECT_THROW(throw vexo::Error("x"), std::runtime_error);
  // The pool's namespace names the same type.
  static_assert(std::is_same_v<vexo::util::Error, vexo::Error>);
  EXPECT_THROW(throw vexo::Error("x"), vexo::util::Error);
  const vexo::Error empty("");
  EXPECT_EQ(empty.get_message(), "");
}

TEST(Error, CopiesShareTheMessage) {
  vexo::Error a("first");
  const vexo::Error b(a);
  a = vexo::Error("second");
  EXPECT_EQ(b.get_message(), "first");
  EXPECT_EQ(a.get_message(), "second");
}

TEST(Error, MessageIsCutAtAZeroCharacter) {
  const vexo::Error e(std::string("ab\0cd", 5));
  EXPECT_EQ(e.get_message(), "ab");
}

TEST(Error, GetMessageFollowsAnOverriddenWhat) {
  struct Derived : vexo::Error {
    Derived() : vexo::Error("base text") {}
    const char* what() const noexcept override { return "derived text"; }
  };
  const Derived d;
  const vexo::Error& as_base = d;
  EXPECT_EQ(as_base.get_message(), "derived text");
}

}  // namespace
