// Number texts with the user's decimal separator.
#include "window/DisplayFormat.h"

#include <langinfo.h>
#include <locale.h>

#include <cstdio>

namespace {

// The C locale for this thread while formatting, whatever the program's global locale is.
class TCLocaleScope {
 public:
  TCLocaleScope() : FLocale(newlocale(LC_ALL_MASK, "C", nullptr)) {
    if (FLocale) FPrevious = uselocale(FLocale);
  }
  ~TCLocaleScope() {
    if (!FLocale) return;
    uselocale(FPrevious);
    freelocale(FLocale);
  }
  TCLocaleScope(const TCLocaleScope&) = delete;
  TCLocaleScope& operator=(const TCLocaleScope&) = delete;

 private:
  locale_t FLocale;
  locale_t FPrevious = LC_GLOBAL_LOCALE;
};

std::string Printf(const char* aFormat, double aValue) {
  TCLocaleScope c;
  char buffer[64];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  const int n = std::snprintf(buffer, sizeof buffer, aFormat, aValue);
#pragma GCC diagnostic pop
  return n < 0 ? std::string() : std::string(buffer, static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n) : sizeof buffer - 1);
}

}  // namespace

std::string UserDecimalSeparator() {
  locale_t user = newlocale(LC_NUMERIC_MASK, "", nullptr);
  if (!user) return ".";
  const char* radix = nl_langinfo_l(RADIXCHAR, user);
  std::string separator = radix && *radix ? radix : ".";
  freelocale(user);
  return separator;
}

std::string FormatFloat(const char* aFormat, double aValue, const std::string& aDecimalSeparator) {
  std::string text = Printf(aFormat, aValue);
  if (aDecimalSeparator != ".")
    if (const size_t dot = text.find('.'); dot != std::string::npos) text.replace(dot, 1, aDecimalSeparator);
  return text;
}

std::string FormatRate(uint32_t aKbps, const std::string& aDecimalSeparator) {
  if (aKbps < 500) {
    std::string text(1, ' ');
    text += std::to_string(aKbps);
    text += " kbps";
    return text;
  }
  if (aKbps < 100000) return FormatFloat(" %4.1f Mbps", aKbps / 1000.0, aDecimalSeparator);
  return FormatFloat(" %4.1f err", static_cast<double>(aKbps), aDecimalSeparator);
}
