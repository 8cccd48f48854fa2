// The service mode's log lines.
#include "app/HeadlessLog.h"

namespace {

// Console view lines that report a failure or a notice meant for the user.
constexpr const char* kReportedPrefixes[] = {"message: ", "status: port not available"};

}  // namespace

THeadlessLog::THeadlessLog(std::ostream& aLog) : FLog(aLog) {}

void THeadlessLog::Line(const std::string& aText) { FLog << "cdma-monitor: " << aText << std::endl; }

void THeadlessLog::Consume(const TMonitorEvent& aEvent) {
  if (aEvent.Kind == TMonitorEventKind::ModemFound) Line("modem found: " + aEvent.Text);
  if (aEvent.Kind == TMonitorEventKind::ModemLost) Line("modem lost: " + aEvent.Text);
}

void THeadlessLog::ViewLine(const std::string& aLine) {
  for (const char* prefix : kReportedPrefixes)
    if (aLine.rfind(prefix, 0) == 0) {
      Line(aLine);
      return;
    }
}

THeadlessLog::TLineBuffer::int_type THeadlessLog::TLineBuffer::overflow(int_type aChar) {
  if (traits_type::eq_int_type(aChar, traits_type::eof())) return traits_type::not_eof(aChar);
  const char c = traits_type::to_char_type(aChar);
  xsputn(&c, 1);
  return aChar;
}

std::streamsize THeadlessLog::TLineBuffer::xsputn(const char* aText, std::streamsize aCount) {
  for (std::streamsize i = 0; i < aCount; ++i) {
    if (aText[i] != '\n') {
      FLine.push_back(aText[i]);
      continue;
    }
    FLog.ViewLine(FLine);
    FLine.clear();
  }
  return aCount;
}
