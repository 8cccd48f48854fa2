// Number texts of the main window: printf formats with the user's decimal separator, and the
// link-speed text.
#pragma once

#include <cstdint>
#include <string>

// The decimal separator of the user's numeric locale (LC_NUMERIC from the environment), whatever
// locale the program itself runs under; "." when the environment names no usable locale.
std::string UserDecimalSeparator();

// printf with one floating-point argument, formatted in the C locale and then given
// aDecimalSeparator in place of the decimal point.
std::string FormatFloat(const char* aFormat, double aValue, const std::string& aDecimalSeparator);

// " %d kbps" below 500, " %4.1f Mbps" of v / 1000 below 100000, " %4.1f err" of v above.
std::string FormatRate(uint32_t aKbps, const std::string& aDecimalSeparator);
