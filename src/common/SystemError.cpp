// System error texts.
#include "common/SystemError.h"

#include <cstring>

std::string TrimErrorText(std::string aText) {
  while (!aText.empty()) {
    const auto c = static_cast<unsigned char>(aText.back());
    if (c <= ' ' || c == '.' || c == 0x7F)
      aText.pop_back();
    else
      break;
  }
  return aText;
}

std::string SysErrorMessage(int aErrorCode) {
  char buffer[256] = {};
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(aErrorCode, buffer, sizeof buffer);
  return TrimErrorText(text ? text : "");
}
