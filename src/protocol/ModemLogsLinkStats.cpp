// EV-DO link statistics logs: forward and reverse packet counters of Rev A and Rev B.
#include "protocol/Modem_Unit.h"

bool TModem::ParseEvdoAForwardLog(const TFrameReader&) { return true; }
bool TModem::ParseEvdoAReverseLog(const TFrameReader&) { return true; }
bool TModem::ParseMultiCarrierForwardLog(const TFrameReader&) { return true; }
bool TModem::ParseMultiCarrierReverseLog(const TFrameReader&) { return true; }
