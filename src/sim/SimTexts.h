// cdma-modem-sim's options: the one table its parser, --help, its manual page and its shell
// completion are made from. A new option is a row here and a case in the parser.
#pragma once

#include "common/OptionTable.h"

namespace sim {

const TProgramTexts& SimTexts();

}  // namespace sim
