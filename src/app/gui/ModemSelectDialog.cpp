// The "Select modem" dialog: a one-column list, OK, and Cancel as the default button.
#include "gui/ModemSelectDialog.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QPushButton>
#include <QTreeWidget>

#include "window/ModemSelectUnit.h"

TModemSelectDialog::TModemSelectDialog(const std::vector<std::string>& aLines, QWidget* aParent)
    : QDialog(aParent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName(QStringLiteral("ModemSelectFm"));
  setWindowTitle(QString::fromUtf8(kModemSelectCaption));
  setModal(true);
  setFixedSize(393, 210);

  FList = new QTreeWidget(this);
  FList->setObjectName(QStringLiteral("ListView1"));
  FList->setGeometry(8, 8, 377, 150);
  FList->setColumnCount(1);
  FList->setColumnWidth(0, 350);
  FList->setHeaderHidden(true);
  FList->setRootIsDecorated(false);
  FList->setSelectionMode(QAbstractItemView::SingleSelection);
  for (const std::string& line : aLines) FList->addTopLevelItem(new QTreeWidgetItem(QStringList{QString::fromStdString(line)}));
  if (FList->topLevelItemCount() > 0) FList->setCurrentItem(FList->topLevelItem(0));

  FOk = new QPushButton(QStringLiteral("OK"), this);
  FOk->setObjectName(QStringLiteral("Button1"));
  FOk->setGeometry(152, 176, 75, 25);
  FOk->setAutoDefault(false);
  connect(FOk, &QPushButton::clicked, this, &QDialog::accept);

  // Cancel is the default button: Enter cancels.
  FCancel = new QPushButton(QStringLiteral("Cancel"), this);
  FCancel->setObjectName(QStringLiteral("Button2"));
  FCancel->setGeometry(310, 176, 75, 25);
  FCancel->setAutoDefault(false);
  FCancel->setDefault(true);
  connect(FCancel, &QPushButton::clicked, this, &QDialog::reject);

  installEventFilter(this);
  for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);
}

std::optional<size_t> TModemSelectDialog::Choice() const {
  if (result() != QDialog::Accepted) return std::nullopt;
  const QList<QTreeWidgetItem*> marked = FList->selectedItems();
  if (marked.isEmpty()) return std::nullopt;
  const int index = FList->indexOfTopLevelItem(marked.front());
  if (index < 0) return std::nullopt;
  return static_cast<size_t>(index);
}

bool TModemSelectDialog::eventFilter(QObject* aWatched, QEvent* aEvent) {
  if (aEvent->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(aEvent)->key() == Qt::Key_Escape) {
    reject();
    return true;
  }
  return QDialog::eventFilter(aWatched, aEvent);
}

void TModemSelectDialog::showEvent(QShowEvent* aEvent) {
  if (QWidget* owner = parentWidget()) {
    const QRect frame = owner->frameGeometry();
    move(frame.center() - QPoint(width() / 2, height() / 2));
  }
  QDialog::showEvent(aEvent);
}
