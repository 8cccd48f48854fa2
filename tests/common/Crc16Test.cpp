#include <gtest/gtest.h>

#include "common/ByteString.h"
#include "common/Crc16.h"

TEST(Crc16X25, PublishedCheckValueAndFrameExamples) {
  const std::string check = "123456789";
  EXPECT_EQ(crc16x25::Compute(check.data(), check.size()), 0x906E);
  const TByteString status = Bytes({0x0C});
  EXPECT_EQ(crc16x25::Compute(status.data(), status.size()), 0x3A14);
  EXPECT_EQ(crc16x25::Compute(nullptr, 0), 0x0000);
}

TEST(Crc16X25, RegisterOverDataAndItsFcsLeavesTheGoodResidue) {
  TByteString frame = Bytes({0x10, 0x00, 0x7E, 0x7D, 0xFF});
  const uint16_t fcs = crc16x25::Compute(frame.data(), frame.size());
  frame.push_back(static_cast<char>(fcs & 0xFF));
  frame.push_back(static_cast<char>(fcs >> 8));
  EXPECT_EQ(crc16x25::Update(crc16x25::kInit, frame.data(), frame.size()), crc16x25::kGoodResidue);
  frame[1] = 0x01;
  EXPECT_NE(crc16x25::Update(crc16x25::kInit, frame.data(), frame.size()), crc16x25::kGoodResidue);
}
