// Rev B logs: slot DRC data, carrier powers, searcher state.
#include "protocol/Modem_Unit.h"

bool TModem::ParseArqDataBLog(const TFrameReader&) { return true; }
bool TModem::ParseCarrierDataRevBLog(const TFrameReader&) { return true; }
bool TModem::ParseMultiCarrPilotSetsLog(const TFrameReader&) { return true; }
