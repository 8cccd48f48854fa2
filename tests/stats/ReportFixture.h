// One set of histograms, identity and clock, and the report file they must give, byte for byte.
#pragma once

#include <string>

#include "common/DateTime.h"
#include "stats/Quality.h"
#include "stats/ReportFile.h"

struct TReportFixture {
  TRxQuality Rx;
  TTxQuality Tx;
  TDrcQuality Drc;
  TCellFaceQuality CellFace;

  static constexpr char kIMSI[] = "383600421234567";
  static constexpr char kFileName[] = "383600421234567_07032025_090504.txt";

  TReportFixture() {
    for (float rx : {-50.0f, -50.0f, -31.0f, -85.0f, -106.9f, -100.0f}) Rx.AddValue(rx);
    for (float tx : {0.0f, 3.5f, -60.39f, 20.0f}) Tx.AddValue(tx);
    for (float drc : {307.2f, 614.4f, 307.2f, 1228.8f, 307.2f, 614.4f, 307.2f, 614.4f, 307.2f}) {
      Drc.AddValue(drc);
      Drc.Sort(10);
    }
    for (const char* cell : {"12-0", "0-0", "12-0", "0-3", "7-1", "7-1", "7-1"}) CellFace.AddValue(cell);
  }

  TReportHistograms Histograms() const { return {Rx, Tx, Drc, CellFace}; }

  static TDateTime Clock() { return CivilToDateTime({2025, 3, 7, 9, 5, 4, 600}); }

  static std::string ExpectedReport() {
    return "Report generated at: 07.03.2025 09:05\r\n"
           "Modem IMSI: 383600421234567\r\n"
           "\r\n"
           "RX values:\r\n"
           "-30..-80: 3\r\n"
           "-81..-90: 1\r\n"
           "-91..-95: 0\r\n"
           "-96..-100: 0\r\n"
           "-101..-107: 1\r\n"
           "\r\n"
           "TX values:\r\n"
           "-65..-21: 1\r\n"
           "-20..-6: 0\r\n"
           "-5..+7: 2\r\n"
           "+8..+14: 0\r\n"
           "+15..+25: 1\r\n"
           "\r\n"
           "DRC values:\r\n"
           "307: 5\r\n"
           "614: 3\r\n"
           "1228: 1\r\n"
           "\r\n"
           "Sector values:\r\n"
           "12-0: 2\r\n"
           "0-3: 1\r\n"
           "7-1: 3\r\n"
           "\r\n"
           "End of report.\r\n";
  }
};
