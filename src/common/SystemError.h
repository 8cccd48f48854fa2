// The platform's text for an error code, trimmed the way every error report of the program expects.
#pragma once

#include <string>

// strerror text with trailing blanks, control characters and full stops removed.
std::string SysErrorMessage(int aErrorCode);

// The trimming rule alone, for texts that come from elsewhere (a service's error string).
std::string TrimErrorText(std::string aText);
