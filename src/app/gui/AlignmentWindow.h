// The "Alignment" window: the chosen figure in digits readable from a few metres in its band's
// colour, the peak and where it was reached, a bar with the peak marker, the last minute, the
// link type, and buttons (and keys) for reset peak (R), figure (F), mute (M), full screen (F11)
// and the tone's volume. Black ground and bright colours, for sunlight.
#pragma once

#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "align/AlignUnit.h"
#include "app/AlignMode.h"

class QLabel;
class QPushButton;
class QSlider;

// The bar: the range left to right, filled to the value in its band's colour, the peak marked.
class TAlignBar final : public QWidget {
 public:
  explicit TAlignBar(QWidget* aParent = nullptr);
  // Positions 0..1 in the range; none: nothing filled / no marker.
  void SetValues(std::optional<double> aValue, std::optional<double> aPeak, const QColor& aColor);
  std::optional<double> Value() const { return FValue; }
  std::optional<double> Peak() const { return FPeak; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  std::optional<double> FValue, FPeak;
  QColor FColor;
};

// The last minute, one point per sample, oldest on the left; gaps where there was no value.
class TAlignHistory final : public QWidget {
 public:
  explicit TAlignHistory(QWidget* aParent = nullptr);
  void SetHistory(std::vector<std::optional<float>> aValues, const TAlignRange& aRange, std::optional<double> aPeak);
  const std::vector<std::optional<float>>& Values() const { return FValues; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  std::vector<std::optional<float>> FValues;
  TAlignRange FRange;
  std::optional<double> FPeak;
};

class TAlignmentWindow final : public QWidget {
 public:
  // Shows aUnit's samples; aUnit must outlive the window.
  explicit TAlignmentWindow(TAlignUnit& aUnit, QWidget* aParent = nullptr);

  // After every sample (and after a button changed what is shown).
  void ShowSnapshot(const TAlignSnapshot& aSnapshot);
  // A notice of the tone ("no sound server ..."), shown until the window closes.
  void ShowNotice(const std::string& aText);
  // The user closed the window.
  std::function<void()> OnClosed;

  // The widgets, for the program and for tests.
  QLabel* FigureLabel() const { return FFigure; }
  QLabel* LinkLabel() const { return FLink; }
  QLabel* ValueLabel() const { return FValue; }
  QLabel* BandLabel() const { return FBand; }
  QLabel* PeakLabel() const { return FPeak; }
  QLabel* NoticeLabel() const { return FNotice; }
  TAlignBar* Bar() const { return FBar; }
  TAlignHistory* History() const { return FHistory; }
  QPushButton* ResetButton() const { return FReset; }
  QPushButton* FigureButton() const { return FFigureButton; }
  QPushButton* MuteButton() const { return FMute; }
  QPushButton* FullScreenButton() const { return FFullScreen; }
  QSlider* VolumeSlider() const { return FVolume; }

  // The digits' pixel height at the window's present size (never below 96).
  int DigitPixels() const;

 protected:
  void keyPressEvent(QKeyEvent* aEvent) override;
  void resizeEvent(QResizeEvent* aEvent) override;
  void closeEvent(QCloseEvent* aEvent) override;

 private:
  void ResetPeak();
  void NextFigure();
  void ToggleMute();
  void ToggleFullScreen();
  void Refresh();

  TAlignUnit& FUnit;
  QLabel* FFigure = nullptr;
  QLabel* FLink = nullptr;
  QLabel* FValue = nullptr;
  QLabel* FBand = nullptr;
  QLabel* FPeak = nullptr;
  QLabel* FNotice = nullptr;
  TAlignBar* FBar = nullptr;
  TAlignHistory* FHistory = nullptr;
  QPushButton* FReset = nullptr;
  QPushButton* FFigureButton = nullptr;
  QPushButton* FMute = nullptr;
  QPushButton* FFullScreen = nullptr;
  QSlider* FVolume = nullptr;
};

// The alignment mode of the window program: made when the window opens, gone when it closes
// (the mode samples and sounds only while its window is open).
class TAlignmentController {
 public:
  // aLogic and aLoop must outlive the controller.
  TAlignmentController(TMainFm& aLogic, TUiLoop& aLoop) : FLogic(aLogic), FLoop(aLoop) {}
  ~TAlignmentController();
  TAlignmentController(const TAlignmentController&) = delete;
  TAlignmentController& operator=(const TAlignmentController&) = delete;

  // What --align-figure, --align-range and --no-tone asked for; used at the next opening.
  void SetSettings(TAlignSettings aSettings, bool aTone);
  // Opens the window (or raises the open one) and starts the mode.
  void Open();
  // Closes the window and ends the mode.
  void Close();
  TAlignmentWindow* Window() const { return FWindow.get(); }
  TAlignMode* Mode() const { return FMode.get(); }

 private:
  TMainFm& FLogic;
  TUiLoop& FLoop;
  TAlignSettings FSettings;
  bool FTone = true;
  std::unique_ptr<TAlignMode> FMode;
  std::unique_ptr<TAlignmentWindow> FWindow;
  // False once the controller is gone: a close the window posted then does nothing.
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};
