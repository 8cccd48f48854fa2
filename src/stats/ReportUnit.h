// The report window's filling logic: the histograms as counts beside fixed captions and as
// lists ordered by frequency, written through a small view interface.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "stats/Quality.h"

enum class TReportList {
  ListBox1,  // " DRC Values "
  ListBox2,  // " Cell / Sector Values "
};

inline constexpr int kReportLabelCount = 20;
// Label1..Label20 as the form shows them at first: RX captions, RX counts, TX captions, TX counts.
inline constexpr std::array<const char*, kReportLabelCount> kReportLabelInitialTexts = {
    "-30..-80  :", "-81..-90  :", "-91..-95  :", "-96..-100 :", "-101..-107:",
    "0", "0", "0", "0", "0",
    "-65..-21:", "-20..-6 :", "-5..+7  :", "+8..+14 :", "+15..+25:",
    "0", "0", "0", "0", "0",
};
inline constexpr char kReportCaption[] = "Report";
inline constexpr std::array<const char*, 4> kReportGroupCaptions = {
    " RX Values ", " TX Values ", " DRC Values ", " Cell / Sector Values "};

// The report window's widgets. Calls come on the user-interface thread.
class TReportView {
 public:
  virtual ~TReportView() = default;
  // aLabel: 1..20.
  virtual void SetLabelText(int aLabel, const std::string& aText) = 0;
  // Replaces every line of the list at once (with its redraw suspended meanwhile).
  virtual void SetListLines(TReportList aList, const std::vector<std::string>& aLines) = 0;
  // Shows the window, non-modal.
  virtual void Show() = 0;
};

class TReportFm {
 public:
  // Owns the view; gives it the form's initial texts.
  explicit TReportFm(std::unique_ptr<TReportView> aView);

  void Show() { FView->Show(); }

  // Keys 0..4 write the count label of their row; other keys nothing.
  void SetRxValue(int32_t aKey, int32_t aCount);
  void SetTxValue(int32_t aKey, int32_t aCount);
  // One line per entry by count, highest first ("%6d: %d" / "%6s: %d"); an empty list leaves
  // the lines as they are.
  void SetDrcValue(const TQualityValues& AList);
  void SetCellFaceValue(const TCellFaceQuality::TValues& AList);

  const std::string& LabelText(int aLabel) const { return FLabels.at(static_cast<size_t>(aLabel - 1)); }
  const std::vector<std::string>& ListLines(TReportList aList) const { return FLists[static_cast<int>(aList)]; }
  TReportView& View() { return *FView; }

 private:
  void SetLabel(int aLabel, const std::string& aText);
  void SetList(TReportList aList, std::vector<std::string> aLines);

  std::unique_ptr<TReportView> FView;
  std::array<std::string, kReportLabelCount> FLabels;
  std::array<std::vector<std::string>, 2> FLists;
};

// The lines of the two lists, by count, highest first (ties keep the order they come in).
std::vector<std::string> DrcReportLines(const TQualityValues& aValues);
std::vector<std::string> CellFaceReportLines(const TCellFaceQuality::TValues& aValues);
