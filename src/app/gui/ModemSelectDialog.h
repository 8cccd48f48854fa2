// "Select modem": the modal list of the ports that answered like a modem.
#pragma once

#include <QDialog>

#include <optional>
#include <string>
#include <vector>

class QPushButton;
class QTreeWidget;

class TModemSelectDialog final : public QDialog {
 public:
  // Centred on aParent; one list line per entry of aLines, the first one marked.
  TModemSelectDialog(const std::vector<std::string>& aLines, QWidget* aParent);

  // The marked line when the dialog was accepted; none for Cancel, Escape or a close.
  std::optional<size_t> Choice() const;

  QTreeWidget* ListView1() const { return FList; }
  QPushButton* OkButton() const { return FOk; }
  QPushButton* CancelButton() const { return FCancel; }

 protected:
  // Key preview: the dialog sees Escape before the list does.
  bool eventFilter(QObject* aWatched, QEvent* aEvent) override;
  void showEvent(QShowEvent* aEvent) override;

 private:
  QTreeWidget* FList;
  QPushButton* FOk;
  QPushButton* FCancel;
};
