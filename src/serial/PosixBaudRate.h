// Line speeds without a B-constant (14400, 56000, ...), set and read through termios2.
#pragma once

#include <cstdint>

// 0 or an errno code; the driver may refuse a speed it cannot make.
int SetCustomBaudRate(int aFd, uint32_t aRate);
int GetCustomBaudRate(int aFd, uint32_t& aRate);
