// Histograms of the RX, TX and DRC values and of the cell/sector pairs the modem reports.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

using TQualityValues = std::map<int32_t, int32_t>;        // key -> count, iterated by key
using TQualityHeaders = std::map<int32_t, std::string>;   // key -> bin caption

// The upper bounds of the RX and TX bins, lowest first: where a cumulative histogram of the same
// values puts its bucket edges.
std::vector<double> RxBinUpperBounds();
std::vector<double> TxBinUpperBounds();

// A histogram over numeric keys. The report window and the report file read the two lists.
class TCustomQuality {
 public:
  TCustomQuality() = default;
  virtual ~TCustomQuality() = default;
  TCustomQuality(const TCustomQuality&) = delete;
  TCustomQuality& operator=(const TCustomQuality&) = delete;

  virtual void AddValue(float AValue) = 0;
  virtual void ClearValues() = 0;

  const TQualityValues& ValuesList() const { return FValuesList; }
  const TQualityHeaders& HeadersList() const { return FHeadersList; }

 protected:
  TQualityValues FValuesList;
  TQualityHeaders FHeadersList;
};

// Five fixed RX power bins, keys 0..4, captioned "-30..-80" .. "-101..-107".
class TRxQuality final : public TCustomQuality {
 public:
  TRxQuality();
  void AddValue(float AValue) override;
  void ClearValues() override;
};

// Five fixed TX power bins, keys 0..4, captioned "-65..-21" .. "+15..+25".
class TTxQuality final : public TCustomQuality {
 public:
  TTxQuality();
  void AddValue(float AValue) override;
  void ClearValues() override;
};

// DRC values by their whole part; no captions.
class TDrcQuality final : public TCustomQuality {
 public:
  void AddValue(float AValue) override;
  void ClearValues() override;
  // Keeps the ShrinkTo most frequent keys (all of them when ShrinkTo <= 0); ties fall either way.
  void Sort(int32_t ShrinkTo);
};

// Counts of the serving "cell-sector" texts. The list keeps the order in which keys first
// appeared, so the report lists them as they were met.
class TCellFaceQuality {
 public:
  using TValues = std::vector<std::pair<std::string, int32_t>>;

  void AddValue(const std::string& AValue);
  const TValues& ValuesList() const { return FValuesList; }

 private:
  TValues FValuesList;
  std::unordered_map<std::string, size_t> FIndex;  // key -> position in FValuesList
};
