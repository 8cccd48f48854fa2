// Filling the report window.
#include "stats/ReportUnit.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kRxCountLabel = 6;   // Label6..Label10
constexpr int kTxCountLabel = 16;  // Label16..Label20

template <class TKey>
std::vector<std::pair<TKey, int32_t>> ByCountDescending(std::vector<std::pair<TKey, int32_t>> aPairs) {
  std::stable_sort(aPairs.begin(), aPairs.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  return aPairs;
}

}  // namespace

std::vector<std::string> DrcReportLines(const TQualityValues& aValues) {
  std::vector<std::string> lines;
  for (const auto& [key, count] : ByCountDescending(std::vector<std::pair<int32_t, int32_t>>(aValues.begin(), aValues.end()))) {
    char line[40];
    std::snprintf(line, sizeof line, "%6d: %d", key, count);
    lines.emplace_back(line);
  }
  return lines;
}

std::vector<std::string> CellFaceReportLines(const TCellFaceQuality::TValues& aValues) {
  std::vector<std::string> lines;
  for (const auto& [key, count] : ByCountDescending(aValues)) {
    // "%6s: %d" without a fixed buffer: a key longer than six characters is not cut.
    std::string line = key.size() < 6 ? std::string(6 - key.size(), ' ') + key : key;
    line += ": " + std::to_string(count);
    lines.push_back(std::move(line));
  }
  return lines;
}

TReportFm::TReportFm(std::unique_ptr<TReportView> aView) : FView(std::move(aView)) {
  for (int label = 1; label <= kReportLabelCount; ++label) SetLabel(label, kReportLabelInitialTexts[static_cast<size_t>(label - 1)]);
}

void TReportFm::SetLabel(int aLabel, const std::string& aText) {
  FLabels[static_cast<size_t>(aLabel - 1)] = aText;
  FView->SetLabelText(aLabel, aText);
}

void TReportFm::SetList(TReportList aList, std::vector<std::string> aLines) {
  FView->SetListLines(aList, aLines);
  FLists[static_cast<int>(aList)] = std::move(aLines);
}

void TReportFm::SetRxValue(int32_t aKey, int32_t aCount) {
  if (aKey >= 0 && aKey <= 4) SetLabel(kRxCountLabel + aKey, std::to_string(aCount));
}

void TReportFm::SetTxValue(int32_t aKey, int32_t aCount) {
  if (aKey >= 0 && aKey <= 4) SetLabel(kTxCountLabel + aKey, std::to_string(aCount));
}

void TReportFm::SetDrcValue(const TQualityValues& AList) {
  if (!AList.empty()) SetList(TReportList::ListBox1, DrcReportLines(AList));
}

void TReportFm::SetCellFaceValue(const TCellFaceQuality::TValues& AList) {
  if (!AList.empty()) SetList(TReportList::ListBox2, CellFaceReportLines(AList));
}
