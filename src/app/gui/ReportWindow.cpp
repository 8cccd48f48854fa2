// The report window's widgets, laid out at their designed positions; the two lower group boxes
// follow the window's height.
#include "gui/ReportWindow.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>

#include "gui/AuricStyle.h"

namespace {

constexpr int kClientWidth = 314;
constexpr int kClientHeight = 310;
constexpr int kMaxWidth = 330;
constexpr int kRowY[5] = {24, 40, 56, 72, 88};
constexpr int kListItemHeight = 14;

}  // namespace

TReportWindow::TReportWindow(QWidget* aOwner, std::function<void()> aOnClose)
    : QWidget(aOwner, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      FOnClose(std::move(aOnClose)) {
  setObjectName(QStringLiteral("ReportFm"));
  setAttribute(Qt::WA_StyledBackground);
  setWindowTitle(QString::fromUtf8(kReportCaption));
  setFont(WindowFont(11));
  resize(kClientWidth, kClientHeight);
  setMaximumWidth(kMaxWidth);
  setMinimumSize(kClientWidth, 200);

  const QRect groupRects[4] = {{8, 8, 145, 113}, {159, 8, 145, 113}, {8, 128, 145, 174}, {159, 128, 145, 174}};
  for (size_t g = 0; g < FGroups.size(); ++g) {
    FGroups[g] = new QGroupBox(QString::fromUtf8(kReportGroupCaptions[g]), this);
    FGroups[g]->setObjectName(QStringLiteral("GroupBox%1").arg(g + 1));
    FGroups[g]->setGeometry(groupRects[g]);
  }

  // Captions and counts share the column font, so that the colons and numbers line up.
  const QFont column = ColumnFont(11);
  for (int i = 0; i < kReportLabelCount; ++i) {
    const bool rx = i < 10;
    const bool count = (i % 10) >= 5;
    const int row = i % 5;
    QLabel* label = new QLabel(QString::fromUtf8(kReportLabelInitialTexts[static_cast<size_t>(i)]), FGroups[rx ? 0 : 1]);
    label->setObjectName(QStringLiteral("Label%1").arg(i + 1));
    label->setFont(column);
    const int x = count ? (rx ? 83 : 72) : 8;
    label->setGeometry(x, kRowY[row], count ? 56 : 80, 14);
    FLabels[static_cast<size_t>(i)] = label;
  }

  for (int l = 0; l < 2; ++l) {
    auto* list = new QListWidget(FGroups[2 + l]);
    list->setObjectName(QStringLiteral("ListBox%1").arg(l + 1));
    list->setFont(column);
    list->setUniformItemSizes(true);
    list->setSelectionMode(QAbstractItemView::NoSelection);
    list->setFocusPolicy(Qt::NoFocus);
    list->setStyleSheet(QStringLiteral("QListWidget::item { height: %1px; }").arg(kListItemHeight));
    FLists[static_cast<size_t>(l)] = list;
  }
}

void TReportWindow::resizeEvent(QResizeEvent* aEvent) {
  QWidget::resizeEvent(aEvent);
  // The lower groups stretch with the window's height; their lists fill them, 8 from the edges.
  const int groupHeight = std::max(60, height() - 128 - 8);
  for (int g = 2; g < 4; ++g) {
    QGroupBox* group = FGroups[static_cast<size_t>(g)];
    group->setGeometry(group->x(), 128, 145, groupHeight);
    FLists[static_cast<size_t>(g - 2)]->setGeometry(8, 18, 145 - 16, groupHeight - 18 - 8);
  }
}

void TReportWindow::showEvent(QShowEvent* aEvent) {
  if (!FPlaced) {
    FPlaced = true;
    if (QWidget* owner = parentWidget()) {
      const QRect frame = owner->frameGeometry();
      move(frame.center() - QPoint(width() / 2, height() / 2));
    }
  }
  QWidget::showEvent(aEvent);
}

void TReportWindow::closeEvent(QCloseEvent* aEvent) {
  aEvent->accept();
  // Frees this window's view, which schedules the window itself for deletion.
  if (FOnClose) FOnClose();
}

TQtReportView::~TQtReportView() {
  if (FWindow) {
    FWindow->hide();
    FWindow->deleteLater();
  }
}

void TQtReportView::SetLabelText(int aLabel, const std::string& aText) {
  if (FWindow && aLabel >= 1 && aLabel <= kReportLabelCount) FWindow->Label(aLabel)->setText(QString::fromStdString(aText));
}

void TQtReportView::SetListLines(TReportList aList, const std::vector<std::string>& aLines) {
  if (!FWindow) return;
  QListWidget* list = FWindow->List(aList);
  list->setUpdatesEnabled(false);
  list->clear();
  for (const std::string& line : aLines) list->addItem(QString::fromStdString(line));
  list->setUpdatesEnabled(true);
}

void TQtReportView::Show() {
  if (!FWindow) return;
  FWindow->show();
  FWindow->raise();
}
