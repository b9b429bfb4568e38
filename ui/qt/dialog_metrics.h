// Fonts and dialog units of the operator window.
//
// The window template gives every position in dialog units of the dialog
// font: a horizontal unit is a quarter of the font's average character
// width, a vertical unit an eighth of its height, so the layout grows with
// the font. The average width is that of the 52 Latin letters divided by 52,
// rounded; the height is the font's ascent plus descent.
//
// The window was designed with "Calibri" 10 pt (dialog), "Courier New" with
// an 18-pixel cell (controls and log) and "Arial" 8 pt (About box). Where
// those are not installed, the metric-compatible Carlito, Liberation Mono
// and Liberation Sans stand in for them (InstallFontSubstitutions).
#pragma once
#include <QFont>
#include <QRect>

class DialogUnits {
 public:
  // Base units measured from a font.
  explicit DialogUnits(const QFont& font);
  DialogUnits(int nBaseX, int nBaseY) : m_nBaseX(nBaseX), m_nBaseY(nBaseY) {}

  int BaseX() const { return m_nBaseX; }
  int BaseY() const { return m_nBaseY; }
  // Dialog units to pixels, rounded to the nearest pixel.
  int X(int nDlu) const;
  int Y(int nDlu) const;
  QRect Rect(int x, int y, int cx, int cy) const;

 private:
  int m_nBaseX;
  int m_nBaseY;
};

// a * b / c rounded to the nearest integer, halves away from zero; 0 when c
// is 0 (the rounding a window template uses for its units).
int MulDivRound(int a, int b, int c);

// Makes the design font names resolve to the metric-compatible families when
// the design fonts themselves are missing. Safe to call more than once.
void InstallFontSubstitutions();

// Pixel size of a font given in points, at the screen's logical resolution
// (96 dots per inch at 100 %), rounded as a window template rounds it.
int PointsToPixels(int nPoints, int nDpi);

// "Calibri" 10 pt: the font the dialog units are measured in.
QFont DialogFont();
// "Courier New" whose cell (ascent + descent) is 18 pixels: every control
// but the logo and the progress bar, and the log.
QFont ControlFont();
// "Arial" 8 pt: the About box.
QFont AboutFont();

// The pixel size that gives this font a cell height of nCellPx.
int PixelSizeForCellHeight(QFont font, int nCellPx);
