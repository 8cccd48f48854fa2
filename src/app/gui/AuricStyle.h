// The program's own visual style "Auric": a warm dark-gold palette and style sheet, and the
// window fonts with their fallbacks.
#pragma once

#include <QColor>
#include <QFont>

class QApplication;

// Applies the style to the whole application: Fusion as the base, the Auric palette, and the
// style sheet carried among the resources (":/styles/auric.qss"). Call before any window exists.
void ApplyAuricStyle(QApplication& aApp);

// The active style's colour for a disabled panel: the charts' background.
QColor DisabledPanelColor();

// The window font (Tahoma, or the closest sans-serif present) at a pixel height.
QFont WindowFont(int aPixelSize, bool aBold = false);
// The report's column font (Courier New, or the closest monospace present).
QFont ColumnFont(int aPixelSize);
