// The reader thread parsing while the window thread composes, clears and reads: every copy is
// whole and the statistics add up.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "LogPacketBuilder.h"
#include "protocol/FrameCodec.h"

namespace {

// Packet i carries one DRC index (and one power) throughout, so that a copy mixing two packets shows.
TByteString Stream(int aPackets) {
  TByteString stream;
  for (int i = 0; i < aPackets; ++i) {
    const auto index = static_cast<uint16_t>(1 + i % 14);
    TPacket arq = TPacket::Log(0x108C, 118);
    for (size_t s = 0; s < 16; ++s) arq.U16(16 + 2 * s, static_cast<uint16_t>(index << 8)).U16(67 + 2 * s, static_cast<uint16_t>(index << 8));
    stream += FrameBytes(arq.Bytes());
    stream += FrameBytes(TPacket::Log(0x1069, 42).I16(23, static_cast<int16_t>(256 * index)).I16(25, static_cast<int16_t>(-256 * index)).Bytes());
    stream += FrameBytes(TPacket::Log(0x1192, 244).U32(20 + 4 * 3, 1).Bytes());              // 1024: 1
    stream += FrameBytes(TPacket::Log(0x127E, 1733).U32(17, 2).Bytes());                     // 128: 2
    stream += FrameBytes(TPacket::Log(0x12A2, 393).U16(23, static_cast<uint16_t>(283 + i % 4)).U32(25 + 4 * 74, 1).Bytes());
    stream += FrameBytes(TPacket::Log(0x1298, 88).U8(17, 1).U32(24, static_cast<uint32_t>(index) << 16).Bytes());
  }
  return stream;
}

}  // namespace

TEST(StatsConcurrency, ParsesAndReadOutsNeverInterleave) {
  constexpr int kPackets = 400;
  const TByteString stream = Stream(kPackets);
  TMessageQueue messages;
  TModem modem(&messages, 0, br4800, evChar, dbEightBits, stbOneStopBits, false, fcNone, prNoParity);
  modem.SetEvdoType(evtRevB);

  std::atomic<bool> done{false};
  std::jthread reader([&] {
    // Reads of odd sizes, as a port hands them over.
    for (size_t at = 0; at < stream.size(); at += 997) modem.ProcessReceivedBytes(TByteView(stream).substr(at, 997));
    done = true;
  });

  int reads = 0;
  while (!done || reads < 10) {
    ++reads;
    modem.ComposeDRC();
    if (reads % 7 == 0) modem.ClearDRC();
    (void)modem.DRC_Forward();
    (void)modem.DRC_Reverse();
    (void)modem.ARQDataB();
    const float rate = modem.ARQDataA();
    EXPECT_TRUE(rate == 0.0f || std::find(std::begin(DrcRatesRevA), std::end(DrcRatesRevA), rate) != std::end(DrcRatesRevA));

    const ARQData_A arq = modem.EvdoArqDataA();
    for (int s = 0; s < 16; ++s) {
      ASSERT_EQ(arq.SlotDataArray_0[s].Drc, arq.SlotDataArray_0[0].Drc) << "a torn copy";
      ASSERT_EQ(arq.SlotDataArray_1[s].Drc, arq.SlotDataArray_0[0].Drc) << "a torn copy";
    }
    const CarrierDataRevA_ power = modem.CarrDataRevA();
    ASSERT_EQ(power.TxTotal, -power.RxPowerAntenna_0) << "a torn copy";
    for (const auto& [size, data] : modem.DRCForwardStatList()) ASSERT_EQ(size, data.drcValue());
  }
  reader.join();

  EXPECT_EQ(modem.RXPacketsCount(), 2u * kPackets);
  EXPECT_EQ(modem.TXPacketsCount(), 2u * kPackets);
  const TDRCStatList forward = modem.DRCForwardStatList();
  const TDRCStatList reverse = modem.DRCReverseStatList();
  ASSERT_EQ(forward.size(), 2u);
  EXPECT_EQ(forward.at(1024).drcBytes(), static_cast<uint64_t>(kPackets));
  EXPECT_EQ(forward.at(8192).drcCount(), static_cast<uint64_t>(kPackets));
  ASSERT_EQ(reverse.size(), 1u);
  EXPECT_EQ(reverse.at(128).drcBytes(), 2u * kPackets);
  EXPECT_EQ(modem.BadFramesCount(), 0u);
}
