// Filling the report window: the count labels by key, the two lists by frequency.
#include <gtest/gtest.h>

#include "stats/ReportUnit.h"

namespace {

class TRecordedReportView final : public TReportView {
 public:
  void SetLabelText(int aLabel, const std::string& aText) override { Labels.at(static_cast<size_t>(aLabel - 1)) = aText; }
  void SetListLines(TReportList aList, const std::vector<std::string>& aLines) override {
    Lists[static_cast<size_t>(aList)] = aLines;
    ++Updates;
  }
  void Show() override { ++Shows; }

  std::array<std::string, kReportLabelCount> Labels;
  std::array<std::vector<std::string>, 2> Lists;
  int Updates = 0;
  int Shows = 0;
};

struct ReportWindow : ::testing::Test {
  ReportWindow() {
    auto view = std::make_unique<TRecordedReportView>();
    View = view.get();
    Form = std::make_unique<TReportFm>(std::move(view));
  }
  TRecordedReportView* View;
  std::unique_ptr<TReportFm> Form;
};

}  // namespace

TEST_F(ReportWindow, StartsWithTheFormsTexts) {
  EXPECT_EQ(View->Labels[0], "-30..-80  :");
  EXPECT_EQ(View->Labels[4], "-101..-107:");
  EXPECT_EQ(View->Labels[10], "-65..-21:");
  EXPECT_EQ(View->Labels[14], "+15..+25:");
  for (size_t i : {5u, 9u, 15u, 19u}) EXPECT_EQ(View->Labels[i], "0");
  EXPECT_EQ(View->Shows, 0);
  Form->Show();
  EXPECT_EQ(View->Shows, 1);
}

TEST_F(ReportWindow, CountsGoBesideTheirCaptionsByKey) {
  Form->SetRxValue(0, 12);
  Form->SetRxValue(4, 3);
  Form->SetTxValue(0, 7);
  Form->SetTxValue(4, 1);
  Form->SetRxValue(5, 99);
  Form->SetTxValue(-1, 99);
  EXPECT_EQ(View->Labels[5], "12");
  EXPECT_EQ(View->Labels[9], "3");
  EXPECT_EQ(View->Labels[15], "7");
  EXPECT_EQ(View->Labels[19], "1");
  for (const std::string& label : View->Labels) EXPECT_NE(label, "99");
  EXPECT_EQ(Form->LabelText(6), "12");
}

TEST_F(ReportWindow, ListsAreOrderedByCountAndRightAligned) {
  Form->SetDrcValue({{614, 25}, {307, 40}, {1228, 3}, {-7, 3}});
  EXPECT_EQ(View->Lists[0], (std::vector<std::string>{"   307: 40", "   614: 25", "    -7: 3", "  1228: 3"}));
  Form->SetCellFaceValue({{"0-3", 2}, {"12-0", 5}, {"1234567-1", 1}});
  EXPECT_EQ(View->Lists[1], (std::vector<std::string>{"  12-0: 5", "   0-3: 2", "1234567-1: 1"}));
  EXPECT_EQ(Form->ListLines(TReportList::ListBox1).size(), 4u);

  // Empty histograms leave the lists as they were (the DRC map after a restart).
  const int updates = View->Updates;
  Form->SetDrcValue({});
  Form->SetCellFaceValue({});
  EXPECT_EQ(View->Updates, updates);
  EXPECT_EQ(View->Lists[0].size(), 4u);
}
