// Numbers of the messages posted to the main window, and the device-change event codes.
#pragma once

#include <cstdint>

constexpr uint32_t WM_USER = 0x0400;
constexpr uint32_t WM_MODEM_IDENTITY = WM_USER + 7;    // 1031
constexpr uint32_t WM_MODEM_ERROR = WM_USER + 10;      // 1034, text: "Modem: " + error
constexpr uint32_t WM_PING_REPLY = WM_USER + 80;       // 1104, text: one ping line
constexpr uint32_t WM_FIND_MODEM = WM_USER + 81;       // 1105
constexpr uint32_t WM_MODEM_SECTOR = WM_USER + 115;    // 1139
constexpr uint32_t WM_DEVICECHANGE = 0x0219;           // wParam: event code, text: port name

// Event codes carried in wParam of WM_DEVICECHANGE.
constexpr uintptr_t DBT_DEVNODES_CHANGED = 0x0007;
constexpr uintptr_t DBT_DEVICEARRIVAL = 0x8000;
constexpr uintptr_t DBT_DEVICEREMOVECOMPLETE = 0x8004;
