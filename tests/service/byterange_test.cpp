#include "service/ByteRange.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using Span = ByteRange::Span;

TEST(ByteRange, ResolvesAgainstTheSizeWithoutLeavingTheFile) {
  EXPECT_EQ((ByteRange{}.Resolve(100)), (Span{0, 100}));
  EXPECT_EQ((ByteRange{10, 5, 0}.Resolve(100)), (Span{10, 5}));
  EXPECT_EQ((ByteRange{90, 50, 0}.Resolve(100)), (Span{90, 10}));
  EXPECT_EQ((ByteRange{90, -1, 0}.Resolve(100)), (Span{90, 10}));
  EXPECT_EQ((ByteRange{150, 10, 0}.Resolve(100)), (Span{100, 0}));
  EXPECT_EQ((ByteRange{UINT64_MAX, INT64_MAX, 0}.Resolve(100)), (Span{100, 0}));
  EXPECT_EQ((ByteRange{0, INT64_MAX, 0}.Resolve(UINT64_MAX)), (Span{0, INT64_MAX}));
  EXPECT_EQ((ByteRange{}.Resolve(0)), (Span{0, 0}));
}

TEST(ByteRange, ASuffixCountsBackFromTheEndAndOverridesTheStart) {
  EXPECT_EQ((ByteRange{0, -1, 30}.Resolve(100)), (Span{70, 30}));
  EXPECT_EQ((ByteRange{5, 2, 30}.Resolve(100)), (Span{70, 30}));
  EXPECT_EQ((ByteRange{0, -1, 500}.Resolve(100)), (Span{0, 100}));
  EXPECT_EQ((ByteRange{0, -1, 1}.Resolve(0)), (Span{0, 0}));
}

TEST(ByteRange, OnlyAStartAtOrPastTheEndIsUnsatisfiable) {
  EXPECT_TRUE((ByteRange{}.Satisfiable(0)));
  EXPECT_TRUE((ByteRange{99, 5, 0}.Satisfiable(100)));
  EXPECT_FALSE((ByteRange{100, -1, 0}.Satisfiable(100)));
  EXPECT_FALSE((ByteRange{1, -1, 0}.Satisfiable(0)));
  EXPECT_TRUE((ByteRange{0, -1, 500}.Satisfiable(0)));
}

}  // namespace
