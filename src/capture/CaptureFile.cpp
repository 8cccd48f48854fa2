// Writing and reading capture files with libpcap.
#include "capture/CaptureFile.h"

#include <fcntl.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/SystemError.h"

namespace {

constexpr unsigned kMaxNameNumber = 9999;

std::string DirectionName(uint8_t aDirection) { return std::to_string(aDirection); }

}  // namespace

std::string NumberedCaptureName(const std::string& aPath, unsigned aNumber) {
  const size_t slash = aPath.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = aPath.rfind('.');
  // A leading dot names a hidden file, not an extension.
  if (dot == std::string::npos || dot <= nameStart) dot = aPath.size();
  return aPath.substr(0, dot) + "-" + std::to_string(aNumber) + aPath.substr(dot);
}

// ---------------------------------------------------------------------------------------------
// Writer

struct TCaptureWriter::TPcap {
  pcap_t* Dead = nullptr;
  pcap_dumper_t* Dumper = nullptr;
  ~TPcap() {
    if (Dumper) pcap_dump_close(Dumper);
    if (Dead) pcap_close(Dead);
  }
};

TCaptureWriter::TCaptureWriter(std::string aPath, std::unique_ptr<TPcap> aPcap)
    : FPath(std::move(aPath)), FPcap(std::move(aPcap)) {}

TCaptureWriter::~TCaptureWriter() {
  try {
    Close();
  } catch (const ECaptureError&) {
    // Whoever cared has called Close and heard about it.
  }
}

std::unique_ptr<TCaptureWriter> TCaptureWriter::Create(const std::string& aPath) {
  if (aPath.empty()) throw ECaptureError("a capture needs a file name");
  std::string path = aPath;
  int fd = -1;
  for (unsigned number = 1;; ++number) {
    // O_EXCL: a file that appears between a look and the open is not replaced either.
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) break;
    if (errno != EEXIST || number > kMaxNameNumber)
      throw ECaptureError(path + ": cannot create the capture: " + SysErrorMessage(errno));
    path = NumberedCaptureName(aPath, number);
  }
  std::FILE* file = ::fdopen(fd, "wb");
  if (!file) {
    const int error = errno;
    ::close(fd);
    ::unlink(path.c_str());
    throw ECaptureError(path + ": cannot write the capture: " + SysErrorMessage(error));
  }
  auto pcap = std::make_unique<TPcap>();
  pcap->Dead = pcap_open_dead(kCaptureLinkType, static_cast<int>(kCaptureSnapLength));
  if (pcap->Dead) pcap->Dumper = pcap_dump_fopen(pcap->Dead, file);
  if (!pcap->Dumper) {
    std::fclose(file);
    ::unlink(path.c_str());
    throw ECaptureError(path + ": cannot write the capture header");
  }
  std::unique_ptr<TCaptureWriter> writer(new TCaptureWriter(path, std::move(pcap)));
  writer->Flush();
  return writer;
}

void TCaptureWriter::Write(int64_t aTimeUs, TCaptureDirection aDirection, TByteView aPayload) {
  if (!FPcap) return;
  size_t offset = 0;
  do {
    const size_t length = std::min(aPayload.size() - offset, kCaptureMaxPayload);
    FRecord.assign(1, static_cast<char>(aDirection));
    FRecord.append(aPayload.substr(offset, length));
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(aTimeUs / 1000000);
    header.ts.tv_usec = static_cast<suseconds_t>(aTimeUs % 1000000);
    header.caplen = header.len = static_cast<bpf_u_int32>(length + 1);
    pcap_dump(reinterpret_cast<u_char*>(FPcap->Dumper), &header, reinterpret_cast<const u_char*>(FRecord.data()));
    ++FRecords;
    offset += length;
  } while (offset < aPayload.size());
}

void TCaptureWriter::Flush() {
  if (!FPcap) return;
  errno = 0;
  if (pcap_dump_flush(FPcap->Dumper) != 0 || std::ferror(pcap_dump_file(FPcap->Dumper)))
    throw ECaptureError(FPath + ": writing the capture failed: " + SysErrorMessage(errno ? errno : EIO));
}

void TCaptureWriter::Close() {
  if (!FPcap) return;
  std::unique_ptr<TPcap> pcap = std::move(FPcap);
  std::FILE* file = pcap_dump_file(pcap->Dumper);
  errno = 0;
  const bool flushed = pcap_dump_flush(pcap->Dumper) == 0 && !std::ferror(file);
  const int error = errno;
  // On disk before the program goes, so that a power cut after a clean exit loses nothing.
  ::fsync(fileno(file));
  pcap.reset();
  if (!flushed) throw ECaptureError(FPath + ": writing the capture failed: " + SysErrorMessage(error ? error : EIO));
}

// ---------------------------------------------------------------------------------------------
// Reader

struct TCaptureReader::TPcap {
  pcap_t* Handle = nullptr;
  ~TPcap() {
    if (Handle) pcap_close(Handle);
  }
};

TCaptureReader::TCaptureReader(const std::string& aPath) : FName(aPath) {
  std::FILE* file = std::fopen(aPath.c_str(), "rb");
  if (!file) throw ECaptureError(aPath + ": " + SysErrorMessage(errno));
  Open(file);
}

TCaptureReader::TCaptureReader(std::FILE* aFile, std::string aName) : FName(std::move(aName)) { Open(aFile); }

TCaptureReader::~TCaptureReader() = default;

void TCaptureReader::Open(std::FILE* aFile) {
  char error[PCAP_ERRBUF_SIZE] = {};
  FPcap = std::make_unique<TPcap>();
  FPcap->Handle = pcap_fopen_offline(aFile, error);
  if (!FPcap->Handle) {
    std::fclose(aFile);
    throw ECaptureError(FName + ": not a capture file (" + TrimErrorText(error) + ")");
  }
  const int linkType = pcap_datalink(FPcap->Handle);
  if (linkType != kCaptureLinkType) {
    const char* name = pcap_datalink_val_to_name(linkType);
    throw ECaptureError(FName + ": a capture of link type " + std::to_string(linkType) +
                        (name ? std::string(" (") + name + ")" : std::string()) + ", not USER0 (" +
                        std::to_string(kCaptureLinkType) + ") as the monitor writes");
  }
}

TCaptureReader::TResult TCaptureReader::Next(TCaptureRecord& aRecord) {
  if (FDone) return TResult::End;
  pcap_pkthdr* header = nullptr;
  const u_char* data = nullptr;
  const int result = pcap_next_ex(FPcap->Handle, &header, &data);
  if (result == PCAP_ERROR_BREAK) {
    FDone = true;
    return TResult::End;
  }
  ++FRecordNumber;
  const std::string where = FName + ": record " + std::to_string(FRecordNumber);
  if (result != 1) {
    FDone = true;
    // A short read that hit the end of the file is a record the writer never finished; any
    // other failure is a record no writer of captures makes.
    std::FILE* file = pcap_file(FPcap->Handle);
    const bool atEnd = file && std::feof(file);
    FProblem = where + (atEnd ? " is cut off where the file ends" : " is damaged: " + TrimErrorText(pcap_geterr(FPcap->Handle)));
    return atEnd ? TResult::CutOff : TResult::Damaged;
  }
  const auto damaged = [&](const std::string& aWhy) {
    FDone = true;
    FProblem = where + " is damaged: " + aWhy;
    return TResult::Damaged;
  };
  if (header->caplen != header->len)
    return damaged("it holds " + std::to_string(header->caplen) + " of its " + std::to_string(header->len) + " bytes");
  if (header->caplen == 0) return damaged("it is empty (no direction byte)");
  const uint8_t direction = data[0];
  if (direction > static_cast<uint8_t>(TCaptureDirection::Monitor))
    return damaged("its direction byte " + DirectionName(direction) +
                   " is none of 0 (from the modem), 1 (to the modem) and 2 (a mark of the monitor)");
  if (header->ts.tv_usec < 0 || header->ts.tv_usec >= 1000000)
    return damaged("its time has " + std::to_string(header->ts.tv_usec) + " microseconds");
  aRecord.TimeUs = static_cast<int64_t>(header->ts.tv_sec) * 1000000 + header->ts.tv_usec;
  aRecord.Direction = static_cast<TCaptureDirection>(direction);
  aRecord.Payload.assign(reinterpret_cast<const char*>(data) + 1, header->caplen - 1);
  return TResult::Record;
}
