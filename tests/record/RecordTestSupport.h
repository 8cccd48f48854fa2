// Shared pieces of the field-log tests: other programs run to read the files back (Python, gpsbabel,
// xmllint), and what they found as JSON.
#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "../stats/TestSupport.h"

namespace record_test {

struct TCommandResult {
  int Status = -1;  // the exit status; -1 when it did not start or ended by a signal
  std::string Out, Err;
};

// Runs aArgv (found on PATH) to its end; its output is collected in aScratch.
TCommandResult RunCommand(const std::vector<std::string>& aArgv, const TScratchDir& aScratch);
bool HaveProgram(const std::string& aName);

// read_back.py on aPath: "csv" gives {"header": [...], "rows": [{...}]}, "jsonl" {"rows": [...]}.
// An empty object when Python refused the file (the reason is in aError).
QJsonObject ReadBack(const std::string& aKind, const std::string& aPath, const TScratchDir& aScratch,
                     std::string* aError = nullptr);

// gpsbabel reading a GPX (its tracks) or KML (its points) file into unicsv, read back as above.
QJsonObject GpsbabelPoints(const std::string& aFormat, const std::string& aPath, const TScratchDir& aScratch,
                           std::string* aError = nullptr);

std::string Text(const QJsonValue& aValue);

// gpsfake replaying an NMEA file on 127.0.0.1:aPort, in a process group of its own so that its
// gpsd goes with it.
class TGpsFake {
 public:
  TGpsFake(const std::string& aNmeaFile, int aPort, const std::string& aLogFile);
  ~TGpsFake() { Stop(); }
  TGpsFake(const TGpsFake&) = delete;
  TGpsFake& operator=(const TGpsFake&) = delete;
  // gpsd accepts connections; false when gpsfake ended first or the time is up.
  bool WaitReady();
  // gpsfake and its gpsd are gone when this returns.
  void Stop();

 private:
  pid_t FGroup = -1;
  int FPort = 0;
};

// The positions of the GGA sentences of an NMEA file, in degrees, in order.
std::vector<std::pair<double, double>> NmeaPositions(const std::string& aPath);

}  // namespace record_test
