// Texts of the dial-up services' error codes, including a network manager's failure reasons.
#include <cstdio>
#include <iterator>

#include "dialup/DialupService.h"

namespace {

struct TErrorText {
  uint32_t Code;
  const char* Text;
};

constexpr TErrorText kServiceErrors[] = {
    {RAS_ERR_SERVICE_UNAVAILABLE, "The network connection service cannot be reached"},
    {RAS_ERR_INVALID_HANDLE, "The connection handle is not valid"},
    {RAS_ERR_ACCESS_DENIED, "The network connection service refused the request"},
    {RAS_ERR_SERVICE_FAILED, "The network connection service could not carry out the request"},
    {RAS_ERR_TIMEOUT, "The network connection service did not answer in time"},
    {RAS_ERR_NO_DEVICE, "No device is available for this connection"},
    {RAS_ERR_NOT_SUPPORTED, "The connection profile does not support this request"},
    {RAS_ERR_NO_PEER, "The connection has no remote address"},
    {RAS_ERR_DIAL_FAILED, "The connection could not be established"},
    {RAS_ERR_INVALID_SIZE, "The entry record is not valid"},
    {RAS_ERR_NO_CARRIER, "The modem reports no carrier"},
    {RAS_ERR_AUTH_FAILED, "The user name or password was not accepted"},
    {RAS_ERR_BAD_ANSWER, "The network connection service sent an answer that could not be read"},
    {RAS_ERR_ENTRY_NOT_FOUND, "The connection profile was not found"},
};

// Why an activation ended (active connection and VPN reasons share their numbers).
constexpr const char* kActivationReasons[] = {
    "The connection ended for an unknown reason",              // 0
    "The connection ended",                                    // 1
    "The connection was closed by the user",                   // 2
    "The device of the connection was disconnected",           // 3
    "The connection's service stopped",                        // 4
    "The connection's IP configuration was not valid",         // 5
    "The connection attempt timed out",                        // 6
    "The connection's service did not start in time",          // 7
    "The connection's service failed to start",                // 8
    "The connection needs a password or key that was not given",  // 9
    "The login was refused",                                   // 10
    "The connection profile was removed",                      // 11
    "A connection this one depends on failed",                 // 12
    "The connection's device could not be created",            // 13
    "The connection's device was removed",                     // 14
};

// Why a device left its state; the reasons a modem link meets have their own text.
constexpr TErrorText kDeviceReasons[] = {
    {1, "The device failed for an unknown reason"},
    {4, "The device could not be prepared"},
    {5, "No IP configuration could be obtained"},
    {6, "The IP configuration expired"},
    {7, "A password or key was needed but not given"},
    {12, "The PPP service failed to start"},
    {13, "The PPP link was disconnected"},
    {14, "The PPP link failed"},
    {15, "The DHCP client failed to start"},
    {16, "The DHCP client reported an error"},
    {17, "The DHCP client failed"},
    {23, "The modem is busy"},
    {24, "The modem has no dial tone"},
    {25, "The modem reports no carrier"},
    {26, "The modem's dial timed out"},
    {27, "The modem's dial failed"},
    {28, "The modem could not be initialised"},
    {29, "The access point name was refused"},
    {30, "The modem is not searching for a network"},
    {31, "The network refused the registration"},
    {32, "The network registration timed out"},
    {33, "The network registration failed"},
    {34, "The PIN check failed"},
    {35, "The device's firmware may be missing"},
    {36, "The device was removed"},
    {37, "The system is going to sleep"},
    {38, "The device's connection profile was removed"},
    {39, "The user disconnected the device"},
    {40, "The device's carrier changed"},
    {43, "The modem was not found"},
    {45, "No SIM card is inserted"},
    {46, "The SIM card needs its PIN"},
    {47, "The SIM card needs its PUK"},
    {48, "The SIM card is not the right one"},
    {50, "A connection this one depends on failed"},
    {52, "The modem management service is not available"},
    {57, "The modem failed"},
    {59, "The SIM PIN was wrong"},
    {60, "A new activation replaced this one"},
};

}  // namespace

bool DialupErrorText(uint32_t aCode, std::string& aText) {
  for (const auto& e : kServiceErrors) {
    if (e.Code == aCode) {
      aText = e.Text;
      return true;
    }
  }
  if (aCode >= RAS_ERR_ACTIVATION_REASON_BASE && aCode - RAS_ERR_ACTIVATION_REASON_BASE < std::size(kActivationReasons)) {
    aText = kActivationReasons[aCode - RAS_ERR_ACTIVATION_REASON_BASE];
    return true;
  }
  if (aCode >= RAS_ERR_DEVICE_REASON_BASE && aCode < RAS_ERR_DEVICE_REASON_BASE + 1000) {
    const uint32_t reason = aCode - RAS_ERR_DEVICE_REASON_BASE;
    for (const auto& e : kDeviceReasons) {
      if (e.Code == reason) {
        aText = e.Text;
        return true;
      }
    }
    char text[64];
    std::snprintf(text, sizeof text, "The device stopped (reason %u)", static_cast<unsigned>(reason));
    aText = text;
    return true;
  }
  return false;
}
