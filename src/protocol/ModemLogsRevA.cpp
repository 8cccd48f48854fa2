// Rev A logs: carrier powers, pilot sets, slot and DRC data.
#include "protocol/Modem_Unit.h"

bool TModem::ParseCarrierDataRevALog(const TFrameReader&) { return true; }
bool TModem::ParseNeighborDataLog(const TFrameReader&) { return true; }
bool TModem::ParseArqDataALog(const TFrameReader&) { return true; }
