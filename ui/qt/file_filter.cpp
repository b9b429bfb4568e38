#include "ui/qt/file_filter.h"

#include <QString>

namespace {

QString PatternsWithBlanks(const QString& strPatterns) {
  QStringList patterns;
  for (const QString& p : strPatterns.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
    const QString strTrimmed = p.trimmed();
    if (!strTrimmed.isEmpty()) patterns << strTrimmed;
  }
  return patterns.join(QLatin1Char(' '));
}

}  // namespace

QStringList ConvertFileFilter(const std::string& strFilter) {
  QStringList filters;
  // The list ends at the first empty field ("||"), as the classic form does.
  const QStringList fields =
      QString::fromUtf8(strFilter.data(), static_cast<int>(strFilter.size())).split(QLatin1Char('|'));
  for (int i = 0; i + 1 < fields.size(); i += 2) {
    const QString strDescription = fields[i].trimmed();
    const QString strPatterns = PatternsWithBlanks(fields[i + 1]);
    if (strDescription.isEmpty()) break;
    if (strPatterns.isEmpty()) continue;
    QString strEntry = strDescription;
    const int nOpen = strEntry.lastIndexOf(QLatin1Char('('));
    if (strEntry.endsWith(QLatin1Char(')')) && nOpen >= 0) {
      // Qt reads the patterns from the parentheses: make them the real ones.
      strEntry = strEntry.left(nOpen + 1) + strPatterns + QLatin1Char(')');
    } else if (strEntry.isEmpty()) {
      strEntry = QStringLiteral("(%1)").arg(strPatterns);
    } else {
      strEntry += QStringLiteral(" (%1)").arg(strPatterns);
    }
    filters << strEntry;
  }
  return filters;
}
