// The text report of the histograms: where it goes, what it is called, what it says, and
// writing it safely into a shared temporary directory.
#pragma once

#include <string>

#include "common/DateTime.h"
#include "stats/Quality.h"

// The four histograms as the report reads them, once, while the file is written.
struct TReportHistograms {
  const TCustomQuality& Rx;
  const TCustomQuality& Tx;
  const TDrcQuality& Drc;
  const TCellFaceQuality& CellFace;
};

// $TEMP, else $TMPDIR, else "/tmp"; a variable set to the empty text counts as unset.
std::string GetTempDirectory();

// The IMSI, else the MIN, else empty; the session's " " (and an empty text) means "not known".
std::string ReportIdentity(const std::string& aIMSI, const std::string& aMIN);

// <dir>/<identity>_<ddMMyyyy_hhmmss>.txt, without the "_" when the identity is empty. A '/' or a
// control character of the identity becomes '_', so the identity cannot reach another directory.
std::string ReportFileName(const std::string& aTempDirectory, const std::string& aIdentity, TDateTime aNow);

// The whole report, lines ended by CR LF.
std::string ReportText(const TReportHistograms& aHistograms, const std::string& aIdentity, TDateTime aNow);

// Creates the file owner-only (0600) and writes the text. It never opens through a symbolic link
// and refuses anything at that name that is not a plain file of ours with a single link, so a
// name planted in a shared directory cannot make it write elsewhere or into a readable file.
// On failure returns false with aError set ("Cannot create file ..." / "Cannot write file ...");
// a file it created is removed again.
bool WriteReportFile(const std::string& aFileName, const std::string& aText, std::string& aError);
