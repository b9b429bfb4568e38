// The About box: caption "About TAV Vodivazu RA", the program icon, the
// line "TAV Vodivazu RA Version 1.0", a second line and an OK button that
// closes it. 235 x 55 dialog units of its own "Arial" 8 pt font.
#pragma once
#include <QDialog>
#include <QIcon>

class QLabel;
class QPushButton;

class CAboutDlg final : public QDialog {
  Q_OBJECT
 public:
  explicit CAboutDlg(const QIcon& icon, QWidget* pParent = nullptr);

  QLabel* IconLabel() const { return m_pIcon; }
  QLabel* VersionLine() const { return m_pVersionLine; }
  QLabel* SecondLine() const { return m_pSecondLine; }
  QPushButton* OkButton() const { return m_pOk; }

 private:
  QLabel* m_pIcon;
  QLabel* m_pVersionLine;
  QLabel* m_pSecondLine;
  QPushButton* m_pOk;
};

extern const char g_pszAboutCaption[];
extern const char g_pszAboutVersionLine[];
extern const char g_pszAboutSecondLine[];
