// Shared pieces of the field-log tests: other programs run to read the files back (Python, gpsbabel,
// xmllint), and what they found as JSON.
#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <string>
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

}  // namespace record_test
