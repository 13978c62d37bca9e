// The guard within one process. (The startup tests hold it in another copy
// of the program and kill that copy.)
#include <gtest/gtest.h>

#include "platform/process.h"

namespace {

using State = platform::InstanceGuard::State;

TEST(InstanceGuardTest, OneHolderAtATime) {
  auto first = platform::InstanceGuard::Acquire("@TLV-DVD Update@\r\n");
  ASSERT_EQ(first.state(), State::kAcquired);
  auto second = platform::InstanceGuard::Acquire("@TLV-DVD Update@\r\n");
  EXPECT_EQ(second.state(), State::kHeldElsewhere);
  auto other = platform::InstanceGuard::Acquire("another program");
  EXPECT_EQ(other.state(), State::kAcquired);
  platform::InstanceGuard moved = std::move(first);
  EXPECT_EQ(platform::InstanceGuard::Acquire("@TLV-DVD Update@\r\n").state(), State::kHeldElsewhere);
  moved.Release();
  EXPECT_EQ(platform::InstanceGuard::Acquire("@TLV-DVD Update@\r\n").state(), State::kAcquired);
}

}  // namespace
