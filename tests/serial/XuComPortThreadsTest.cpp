// The reader and writer threads over a pty: data events, stopping, hang-up, pausing, writes.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include "SerialTestSupport.h"
#include "common/SystemError.h"

namespace {

TByteString AllByteValues() {
  TByteString bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  return bytes;
}

TEST(SerialReader, DeliversTheAnnouncedBytesOnItsOwnThread) {
  TBench b;
  ASSERT_TRUE(b.Port.Open());
  ASSERT_TRUE(b.StartReader());
  // Every byte value, CR, LF, XON, XOFF and 0x7E included, must arrive untouched.
  const TByteString pattern = AllByteValues() + AllByteValues();
  b.Pty.Send(pattern);
  ASSERT_TRUE(b.Recorder.WaitFor([&] { return b.Recorder.Received.size() >= pattern.size(); }));
  b.Recorder.Read([&] {
    EXPECT_EQ(HexDump(b.Recorder.Received), HexDump(pattern));
    EXPECT_EQ(b.Recorder.ShortReads, 0);
    EXPECT_EQ(b.Recorder.OffReaderEvents, 0);
    for (uint32_t len : b.Recorder.DataLens) EXPECT_GT(len, 0u);
    EXPECT_TRUE(b.Recorder.Errors.empty());
  });
}

TEST(SerialReader, StopReadAndCloseEndTheReader) {
  struct {
    const char* Name;
    void (*Stop)(TXuComPort&);
  } const cases[] = {
      {"StopRead", [](TXuComPort& p) { p.StopRead(); }},
      {"Close", [](TXuComPort& p) { p.Close(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TBench b;
    ASSERT_TRUE(b.Port.Open());
    ASSERT_TRUE(b.StartReader());
    EXPECT_FALSE(b.Port.ReadDone());
    c.Stop(b.Port);
    EXPECT_TRUE(Eventually([&] { return b.Port.ReadDone(); }));
    EXPECT_EQ(b.Port.ReadThread(), nullptr);
    EXPECT_TRUE(b.Recorder.Read([&] { return b.Recorder.Errors.empty(); }));
  }
}

TEST(SerialReader, StopDuringAHandlerLetsTheHandlerFinish) {
  TBench b;
  TManualResetEvent entered, release;
  std::atomic<bool> finished{false};
  b.Recorder.BeforeData = [&] {
    entered.Set();
    release.WaitFor(10s);
    finished = true;
  };
  ASSERT_TRUE(b.Port.Open());
  ASSERT_TRUE(b.StartReader());
  b.Pty.Send("x");
  ASSERT_TRUE(entered.WaitFor(10s));
  b.Port.StopRead();
  EXPECT_FALSE(b.Port.ReadDone());
  release.Set();
  EXPECT_TRUE(Eventually([&] { return b.Port.ReadDone(); }));
  EXPECT_TRUE(finished);
  EXPECT_EQ(b.Recorder.Read([&] { return b.Recorder.Received; }), "x");
}

TEST(SerialReader, AGoneFarEndEndsTheReaderWithOneReport) {
  TBench b;
  ASSERT_TRUE(b.Port.Open());
  ASSERT_TRUE(b.StartReader());
  b.Pty.Send("abc");
  ASSERT_TRUE(b.Recorder.WaitFor([&] { return b.Recorder.Received == "abc"; }));
  b.Pty.CloseMaster();
  ASSERT_TRUE(Eventually([&] { return b.Port.ReadDone(); }));
  const std::vector<std::string> expected = {SysErrorMessage(EIO)};
  EXPECT_EQ(b.Recorder.Read([&] { return b.Recorder.Errors; }), expected);
  EXPECT_TRUE(b.Port.ThreadError());
  EXPECT_EQ(b.Port.ThreadErrorText(), SysErrorMessage(EIO));
  EXPECT_TRUE(b.Port.Active());  // a report leaves the port open
  b.Port.Close();
  EXPECT_FALSE(b.Port.Active());
}

// A handler that leaves the bytes queued must not make the level-triggered wait spin; the next
// event comes with new bytes and reports old and new together.
TEST(SerialReader, UnreadBytesWaitForNewOnesWithoutSpinning) {
  TBench b(/*aReadInHandler=*/false);
  ASSERT_TRUE(b.Port.Open());
  ASSERT_TRUE(b.StartReader());
  b.Pty.Send("12345");
  ASSERT_TRUE(b.Recorder.WaitFor([&] { return !b.Recorder.DataLens.empty(); }));
  const int waitsBefore = b.Probe->WaitEventCalls;
  std::this_thread::sleep_for(300ms);  // an idle stretch in which a spinning reader would show
  EXPECT_LT(b.Probe->WaitEventCalls - waitsBefore, 100);
  EXPECT_EQ(b.Recorder.Read([&] { return b.Recorder.DataLens; }), std::vector<uint32_t>{5});

  b.Pty.Send("678");
  ASSERT_TRUE(b.Recorder.WaitFor([&] { return b.Recorder.DataLens.back() == 8; }));
  EXPECT_EQ(b.Recorder.Read([&] { return b.Recorder.DataLens; }), (std::vector<uint32_t>{5, 8}));
}

TEST(SerialReader, NoDataEventWhilePaused) {
  struct {
    const char* Name;
    void (*Resume)(TXuComPort&);
  } const cases[] = {
      {"ResumeRead", [](TXuComPort& p) { p.ResumeRead(); }},
      {"StartRead resumes a paused reader", [](TXuComPort& p) { p.StartRead(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TBench b;
    ASSERT_TRUE(b.Port.Open());
    ASSERT_TRUE(b.StartReader());
    b.Port.PauseRead();
    EXPECT_TRUE(b.Port.ReadThread()->Suspended());
    b.Pty.Send("ping");
    std::this_thread::sleep_for(200ms);  // time in which an unpaused reader would have fired
    EXPECT_TRUE(b.Recorder.Read([&] { return b.Recorder.DataLens.empty(); }));
    c.Resume(b.Port);
    EXPECT_TRUE(b.Recorder.WaitFor([&] { return b.Recorder.Received == "ping"; }));
  }
}

TEST(SerialReader, PauseWaitsForARunningHandlerButNotFromInsideIt) {
  TBench b;
  TManualResetEvent entered, pausing;
  std::atomic<bool> handlerDone{false};
  std::atomic<int> events{0};
  b.Recorder.BeforeData = [&] {
    if (++events == 1) {
      entered.Set();
      pausing.WaitFor(10s);
      std::this_thread::sleep_for(50ms);  // lets a PauseRead that does not wait return first
      handlerDone = true;
    } else {
      b.Port.PauseRead();  // the handler pausing its own reader
    }
  };
  ASSERT_TRUE(b.Port.Open());
  ASSERT_TRUE(b.StartReader());
  b.Pty.Send("a");
  ASSERT_TRUE(entered.WaitFor(10s));
  bool doneWhenPaused = false;
  std::thread pauser([&] {
    pausing.Set();
    b.Port.PauseRead();
    doneWhenPaused = handlerDone;
  });
  pauser.join();
  EXPECT_TRUE(doneWhenPaused);

  b.Port.ResumeRead();
  b.Pty.Send("b");
  ASSERT_TRUE(b.Recorder.WaitFor([&] { return b.Recorder.Received == "ab"; }));
  EXPECT_TRUE(Eventually([&] { return b.Port.ReadThread()->Suspended(); }));
}

TEST(SerialReader, PauseAndResumeNeedAReader) {
  TXuComPort port;
  for (auto call : {&TXuComPort::PauseRead, &TXuComPort::ResumeRead}) {
    try {
      (port.*call)();
      ADD_FAILURE() << "no exception";
    } catch (const EXuComPortError& e) {
      EXPECT_EQ(std::string(e.what()), "Read thread is not created!");
    }
  }
}

TEST(SerialReader, SecondStartReadIsRefused) {
  TBench b;
  ASSERT_TRUE(b.Port.Open());
  ASSERT_TRUE(b.StartReader());
  try {
    b.Port.StartRead();
    ADD_FAILURE() << "no exception";
  } catch (const EXuComPortError& e) {
    EXPECT_EQ(std::string(e.what()), "Read thread is already running!");
  }
}

TEST(SerialReader, StartUpFailuresAreReportedAndEndTheReader) {
  struct {
    int PurgeError;
    int WaitMaskError;
    std::string Text;
  } const cases[] = {
      {EIO, 0, "*** Error cleaning Com-port:\r\n" + SysErrorMessage(EIO)},
      {0, EINVAL, "*** Failed to set the event mask Com-port:\r\n" + SysErrorMessage(EINVAL)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    TBench b;
    ASSERT_TRUE(b.Port.Open());
    b.Probe->PurgeError = c.PurgeError;
    b.Probe->WaitMaskError = c.WaitMaskError;
    b.Port.StartRead();
    ASSERT_TRUE(Eventually([&] { return b.Port.ReadDone(); }));
    EXPECT_EQ(b.Recorder.Read([&] { return b.Recorder.Errors; }), std::vector<std::string>{c.Text});
    EXPECT_TRUE(b.Port.ThreadError());
    EXPECT_EQ(b.Port.ThreadErrorText(), c.Text);

    // The failed reader is gone; the next StartRead makes a new one and clears the error.
    b.Probe->PurgeError = 0;
    b.Probe->WaitMaskError = 0;
    ASSERT_TRUE(b.StartReader());
    EXPECT_FALSE(b.Port.ThreadError());
    EXPECT_EQ(b.Port.ThreadErrorText(), "");
  }
}

TEST(SerialReader, ReadsDuringCloseAreRefused) {
  TBench b;
  TManualResetEvent inClose, handlerRead;
  TByteString during = "unset";
  int readResult = 0;
  b.Port.OnData = [&](TCustomXuComPort* Sender, uint32_t) {
    if (!inClose.WaitFor(10s)) return;
    during = Sender->ReadString();
    char byte = 0;
    readResult = Sender->ReadData(&byte, 1);
    handlerRead.Set();
  };
  // Close's own purge holds Close open until the handler has tried its reads.
  b.Probe->PurgeHook = [&] {
    inClose.Set();
    handlerRead.WaitFor(10s);
  };
  ASSERT_TRUE(b.Port.Open());
  ASSERT_TRUE(b.StartReader());
  b.Probe->HookArmed = true;
  b.Pty.Send("data");
  b.Port.Close();
  ASSERT_TRUE(handlerRead.IsSet());
  EXPECT_EQ(during, "");
  EXPECT_EQ(readResult, -1);
  EXPECT_TRUE(Eventually([&] { return b.Port.ReadDone(); }));
}

TEST(SerialDirectRead, CasesWithoutData) {
  struct {
    const char* Name;
    void (*Prepare)(TBench&);
    std::vector<std::string> Reports;
  } const cases[] = {
      {"reader running", [](TBench& b) { ASSERT_TRUE(b.StartReader()); }, {"Read thread is already running!"}},
      {"far end gone", [](TBench& b) { b.Pty.CloseMaster(); },
       {"*** Failed to read from Com-port:\r\n" + SysErrorMessage(EIO)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TBench b;
    ASSERT_TRUE(b.Port.Open());
    c.Prepare(b);
    TByteString data = "stale";
    int size = 0;
    EXPECT_FALSE(b.Port.DirectRead(data, size));
    EXPECT_EQ(size, -1);
    EXPECT_EQ(data, "");
    EXPECT_EQ(b.Recorder.Read([&] { return b.Recorder.Errors; }), c.Reports);
  }
}

TEST(SerialDirectRead, ClosingThePortEndsAWaitWithoutAReport) {
  TBench b;
  ASSERT_TRUE(b.Port.Open());
  std::thread closer([&b] {
    // Once the read waits.
    Eventually([&b] { return b.Probe->WaitEventCalls > 0; });
    b.Port.Close();
  });
  TByteString data;
  int size = 0;
  EXPECT_FALSE(b.Port.DirectRead(data, size));
  closer.join();
  EXPECT_EQ(size, -1);
  EXPECT_TRUE(b.Recorder.Read([&] { return b.Recorder.Errors.empty(); }));
}

TEST(SerialDirectRead, KeepsAnAnswerAlreadyQueuedAndWaitsForOneToCome) {
  TBench b;
  ASSERT_TRUE(b.Port.Open());
  b.Pty.Send("early");
  ASSERT_TRUE(Eventually([&] {
    uint32_t queued = 0;
    return ioctl(b.Pty.Slave(), FIONREAD, &queued) == 0 && queued == 5;
  }));
  TByteString data;
  int size = 0;
  ASSERT_TRUE(b.Port.DirectRead(data, size));
  EXPECT_EQ(data, "early");
  EXPECT_EQ(size, 5);

  std::thread modem([&b] {
    Eventually([&b] { return b.Probe->WaitEventCalls > 0; });
    b.Pty.Send("late");
  });
  const bool read = b.Port.DirectRead(data, size);
  modem.join();
  ASSERT_TRUE(read);
  // The data event may come with the first bytes of a write only.
  EXPECT_EQ(std::string("late").substr(0, data.size()), data);
  EXPECT_EQ(size, static_cast<int>(data.size()));
  EXPECT_TRUE(b.Recorder.Read([&] { return b.Recorder.Errors.empty(); }));
}

TEST(SerialWriter, WriteDataReportsTheCountOnItsThread) {
  TBench b;
  ASSERT_TRUE(b.Port.Open());
  const TByteString frame = Bytes({0x4B, 0x0C, 0x00, 0x7D, 0x5E, 0x11, 0x13, 0x0D, 0x0A, 0x7E});
  b.Port.WriteData(frame.data(), static_cast<int>(frame.size()));
  EXPECT_EQ(HexDump(b.Pty.Receive(frame.size())), HexDump(frame));
  ASSERT_TRUE(b.Recorder.WaitFor([&] { return !b.Recorder.Writes.empty(); }));
  EXPECT_TRUE(Eventually([&] { return b.Port.WriteDone(); }));
  const std::vector<std::pair<uint32_t, bool>> expected = {{static_cast<uint32_t>(frame.size()), true}};
  EXPECT_EQ(b.Recorder.Read([&] { return b.Recorder.Writes; }), expected);
  EXPECT_TRUE(b.Recorder.Read([&] { return b.Recorder.Errors.empty(); }));
}

TEST(SerialWriter, DirectWriteDataWritesEverythingFromTheCaller) {
  TBench b;
  const TByteString frame = AllByteValues();
  EXPECT_FALSE(b.Port.DirectWriteData(frame.data(), static_cast<int>(frame.size())));  // not open
  ASSERT_TRUE(b.Port.Open());
  EXPECT_TRUE(b.Port.DirectWriteData(frame.data(), static_cast<int>(frame.size())));
  EXPECT_EQ(HexDump(b.Pty.Receive(frame.size())), HexDump(frame));
  EXPECT_TRUE(b.Recorder.Read([&] { return b.Recorder.Writes.empty() && b.Recorder.Errors.empty(); }));
}

TEST(SerialWriter, AStoppedPendingWriteReportsNothing) {
  TBench b;
  ASSERT_TRUE(b.Port.Open());
  // Far more than the pty holds while nobody reads the other side: the write stays pending.
  const TByteString big(4u << 20, 'x');
  b.Port.WriteData(big.data(), static_cast<int>(big.size()));
  try {
    b.Port.WriteData(big.data(), 1);
    ADD_FAILURE() << "no exception";
  } catch (const EXuComPortError& e) {
    EXPECT_EQ(std::string(e.what()), "Write thread is already running!");
  }
  b.Port.StopWrite();
  EXPECT_TRUE(Eventually([&] { return b.Port.WriteDone(); }));
  EXPECT_TRUE(b.Recorder.Read([&] { return b.Recorder.Writes.empty() && b.Recorder.Errors.empty(); }));
}

TEST(SerialWriter, WriteDataOnAClosedPortIsReported) {
  TBench b;
  const char byte = 0x7E;
  b.Port.WriteData(&byte, 1);
  EXPECT_TRUE(Eventually([&] { return b.Port.WriteDone(); }));
  EXPECT_EQ(b.Recorder.Read([&] { return b.Recorder.Errors; }), std::vector<std::string>{SysErrorMessage(EBADF)});
  EXPECT_TRUE(b.Port.ThreadError());
}

TEST(SerialPortLifetime, DestroyingAPortWithBusyThreadsReturns) {
  const TByteString big(4u << 20, 'x');
  {
    TBench b;
    ASSERT_TRUE(b.Port.Open());
    ASSERT_TRUE(b.StartReader());
    b.Port.WriteData(big.data(), static_cast<int>(big.size()));
    b.Port.PauseRead();
  }
  SUCCEED();
}

}  // namespace
