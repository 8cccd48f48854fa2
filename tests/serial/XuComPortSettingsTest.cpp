// Opening the port and the line settings it hands to the tty.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <cstdio>

#include "SerialTestSupport.h"
#include "common/SystemError.h"
#include "serial/PosixBaudRate.h"
#include "serial/PosixTermios.h"

namespace {

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Number = Table.RegisterExtraPort(Pty.Path, "test pty");
    Prepare(Port);
  }
  void Prepare(TCustomXuComPort& aPort) {
    aPort.SetPortTable(&Table);
    aPort.SetPortNumber(Number);
  }
  std::string PortSuffix() const { return ": COM" + std::to_string(Number); }

  TPty Pty;
  TPortTable Table;
  uint16_t Number = 0;
  TXuComPort Port;
};

TEST(XuComPortValues, BaudRateNumbersAndPortName) {
  const int expected[] = {110,   300,   600,   1200,  2400,   4800,   9600,   14400,
                          19200, 38400, 56000, 57600, 115200, 128000, 256000, 0};
  TXuComPort port;
  for (int rate = br110; rate <= brUser; ++rate) {
    port.SetBaudRate(static_cast<TXuBaudRate>(rate));
    EXPECT_EQ(port.GetNumericBaudRate(), expected[rate]) << rate;
  }
  port.SetPortNumber(7);
  EXPECT_EQ(port.GetPortName(), "COM7");
  EXPECT_FALSE(port.Active());
  EXPECT_EQ(port.Handle(), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(port.ReadDone());
  EXPECT_TRUE(port.WriteDone());
}

TEST_F(SerialPortTest, OpenMakesTheLineRawExclusiveAndReadsItsSettings) {
  termios before = Pty.SlaveSettings();
  cfsetspeed(&before, B9600);
  ASSERT_EQ(tcsetattr(Pty.Slave(), TCSANOW, &before), 0);

  ASSERT_TRUE(Port.Open());
  EXPECT_TRUE(Port.Active());
  EXPECT_EQ(Port.DCB().BaudRate, 9600u);
  EXPECT_EQ(Port.DCB().ByteSize, 8);
  EXPECT_EQ(Port.DCB().DCBlength, sizeof(TDeviceControlBlock));

  // No echo, no CR/LF translation, no XON/XOFF, no signals: bytes pass untouched.
  const termios t = Pty.SlaveSettings();
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), CREAD | CLOCAL);

  // A pty has no modem lines; the refused line commands are not reported.
  Port.SetDTR(true);
  Port.SetRTS(true);
  EXPECT_TRUE(Port.DTR() && Port.RTS());

  int exclusive = -1;
  ASSERT_EQ(ioctl(Pty.Slave(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  Port.Close();
  EXPECT_FALSE(Port.Active());
  // Left set, the flag would refuse the next open by anyone but root.
  ASSERT_EQ(ioctl(Pty.Slave(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  EXPECT_TRUE(Port.Open());
}

TEST(SerialPortLines, OpenCommandsTheLinesAsSetBeforehand) {
  const struct {
    bool Dtr, Rts;
    std::vector<uint32_t> Commands;
  } cases[] = {
      {false, false, {kClrDtr, kClrRts}},  // the defaults, which the setters alone never send
      {true, false, {kSetDtr, kClrRts}},
      {false, true, {kClrDtr, kSetRts}},
  };
  for (const auto& c : cases) {
    TBench b;
    b.Port.SetDTR(c.Dtr);
    b.Port.SetRTS(c.Rts);
    ASSERT_TRUE(b.Port.Open());
    std::lock_guard lock(b.Probe->Lock);
    EXPECT_EQ(b.Probe->LineCommands, c.Commands) << c.Dtr << c.Rts;
  }
}

TEST_F(SerialPortTest, FailedOpensRaiseTheirTextAndLeaveThePortClosed) {
  char fileName[] = "/tmp/xucomport-XXXXXX";
  const int fd = mkstemp(fileName);
  ASSERT_GE(fd, 0);
  close(fd);
  const uint16_t plainFile = Table.RegisterExtraPort(fileName, "not a tty");
  const uint16_t missing = Table.RegisterExtraPort("/dev/no-such-serial-device", "gone");
  TXuComPort holder;
  Prepare(holder);
  ASSERT_TRUE(holder.Open());

  struct {
    uint16_t Number;
    std::string Message;
  } const cases[] = {
      {7, "Device is not connected: COM7"},
      {missing, "Device is not connected: COM" + std::to_string(missing)},
      {plainFile, SysErrorMessage(ENOTTY) + ": COM" + std::to_string(plainFile)},
      {Number, SysErrorMessage(EBUSY) + PortSuffix()},
  };
  for (const auto& c : cases) {
    Port.SetPortNumber(c.Number);
    try {
      Port.Open();
      ADD_FAILURE() << "opened COM" << c.Number;
    } catch (const EXuComPortError& e) {
      EXPECT_EQ(e.what(), c.Message);
    }
    EXPECT_FALSE(Port.Active()) << c.Message;
  }
  EXPECT_TRUE(holder.Active());
  unlink(fileName);
}

// Every setting maps onto termios and reads back into the same block. A pty keeps the speed,
// stop bits, flow control and characters but forces eight data bits and no parity, so those
// cases are checked on the mapping alone.
TEST_F(SerialPortTest, SettingsMapOntoTermiosAndReadBack) {
  using TCheck = std::function<void(const termios& aAfter, const termios& aBefore, uint32_t aCustomRate)>;
  struct TCase {
    const char* Name;
    bool PtyKeepsIt;
    std::function<void(TXuComPort&)> Apply;
    TCheck Check;
  };
  const auto parityBits = [](tcflag_t aExpected) -> TCheck {
    return [aExpected](const termios& t, const termios&, uint32_t) {
      EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), aExpected);
    };
  };
  const TCase cases[] = {
      {"115200", true, [](TXuComPort& p) { p.SetBaudRate(br115200); },
       [](const termios& t, const termios&, uint32_t) { EXPECT_EQ(cfgetospeed(&t), speed_t(B115200)); }},
      {"14400 has no B-constant", true, [](TXuComPort& p) { p.SetBaudRate(br14400); },
       [](const termios&, const termios&, uint32_t rate) { EXPECT_EQ(rate, 14400u); }},
      {"256000 has no B-constant", true, [](TXuComPort& p) { p.SetBaudRate(br256000); },
       [](const termios&, const termios&, uint32_t rate) { EXPECT_EQ(rate, 256000u); }},
      {"user rate keeps the line speed", true, [](TXuComPort& p) { p.SetBaudRate(brUser); },
       [](const termios& t, const termios& before, uint32_t) { EXPECT_EQ(cfgetospeed(&t), cfgetospeed(&before)); }},
      {"seven data bits", false, [](TXuComPort& p) { p.SetDataBits(dbSevenBits); },
       [](const termios& t, const termios&, uint32_t) { EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS7)); }},
      {"five data bits, one and a half stop bits", false,
       [](TXuComPort& p) {
         p.SetDataBits(dbFiveBits);
         p.SetStopBits(stbOne5StopBits);
       },
       [](const termios& t, const termios&, uint32_t) { EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB), tcflag_t(CS5 | CSTOPB)); }},
      {"odd parity", false, [](TXuComPort& p) { p.SetParity(prOddParity); }, parityBits(PARENB | PARODD)},
      {"even parity", false, [](TXuComPort& p) { p.SetParity(prEvenParity); }, parityBits(PARENB)},
      {"mark parity", false, [](TXuComPort& p) { p.SetParity(prMarkParity); }, parityBits(PARENB | PARODD | CMSPAR)},
      {"space parity", false, [](TXuComPort& p) { p.SetParity(prSpaceParity); }, parityBits(PARENB | CMSPAR)},
      {"two stop bits", true, [](TXuComPort& p) { p.SetStopBits(stbTwoStopBits); },
       [](const termios& t, const termios&, uint32_t) { EXPECT_TRUE(t.c_cflag & CSTOPB); }},
      {"XON/XOFF with own characters", true,
       [](TXuComPort& p) {
         p.SetXOnChar('Q');
         p.SetXOffChar('S');
         p.SetFlowControl(fcXOnXOff);
       },
       [](const termios& t, const termios&, uint32_t) {
         EXPECT_EQ(t.c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
         EXPECT_EQ(t.c_cc[VSTART], 'Q');
         EXPECT_EQ(t.c_cc[VSTOP], 'S');
         EXPECT_FALSE(t.c_cflag & CRTSCTS);
       }},
      {"hardware flow control", true, [](TXuComPort& p) { p.SetFlowControl(fcHardware); },
       [](const termios& t, const termios&, uint32_t) {
         EXPECT_TRUE(t.c_cflag & CRTSCTS);
         EXPECT_FALSE(t.c_iflag & (IXON | IXOFF));
       }},
      {"parity check", true, [](TXuComPort& p) { p.SetOptions({coParityCheck, coIgnoreXOff}); },
       [](const termios& t, const termios&, uint32_t) { EXPECT_TRUE(t.c_iflag & INPCK); }},
  };
  constexpr uint32_t kTermiosFlags = kDcbBinary | kDcbParityCheck | kDcbOutX | kDcbInX | kDcbOutxCtsFlow | kDcbRtsHandshake;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    // A closed port still builds its block: map it as the device does.
    TXuComPort closed;
    c.Apply(closed);
    const TDeviceControlBlock block = closed.DCB();
    termios before = Pty.SlaveSettings();
    MakeRawLine(before);
    termios mapped = before;
    bool customRate = false;
    ASSERT_EQ(DcbToTermios(block, mapped, &customRate), 0);
    c.Check(mapped, before, customRate ? block.BaudRate : 0);

    TDeviceControlBlock back{};
    // The device sets and reads a rate without a B-constant through termios2.
    if (!TermiosToDcb(mapped, back) || customRate) back.BaudRate = block.BaudRate;
    if (block.BaudRate) {
      EXPECT_EQ(back.BaudRate, block.BaudRate);
    }
    EXPECT_EQ(back.ByteSize, block.ByteSize);
    EXPECT_EQ(back.Parity, block.Parity);
    EXPECT_EQ(back.StopBits, block.StopBits);
    EXPECT_EQ(back.XonChar, block.XonChar);
    EXPECT_EQ(back.XoffChar, block.XoffChar);
    EXPECT_EQ(back.Flags & kTermiosFlags, block.Flags & kTermiosFlags);

    if (!c.PtyKeepsIt) continue;
    TXuComPort port;
    Prepare(port);
    ASSERT_TRUE(port.Open());
    const termios atOpen = Pty.SlaveSettings();
    c.Apply(port);
    uint32_t rate = 0;
    ASSERT_EQ(GetCustomBaudRate(Pty.Slave(), rate), 0);
    c.Check(Pty.SlaveSettings(), atOpen, rate);
  }
}

TEST_F(SerialPortTest, SettingsTheLineCannotTakeRaiseTheSetStateError) {
  const std::function<void(TXuComPort&)> cases[] = {
      [](TXuComPort& p) { p.SetDataBits(dbFourBits); },
      [](TXuComPort& p) { p.SetStopBits(stbOne5StopBits); },  // with eight data bits
  };
  for (const auto& apply : cases) {
    TXuComPort port;
    Prepare(port);
    ASSERT_TRUE(port.Open());
    try {
      apply(port);
      ADD_FAILURE() << "accepted";
    } catch (const EXuComPortError& e) {
      EXPECT_EQ(std::string(e.what()), "Failed to set port DCB!\r\n" + SysErrorMessage(EINVAL));
    }
    EXPECT_TRUE(port.Active());
  }
}

TEST_F(SerialPortTest, OnlyAChangedSettingReachesTheDevice) {
  auto probe = std::make_shared<TProbe>();
  Port.SetDeviceFactory([probe] { return std::make_unique<TProbeDevice>(probe); });
  ASSERT_TRUE(Port.Open());
  Port.SetBaudRate(br4800);  // its present value
  Port.SetXOnLimit(100);     // stored only
  EXPECT_EQ(probe->SetStateCalls, 0);
  Port.SetParity(prEvenParity);
  EXPECT_EQ(probe->SetStateCalls, 1);
  std::lock_guard lock(probe->Lock);
  EXPECT_EQ(probe->LastSet.XonLim, 100);
  EXPECT_EQ(probe->LastSet.Parity, 2);
  EXPECT_EQ(probe->LastSet.Flags, kDcbBinary);
}

TEST_F(SerialPortTest, SettingsMadeWhileLoadingWaitForLoaded) {
  auto probe = std::make_shared<TProbe>();
  Port.SetDeviceFactory([probe] { return std::make_unique<TProbeDevice>(probe); });
  ASSERT_TRUE(Port.Open());
  Port.BeginLoading();
  Port.SetBaudRate(br9600);
  Port.SetDataBits(dbSevenBits);
  EXPECT_EQ(probe->SetStateCalls, 0);
  Port.Loaded();
  EXPECT_EQ(probe->SetStateCalls, 1);
  const termios t = Pty.SlaveSettings();
  EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
}

}  // namespace
