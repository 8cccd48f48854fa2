// Fixed-capacity short strings: a length byte and at most N characters, never more.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

template <size_t N>
struct TShortString {
  static_assert(N > 0 && N < 256);
  uint8_t Length = 0;
  char Chars[N] = {};

  // Longer texts are cut to the capacity.
  void Assign(std::string_view aText) {
    Length = static_cast<uint8_t>(std::min(aText.size(), N));
    std::memcpy(Chars, aText.data(), Length);
  }
  std::string_view View() const { return std::string_view(Chars, std::min<size_t>(Length, N)); }
  std::string Str() const { return std::string(View()); }
  bool operator==(std::string_view aText) const { return View() == aText; }
};
