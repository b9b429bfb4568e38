#include "ui/qt/dialog_metrics.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QScreen>
#include <QString>
#include <cstdint>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

constexpr int kDialogPoints = 10;
constexpr int kAboutPoints = 8;
constexpr int kControlCellPx = 18;
// A template's resolution at 100 % scaling; Qt scales logical pixels beyond it.
constexpr int kDefaultDpi = 96;

int LogicalDpi() {
  const QScreen* pScreen = QGuiApplication::primaryScreen();
  const int nDpi = pScreen ? static_cast<int>(pScreen->logicalDotsPerInchY() + 0.5) : kDefaultDpi;
  return nDpi > 0 ? nDpi : kDefaultDpi;
}

QFont FontWithPixels(const char* pszFamily, int nPixels, QFont::StyleHint hint) {
  QFont font(QString::fromLatin1(pszFamily));
  font.setStyleHint(hint);
  font.setPixelSize(nPixels > 0 ? nPixels : 1);
  font.setWeight(QFont::Normal);
  return font;
}

}  // namespace

int MulDivRound(int a, int b, int c) {
  if (c == 0) return 0;
  const std::int64_t p = static_cast<std::int64_t>(a) * b;
  const bool bNegative = (p < 0) != (c < 0);
  const std::int64_t nAbsP = p < 0 ? -p : p;
  const std::int64_t nAbsC = c < 0 ? -static_cast<std::int64_t>(c) : c;
  const std::int64_t q = (nAbsP + nAbsC / 2) / nAbsC;
  return static_cast<int>(bNegative ? -q : q);
}

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics fm(font);
  const int nWidth = fm.horizontalAdvance(QString::fromLatin1(kAlphabet));
  m_nBaseX = MulDivRound(nWidth, 1, 52);
  m_nBaseY = fm.ascent() + fm.descent();
  if (m_nBaseX <= 0) m_nBaseX = 1;
  if (m_nBaseY <= 0) m_nBaseY = 1;
}

int DialogUnits::X(int nDlu) const { return MulDivRound(nDlu, m_nBaseX, 4); }

int DialogUnits::Y(int nDlu) const { return MulDivRound(nDlu, m_nBaseY, 8); }

QRect DialogUnits::Rect(int x, int y, int cx, int cy) const {
  // Both edges are converted, so that adjacent controls stay adjacent.
  const int nLeft = X(x);
  const int nTop = Y(y);
  return QRect(nLeft, nTop, X(x + cx) - nLeft, Y(y + cy) - nTop);
}

void InstallFontSubstitutions() {
  static const struct {
    const char* pszDesign;
    const char* pszStandIn;
  } kPairs[] = {{"Calibri", "Carlito"}, {"Courier New", "Liberation Mono"}, {"Arial", "Liberation Sans"}};
  for (const auto& pair : kPairs) {
    const QString strDesign = QString::fromLatin1(pair.pszDesign);
    if (!QFont::substitutes(strDesign).contains(QString::fromLatin1(pair.pszStandIn)))
      QFont::insertSubstitution(strDesign, QString::fromLatin1(pair.pszStandIn));
  }
}

int PointsToPixels(int nPoints, int nDpi) { return MulDivRound(nPoints, nDpi, 72); }

int PixelSizeForCellHeight(QFont font, int nCellPx) {
  // Measured at a large size, where rounding of ascent and descent is small.
  constexpr int kProbePx = 200;
  font.setPixelSize(kProbePx);
  const QFontMetricsF fm(font);
  const qreal cell = fm.ascent() + fm.descent();
  if (cell <= 0) return nCellPx;
  const int nPx = static_cast<int>(nCellPx * kProbePx / cell + 0.5);
  return nPx > 0 ? nPx : 1;
}

QFont DialogFont() {
  InstallFontSubstitutions();
  return FontWithPixels("Calibri", PointsToPixels(kDialogPoints, LogicalDpi()), QFont::SansSerif);
}

QFont ControlFont() {
  InstallFontSubstitutions();
  QFont font = FontWithPixels("Courier New", kControlCellPx, QFont::TypeWriter);
  font.setFixedPitch(true);
  font.setPixelSize(PixelSizeForCellHeight(font, kControlCellPx));
  return font;
}

QFont AboutFont() {
  InstallFontSubstitutions();
  return FontWithPixels("Arial", PointsToPixels(kAboutPoints, LogicalDpi()), QFont::SansSerif);
}
