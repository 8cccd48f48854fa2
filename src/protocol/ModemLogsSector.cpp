// EV-DO sector and access logs: serving cell, sector and PN, attempt counters.
#include "protocol/Modem_Unit.h"

bool TModem::ParseAttemptCountersLog(const TFrameReader&) { return true; }
bool TModem::ParseAccessChannelLog(const TFrameReader&) { return true; }
bool TModem::ParseServingSectorLog(const TFrameReader&) { return true; }
