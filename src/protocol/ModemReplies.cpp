// Replies to the identity requests, and the identity log.
#include "protocol/Modem_Unit.h"

bool TModem::ParseVersionReply(const TFrameReader&) { return true; }
bool TModem::ParseEsnReply(const TFrameReader&) { return true; }
bool TModem::ParseStatusReply(const TFrameReader&) { return true; }
bool TModem::ParseNvItemReply(const TFrameReader&) { return true; }
bool TModem::ParseIdentityLog(const TFrameReader&) { return true; }
