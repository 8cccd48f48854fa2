// The "Auric" style: palette roles in dark gold and bronze, the style sheet from the resources,
// and the font families tried in order when the designed ones are not installed.
#include "gui/AuricStyle.h"

#include <QApplication>
#include <QFile>
#include <QPalette>
#include <QStyleFactory>

namespace {

QPalette AuricPalette() {
  const QColor window(58, 46, 28);
  const QColor base(36, 28, 16);
  const QColor text(246, 228, 184);
  const QColor button(86, 66, 34);
  const QColor highlight(214, 164, 58);
  const QColor disabledText(150, 132, 100);

  QPalette p;
  p.setColor(QPalette::Window, window);
  p.setColor(QPalette::WindowText, text);
  p.setColor(QPalette::Base, base);
  p.setColor(QPalette::AlternateBase, QColor(48, 38, 22));
  p.setColor(QPalette::Text, text);
  p.setColor(QPalette::Button, button);
  p.setColor(QPalette::ButtonText, text);
  p.setColor(QPalette::BrightText, QColor(255, 240, 200));
  p.setColor(QPalette::Highlight, highlight);
  p.setColor(QPalette::HighlightedText, QColor(30, 22, 8));
  p.setColor(QPalette::ToolTipBase, QColor(250, 232, 180));
  p.setColor(QPalette::ToolTipText, QColor(40, 30, 12));
  p.setColor(QPalette::PlaceholderText, disabledText);
  p.setColor(QPalette::Light, QColor(128, 100, 52));
  p.setColor(QPalette::Midlight, QColor(104, 82, 44));
  p.setColor(QPalette::Mid, QColor(70, 54, 30));
  p.setColor(QPalette::Dark, QColor(32, 24, 12));
  p.setColor(QPalette::Shadow, QColor(16, 12, 6));
  p.setColor(QPalette::Link, QColor(240, 196, 96));

  // A disabled panel is a lighter, greyed bronze; the charts are painted on it.
  p.setColor(QPalette::Disabled, QPalette::Window, QColor(122, 104, 72));
  p.setColor(QPalette::Disabled, QPalette::WindowText, disabledText);
  p.setColor(QPalette::Disabled, QPalette::Text, disabledText);
  p.setColor(QPalette::Disabled, QPalette::ButtonText, disabledText);
  p.setColor(QPalette::Disabled, QPalette::Button, QColor(70, 56, 34));
  p.setColor(QPalette::Disabled, QPalette::Base, QColor(48, 40, 26));
  p.setColor(QPalette::Disabled, QPalette::Highlight, QColor(110, 92, 60));
  return p;
}

QFont FontOf(const QStringList& aFamilies, QFont::StyleHint aHint, int aPixelSize) {
  QFont font(aFamilies.front());
  font.setFamilies(aFamilies);
  font.setStyleHint(aHint);
  font.setPixelSize(aPixelSize);
  return font;
}

}  // namespace

void ApplyAuricStyle(QApplication& aApp) {
  if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) aApp.setStyle(fusion);
  aApp.setPalette(AuricPalette());
  QFile sheet(QStringLiteral(":/styles/auric.qss"));
  if (sheet.open(QIODevice::ReadOnly | QIODevice::Text)) aApp.setStyleSheet(QString::fromUtf8(sheet.readAll()));
  aApp.setFont(WindowFont(11));
}

QColor DisabledPanelColor() { return QApplication::palette().color(QPalette::Disabled, QPalette::Window); }

QFont WindowFont(int aPixelSize, bool aBold) {
  // Tahoma is rarely installed on Linux; the condensed DejaVu Sans comes closest in width.
  QFont font = FontOf({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Verdana"),
                       QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans")},
                      QFont::SansSerif, aPixelSize);
  font.setBold(aBold);
  return font;
}

QFont ColumnFont(int aPixelSize) {
  return FontOf({QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"), QStringLiteral("DejaVu Sans Mono")},
                QFont::TypeWriter, aPixelSize);
}
