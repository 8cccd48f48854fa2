// The service mode's log: one line on standard error at start, for each modem found or lost and
// for each error the console view would have shown; every other line of the view is dropped.
#pragma once

#include <ostream>
#include <streambuf>
#include <string>

#include "window/CycleSample.h"

class THeadlessLog final : public TCycleSink {
 public:
  explicit THeadlessLog(std::ostream& aLog);
  THeadlessLog(const THeadlessLog&) = delete;
  THeadlessLog& operator=(const THeadlessLog&) = delete;

  // Where the console view writes in the service mode.
  std::ostream& ViewOutput() { return FViewOutput; }
  // "cdma-monitor: " and the text, as one flushed line.
  void Line(const std::string& aText);

  void Consume(const TCycleSample&) override {}
  void Consume(const TMonitorEvent& aEvent) override;

 private:
  // Hands each complete line written to it to the log's filter.
  class TLineBuffer final : public std::streambuf {
   public:
    explicit TLineBuffer(THeadlessLog& aLog) : FLog(aLog) {}

   protected:
    int_type overflow(int_type aChar) override;
    std::streamsize xsputn(const char* aText, std::streamsize aCount) override;

   private:
    THeadlessLog& FLog;
    std::string FLine;
  };

  void ViewLine(const std::string& aLine);

  std::ostream& FLog;
  TLineBuffer FBuffer{*this};
  std::ostream FViewOutput{&FBuffer};
};
