// The console view.
#include "window/ConsoleView.h"

#include <charconv>

#include "window/ModemSelectUnit.h"

// The report window of the console: it remembers what it was told and prints it on request.
class TConsoleReportView final : public TReportView {
 public:
  explicit TConsoleReportView(TConsoleView& aOwner) : FOwner(aOwner) { FOwner.FReport = this; }
  ~TConsoleReportView() override {
    if (FOwner.FReport == this) FOwner.FReport = nullptr;
  }

  void SetLabelText(int aLabel, const std::string& aText) override {
    if (aLabel >= 1 && aLabel <= kReportLabelCount) FLabels[static_cast<size_t>(aLabel - 1)] = aText;
  }
  void SetListLines(TReportList aList, const std::vector<std::string>& aLines) override {
    FLists[static_cast<size_t>(aList)] = aLines;
  }
  void Show() override {}

  void Print() {
    // Caption label n sits beside count label n + 5 (RX: 1..5 and 6..10, TX: 11..15 and 16..20).
    const auto printBins = [this](const char* aGroup, size_t aFirstCaption) {
      FOwner.WriteLine(std::string("report: ") + Trim(aGroup));
      for (size_t i = aFirstCaption; i < aFirstCaption + 5; ++i) FOwner.WriteLine(FLabels[i] + " " + FLabels[i + 5]);
    };
    printBins(kReportGroupCaptions[0], 0);
    printBins(kReportGroupCaptions[1], 10);
    for (size_t list = 0; list < 2; ++list) {
      FOwner.WriteLine(std::string("report: ") + Trim(kReportGroupCaptions[2 + list]));
      for (const std::string& line : FLists[list]) FOwner.WriteLine(line);
    }
  }

 private:
  static std::string Trim(const char* aText) {
    std::string text = aText;
    text.erase(0, text.find_first_not_of(' '));
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
  }

  TConsoleView& FOwner;
  std::array<std::string, kReportLabelCount> FLabels;
  std::array<std::vector<std::string>, 2> FLists;
};

TConsoleView::TConsoleView(std::ostream& aOut, TUiLoop& aLoop) : FOut(aOut), FLoop(aLoop) {
  for (size_t i = 0; i < FLabels.size(); ++i) FLabels[i] = kMainLabelInitialTexts[i];
}

TConsoleView::~TConsoleView() = default;

void TConsoleView::WriteLine(const std::string& aLine) { FOut << aLine << '\n' << std::flush; }

void TConsoleView::SetLabelText(TMainLabel aLabel, const std::string& aText) {
  std::string& shown = FLabels[static_cast<size_t>(aLabel)];
  // The dial-up line changes seldom and on its own; the others go out with each cycle's line.
  if (aLabel == TMainLabel::Label1 && shown != aText) WriteLine("dialup: " + aText);
  shown = aText;
}

void TConsoleView::ShowSignalIcon(int aIndex) { FIcon = aIndex; }

void TConsoleView::SetStatusText(const std::string& aText) {
  if (FStatus == aText) return;
  FStatus = aText;
  WriteLine("status: " + aText);
}

void TConsoleView::SetBusyVisible(bool aVisible) { FBusy = aVisible; }

void TConsoleView::ShowMessageBox(const std::string& aCaption, const std::string& aText, TMessageBoxKind) {
  WriteLine("message: " + aCaption + ": " + aText);
}

std::string TConsoleView::CycleLine() const {
  using enum TMainLabel;
  std::string line;
  for (TMainLabel label : {Label5, Label6, Label7, Label8, Label2, Label3, Label4})
    line += FLabels[static_cast<size_t>(label)] + " | ";
  return line + "icon " + std::to_string(FIcon);
}

void TConsoleView::ChartsChanged(const TSignalChartData&) { WriteLine(CycleLine()); }

void TConsoleView::SetConnectionItems(const std::vector<std::string>& aItems) {
  FConnections = aItems;
  FSelected = -1;
}

void TConsoleView::SelectConnection(int aIndex) {
  FSelected = aIndex >= 0 && static_cast<size_t>(aIndex) < FConnections.size() ? aIndex : -1;
}

bool TConsoleView::SelectConnectionNamed(const std::string& aName) {
  for (size_t i = 0; i < FConnections.size(); ++i) {
    if (FConnections[i] == aName) {
      FSelected = static_cast<int>(i);
      return true;
    }
  }
  return false;
}

void TConsoleView::PrintConnections() {
  WriteLine("entries: " + std::to_string(FConnections.size()));
  for (const std::string& name : FConnections) WriteLine("entry: " + name);
  if (FSelected >= 0) WriteLine("selected: " + FConnections[static_cast<size_t>(FSelected)]);
}

void TConsoleView::SetButton1Caption(const std::string& aCaption) {
  if (FButton1 == aCaption) return;
  FButton1 = aCaption;
  WriteLine("button: " + aCaption);
}

void TConsoleView::ShowPingReply(const std::string& aLine) { WriteLine("ping: " + aLine); }

std::optional<size_t> TConsoleView::SelectModem(const std::vector<std::string>& aLines) {
  if (FInputEnded || FLoop.Closing() || FAsking) return std::nullopt;
  WriteLine(kModemSelectCaption);
  for (const std::string& line : aLines) WriteLine(line);
  WriteLine("Modem number (an empty line cancels):");
  FAsking = true;
  FChoices = aLines.size();
  FAnswer.reset();
  // Modal, as the dialog is: the loop runs on until the answer comes, the input ends or the
  // program closes.
  FLoop.PumpWhile([this] { return !FAnswer && !FInputEnded; }, std::chrono::milliseconds(100));
  FAsking = false;
  return FAnswer ? *FAnswer : std::nullopt;
}

bool TConsoleView::OfferLine(const std::string& aLine) {
  if (!FAsking || FAnswer) return false;
  std::string text = aLine;
  text.erase(0, text.find_first_not_of(" \t"));
  text.erase(text.find_last_not_of(" \t") + 1);
  if (text.empty()) {
    FAnswer = std::optional<size_t>();
    return true;
  }
  size_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end != text.data() + text.size() || number < 1 || number > FChoices) {
    WriteLine("Modem number from 1 to " + std::to_string(FChoices) + " (an empty line cancels):");
    return true;
  }
  FAnswer = std::optional<size_t>(number - 1);
  return true;
}

void TConsoleView::InputEnded() { FInputEnded = true; }

std::unique_ptr<TReportView> TConsoleView::CreateReportView() { return std::make_unique<TConsoleReportView>(*this); }

bool TConsoleView::PrintReport() {
  if (!FReport) return false;
  FReport->Print();
  return true;
}
