#include "base/Base64.h"

#include <gtest/gtest.h>

TEST(Base64, EqualsSignEndsItsGroupAndLineEndsAreSkipped) {
  EXPECT_EQ(tessel::Base64Decode("TQ==TWE="), "MMa");
  EXPECT_EQ(tessel::Base64Decode("TW\r\nFu/+//"), "Man\xff\xef\xff");
}
