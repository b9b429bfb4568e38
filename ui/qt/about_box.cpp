#include "ui/qt/about_box.h"

#include <QLabel>
#include <QPushButton>

#include "ui/qt/dialog_metrics.h"

const char g_pszAboutCaption[] = "About TAV Vodivazu RA";
const char g_pszAboutVersionLine[] = "TAV Vodivazu RA Version 1.0";
const char g_pszAboutSecondLine[] = "Firmware update for card readers";

namespace {

// Template 100, in dialog units.
constexpr int kWidth = 235;
constexpr int kHeight = 55;
constexpr int kIconSize = 21;

}  // namespace

CAboutDlg::CAboutDlg(const QIcon& icon, QWidget* pParent) : QDialog(pParent) {
  setObjectName(QStringLiteral("AboutBox"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setWindowTitle(QString::fromLatin1(g_pszAboutCaption));
  const QFont font = AboutFont();
  setFont(font);
  const DialogUnits du(font);

  m_pIcon = new QLabel(this);
  m_pIcon->setObjectName(QStringLiteral("AboutIcon"));
  m_pIcon->setGeometry(du.Rect(11, 10, kIconSize, kIconSize));
  const QSize iconSize = m_pIcon->size();
  if (!icon.isNull()) m_pIcon->setPixmap(icon.pixmap(iconSize, devicePixelRatio()));

  m_pVersionLine = new QLabel(QString::fromLatin1(g_pszAboutVersionLine), this);
  m_pVersionLine->setObjectName(QStringLiteral("AboutVersionLine"));
  m_pVersionLine->setGeometry(du.Rect(40, 10, 188, 8));

  m_pSecondLine = new QLabel(QString::fromLatin1(g_pszAboutSecondLine), this);
  m_pSecondLine->setObjectName(QStringLiteral("AboutSecondLine"));
  m_pSecondLine->setGeometry(du.Rect(40, 22, 188, 8));

  m_pOk = new QPushButton(QStringLiteral("OK"), this);
  m_pOk->setObjectName(QStringLiteral("AboutOk"));
  m_pOk->setGeometry(du.Rect(178, 35, 50, 14));
  m_pOk->setDefault(true);
  connect(m_pOk, &QPushButton::clicked, this, &QDialog::accept);

  setFixedSize(du.X(kWidth), du.Y(kHeight));
}
