// The settings block on termios.
#include "serial/PosixTermios.h"

#include <cerrno>

namespace {

struct TSpeed {
  uint32_t Rate;
  speed_t Code;
};

constexpr TSpeed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

constexpr tcflag_t kByteSizeFlags[] = {CS5, CS6, CS7, CS8};

// Flag bits termios holds; the others are the block's own.
constexpr uint32_t kTermiosFlags = kDcbBinary | kDcbParityCheck | kDcbOutX | kDcbInX | kDcbOutxCtsFlow | kDcbRtsHandshake;

}  // namespace

void MakeRawLine(termios& aTermios) {
  ::cfmakeraw(&aTermios);
  aTermios.c_iflag &= ~(IXOFF | IXANY);
  aTermios.c_cflag |= CLOCAL | CREAD;
  // VMIN 1 makes an empty non-blocking read answer EAGAIN instead of a 0 that looks like EOF.
  aTermios.c_cc[VMIN] = 1;
  aTermios.c_cc[VTIME] = 0;
}

int DcbToTermios(const TDeviceControlBlock& aDcb, termios& aTermios, bool* aCustomRate) {
  if (aDcb.ByteSize < 5 || aDcb.ByteSize > 8 || aDcb.Parity > 4 || aDcb.StopBits > 2) return EINVAL;
  // The UART rule: one and a half stop bits go only with five data bits, two never do.
  if (aDcb.StopBits == 1 && aDcb.ByteSize != 5) return EINVAL;
  if (aDcb.StopBits == 2 && aDcb.ByteSize == 5) return EINVAL;
  termios t = aTermios;
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= kByteSizeFlags[aDcb.ByteSize - 5] | CLOCAL | CREAD;
  switch (aDcb.Parity) {
    case 1: t.c_cflag |= PARENB | PARODD; break;
    case 2: t.c_cflag |= PARENB; break;
    case 3: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case 4: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  // CSTOPB gives one and a half stop bits at five data bits.
  if (aDcb.StopBits != 0) t.c_cflag |= CSTOPB;
  if (aDcb.Flags & (kDcbOutxCtsFlow | kDcbRtsHandshake)) t.c_cflag |= CRTSCTS;
  t.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
  if (aDcb.Flags & kDcbParityCheck) t.c_iflag |= INPCK;
  if (aDcb.Flags & kDcbOutX) t.c_iflag |= IXON;
  if (aDcb.Flags & kDcbInX) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = static_cast<cc_t>(aDcb.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(aDcb.XoffChar);
  bool custom = false;
  // Rate 0 keeps the line speed: B0 would hang the line up.
  if (aDcb.BaudRate != 0) {
    const TSpeed* speed = nullptr;
    for (const auto& s : kSpeeds)
      if (s.Rate == aDcb.BaudRate) speed = &s;
    if (speed) {
      if (::cfsetspeed(&t, speed->Code) != 0) return errno;
    } else {
      custom = true;
    }
  }
  if (aCustomRate) *aCustomRate = custom;
  aTermios = t;
  return 0;
}

bool TermiosToDcb(const termios& aTermios, TDeviceControlBlock& aDcb) {
  bool standard = false;
  const speed_t code = ::cfgetospeed(&aTermios);
  if (code == B0) {
    aDcb.BaudRate = 0;
    standard = true;
  }
  for (const auto& s : kSpeeds)
    if (s.Code == code) {
      aDcb.BaudRate = s.Rate;
      standard = true;
    }
  switch (aTermios.c_cflag & CSIZE) {
    case CS5: aDcb.ByteSize = 5; break;
    case CS6: aDcb.ByteSize = 6; break;
    case CS7: aDcb.ByteSize = 7; break;
    default: aDcb.ByteSize = 8; break;
  }
  if (!(aTermios.c_cflag & PARENB))
    aDcb.Parity = 0;
  else if (aTermios.c_cflag & CMSPAR)
    aDcb.Parity = (aTermios.c_cflag & PARODD) ? 3 : 4;
  else
    aDcb.Parity = (aTermios.c_cflag & PARODD) ? 1 : 2;
  if (!(aTermios.c_cflag & CSTOPB))
    aDcb.StopBits = 0;
  else
    aDcb.StopBits = aDcb.ByteSize == 5 ? 1 : 2;
  aDcb.XonChar = static_cast<char>(aTermios.c_cc[VSTART]);
  aDcb.XoffChar = static_cast<char>(aTermios.c_cc[VSTOP]);
  uint32_t flags = (aDcb.Flags & ~kTermiosFlags) | kDcbBinary;
  if (aTermios.c_iflag & INPCK) flags |= kDcbParityCheck;
  if (aTermios.c_iflag & IXON) flags |= kDcbOutX;
  if (aTermios.c_iflag & IXOFF) flags |= kDcbInX;
  if (aTermios.c_cflag & CRTSCTS) flags |= kDcbOutxCtsFlow | kDcbRtsHandshake;
  aDcb.Flags = flags;
  return standard;
}
