// The main window's report actions: the report window and "Send report".
#include "window/MainUnit.h"

void TMainFm::ReportActionExecute() {
  if (!FReportFm) {
    FReportFm = std::make_unique<TReportFm>(FView.CreateReportView());
    FReportFm->Show();
  }
  for (const auto& [key, count] : FRxQuality->ValuesList()) FReportFm->SetRxValue(key, count);
  for (const auto& [key, count] : FTxQuality->ValuesList()) FReportFm->SetTxValue(key, count);
  FReportFm->SetDrcValue(FDrcQuality->ValuesList());
  FReportFm->SetCellFaceValue(FCellFaceQuality->ValuesList());
}

void TMainFm::ReportFormClose() { FReportFm.reset(); }

void TMainFm::SendReportActionExecute() {
  FReportSender->SendReport(TReportHistograms{*FRxQuality, *FTxQuality, *FDrcQuality, *FCellFaceQuality},
                            FModem->modemIMSI(), FModem->modemMIN());
}
