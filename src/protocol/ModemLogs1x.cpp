// 1x logs: paging channel (base station, sector) and pilot set (powers, paths, fingers).
#include "protocol/Modem_Unit.h"

bool TModem::ParsePagingChannelLog(const TFrameReader&) { return false; }
bool TModem::ParsePilotSetLog(const TFrameReader&) { return true; }
