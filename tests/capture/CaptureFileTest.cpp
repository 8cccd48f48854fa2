// Capture files: what is written reads back the same (here and in tshark), no file is ever
// replaced, a file cut anywhere in its last record still gives the records before it, and every
// kind of bad file is refused with one line naming the file and the record.
#include <pcap/pcap.h>

#include <cstring>

#include "CaptureTestSupport.h"
#include "capture/ReplayCapture.h"

using namespace capture_test;

namespace {

constexpr size_t kFileHeader = 24;
constexpr size_t kRecordHeader = 16;

std::vector<TCaptureRecord> SampleRecords() {
  return {
      ReaderMark(1'700'000'000'000'000),
      ToModem(1'700'000'000'000'100, ComposeCommand("0C")),
      FromModem(1'700'000'000'004'000, FrameBytes(Bytes({0x0C, 0x00, 0x7E, 0x7D}))),
      Rec(1'700'000'000'500'000, TCaptureDirection::Monitor, Bytes({2, 3})),
      FromModem(1'700'000'001'000'000, TByteString(300, '\x42') + "\x7E"),
  };
}

// The record header's four words, as this machine's libpcap writes them.
void PatchWord(TByteString& aFile, size_t aOffset, uint32_t aValue) { std::memcpy(aFile.data() + aOffset, &aValue, 4); }

}  // namespace

TEST(CaptureFile, RecordsReadBackAsWrittenAndTsharkCountsThem) {
  TTempDir dir;
  std::vector<TCaptureRecord> records = SampleRecords();
  // A read longer than a record may be goes into several records of the same time.
  records.push_back(FromModem(1'700'000'002'000'000, TByteString(kCaptureMaxPayload + 10, '\x11')));
  const std::string path = WriteCapture(dir / "a.pcap", records);

  const std::vector<TCaptureRecord> back = ReadCapture(path);
  ASSERT_EQ(back.size(), records.size() + 1);
  for (size_t i = 0; i + 1 < records.size(); ++i) {
    EXPECT_EQ(back[i].TimeUs, records[i].TimeUs) << i;
    EXPECT_EQ(back[i].Direction, records[i].Direction) << i;
    EXPECT_EQ(back[i].Payload, records[i].Payload) << i;
  }
  EXPECT_EQ(back[records.size() - 1].Payload.size(), kCaptureMaxPayload);
  EXPECT_EQ(back[records.size()].Payload.size(), 10u);
  EXPECT_EQ(back[records.size()].TimeUs, records.back().TimeUs);

  const std::optional<size_t> tshark = TsharkCount(path);
  if (!tshark) GTEST_SKIP() << "tshark is not installed";
  EXPECT_EQ(*tshark, back.size());
}

TEST(CaptureFile, NeverReplacesAFile) {
  const struct {
    const char* Path;
    unsigned Number;
    const char* Expected;
  } names[] = {
      {"drive.pcap", 1, "drive-1.pcap"},
      {"/tmp/x.d/drive", 12, "/tmp/x.d/drive-12"},
      {"dir/.hidden", 2, "dir/.hidden-2"},
      {"a.b.pcap", 3, "a.b-3.pcap"},
  };
  for (const auto& n : names) EXPECT_EQ(NumberedCaptureName(n.Path, n.Number), n.Expected);

  TTempDir dir;
  WriteFile(dir / "drive.pcap", "keep me");
  EXPECT_EQ(WriteCapture(dir / "drive.pcap", SampleRecords()), dir / "drive-1.pcap");
  EXPECT_EQ(WriteCapture(dir / "drive.pcap", SampleRecords()), dir / "drive-2.pcap");
  EXPECT_EQ(ReadFile(dir / "drive.pcap"), "keep me");
  EXPECT_EQ(ReadCapture(dir / "drive-2.pcap").size(), SampleRecords().size());
  EXPECT_THROW(TCaptureWriter::Create(dir / "no/such/dir.pcap"), ECaptureError);
}

// A writer that never finished leaves its last record short; every length of it must do.
TEST(CaptureFile, CutAnywhereInTheLastRecordTheOthersStillReplay) {
  TTempDir dir;
  const std::vector<TCaptureRecord> records = SampleRecords();
  const TByteString whole = ReadFile(WriteCapture(dir / "whole.pcap", records));
  const size_t lastStart = whole.size() - kRecordHeader - 1 - records.back().Payload.size();
  const TByteString expected = records[2].Payload;  // the modem's bytes before the last record

  for (size_t cut = lastStart + 1; cut <= whole.size(); ++cut) {
    SCOPED_TRACE(cut);
    const std::string path = dir / ("cut-" + std::to_string(cut) + ".pcap");
    WriteFile(path, TByteView(whole).substr(0, cut));
    const auto capture = TReplayCapture::Load(path);
    if (cut == whole.size()) {
      EXPECT_EQ(capture->Size(), records.size());
      EXPECT_TRUE(capture->Warning().empty());
      continue;
    }
    ASSERT_EQ(capture->Size(), records.size() - 1);
    EXPECT_NE(capture->Warning().find(path + ": record 5 is cut off"), std::string::npos) << capture->Warning();

    TReplaySource source(capture, "replay:x", TReplaySpeed{true, 1});
    TMonitorStandIn monitor(source);
    ASSERT_EQ(monitor.Open(), 0);
    monitor.StartReader();
    monitor.Write(ComposeCommand("0C"));
    EXPECT_EQ(monitor.Run(), expected);
    EXPECT_TRUE(source.Ended());
  }
}

TEST(CaptureFile, BadFilesAreRefusedNamingTheFileAndTheRecord) {
  TTempDir dir;
  const TByteString good = ReadFile(WriteCapture(dir / "good.pcap", SampleRecords()));
  const size_t second = kFileHeader + kRecordHeader + 2;  // record 2's header (record 1: a one-byte mark)
  const auto patched = [&](size_t aOffset, uint32_t aValue) {
    TByteString file = good;
    PatchWord(file, aOffset, aValue);
    return file;
  };
  TByteString badDirection = good;
  badDirection[second + kRecordHeader] = 9;

  const std::string ethernet = dir / "ethernet.pcap";
  {
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, ethernet.c_str());
    pcap_dump_close(dumper);
    pcap_close(dead);
  }

  const struct {
    const char* Name;
    TByteString Bytes;  // empty: the file is made above
    const char* Says;
  } cases[] = {
      {"text.pcap", "this is no capture\n", "not a capture file"},
      {"empty.pcap", std::string(), "not a capture file"},
      {"ethernet.pcap", {}, "link type 1 (EN10MB), not USER0 (147)"},
      {"huge.pcap", patched(second + 8, 0x7FFFFFFF), "record 2 is damaged"},
      {"short.pcap", patched(second + 12, 9), "record 2 is damaged: it holds 5 of its 9 bytes"},
      {"nodirection.pcap", patched(second + 8, 0), "record 2 is damaged"},
      {"direction.pcap", badDirection, "record 2 is damaged: its direction byte 9"},
      {"usec.pcap", patched(second + 4, 1'000'000), "record 2 is damaged: its time has 1000000 microseconds"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string path = dir / c.Name;
    if (std::string(c.Name) != "ethernet.pcap") WriteFile(path, c.Bytes);
    try {
      TReplayCapture::Load(path);
      ADD_FAILURE() << "loaded";
    } catch (const ECaptureError& e) {
      const std::string text = e.what();
      EXPECT_EQ(text.rfind(path + ": ", 0), 0u) << text;
      EXPECT_NE(text.find(c.Says), std::string::npos) << text;
      EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    }
  }

  // Only the monitor's commands: nothing a replay could play.
  const std::string silent = WriteCapture(dir / "silent.pcap", {ToModem(1, ComposeCommand("0C")), ReaderMark(2)});
  EXPECT_THROW(
      {
        try {
          TReplayCapture::Load(silent);
        } catch (const ECaptureError& e) {
          EXPECT_NE(std::string(e.what()).find("nothing from the modem"), std::string::npos) << e.what();
          throw;
        }
      },
      ECaptureError);
}
