#include "ui/qt/qt_dialog_view.h"

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QEventLoop>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QThread>
#include <QTimer>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/stop.h"
#include "ui/dialog_template.h"
#include "ui/line_ends.h"
#include "ui/main_dialog.h"
#include "ui/qt/about_box.h"
#include "ui/qt/file_filter.h"

namespace {

// The window template, in dialog units.
constexpr int kTemplateWidth = 361;
constexpr int kTemplateHeight = 341;

constexpr char kTooltipPortButton[] = "Click to Refresh COM Port List";
constexpr char kCancelAnswer[] = "cancel";

QString FromText(const std::string& str) { return QString::fromUtf8(str.data(), static_cast<int>(str.size())); }

std::string ToText(const QString& str) {
  const QByteArray bytes = str.toUtf8();
  return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// The log and the message texts end their lines in CR LF; the Qt text
// widgets use LF alone.
QString FromWindowsLines(const std::string& str) { return FromText(CrLfToLf(str)); }

std::string ToWindowsLines(const QString& str) { return LfToCrLf(ToText(str)); }

QMessageBox::Icon BoxIcon(MsgIcon icon) {
  switch (icon) {
    case MsgIcon::Information:
      return QMessageBox::Information;
    case MsgIcon::Exclamation:
      return QMessageBox::Warning;
    case MsgIcon::Error:
      return QMessageBox::Critical;
    case MsgIcon::Question:
      return QMessageBox::Question;
    case MsgIcon::None:
      break;
  }
  return QMessageBox::NoIcon;
}

// A group box as the window template draws it: a thin frame whose top line
// runs through the middle of the title, the title near its left end.
constexpr char kGroupBoxStyle[] =
    "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; "
    "margin-top: 0.6em; }"
    "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top "
    "left; left: 6px; padding: 0 2px; }";

// Controls take the control font; the combo boxes' height is the one their
// edit field needs (the template's height is that of the dropped list).
void PlaceCombo(QComboBox* pCombo, const DialogUnits& du, int x, int y, int cx, int cyList) {
  const QRect rc = du.Rect(x, y, cx, cyList);
  const int nEditHeight = pCombo->sizeHint().height();
  pCombo->setGeometry(rc.x(), rc.y(), rc.width(), nEditHeight);
  // As many items as the dropped list's height holds below the edit field.
  const int nItemHeight = pCombo->fontMetrics().height() + 2;
  const int nItems = (rc.height() - nEditHeight) / (nItemHeight > 0 ? nItemHeight : 1);
  pCombo->setMaxVisibleItems(nItems > 1 ? nItems : 1);
}

}  // namespace

struct QtDialogView::Call {
  enum class State { kQueued, kRunning, kDone, kDropped };
  std::function<void()> fn;
  State state = State::kQueued;
};

QtDialogView::QtDialogView(CTAVDownloadApDlg& dialog, QWidget* pParent)
    : QDialog(pParent), m_dialog(dialog), m_units(DialogFont()), m_controlFont(ControlFont()) {
  setObjectName(QStringLiteral("MainWindow"));
  // A normal top-level window, as the task bar lists it: caption and close
  // box; no minimize or maximize box; fixed size.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setFont(DialogFont());
  setWindowIcon(ProgramIcon());
  MakeControls();
  setFixedSize(m_units.X(kTemplateWidth), m_units.Y(kTemplateHeight));

  // The About item: no system menu to extend here, so F1 and the window's
  // context menu offer it.
  auto* pHelp = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(pHelp, &QShortcut::activated, this, &QtDialogView::ShowAboutFromMenu);
}

QtDialogView::~QtDialogView() {
  {
    std::lock_guard<std::mutex> lock(m_callMutex);
    m_bEnded = true;
  }
  m_callDone.notify_all();
  for (auto& timer : m_timers) timer.second->stop();
}

QIcon QtDialogView::ProgramIcon() {
  static const QIcon icon(QStringLiteral(":/art/icon.png"));
  return icon;
}

void QtDialogView::MakeControls() {
  const DialogUnits& du = m_units;
  // Created in template order: a group box lies below the controls it frames.
  m_pLogo = new QLabel(this);
  m_pLogo->setObjectName(QStringLiteral("Logo"));
  m_pLogo->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  m_pLogo->setLineWidth(1);
  m_pLogo->setGeometry(du.Rect(11, 4, 87, 32));
  m_pLogo->setAlignment(Qt::AlignCenter);
  {
    const QPixmap logo(QStringLiteral(":/art/logo.png"));
    if (!logo.isNull()) {
      const qreal dpr = devicePixelRatioF();
      QPixmap scaled = logo.scaled(m_pLogo->contentsRect().size() * dpr, Qt::KeepAspectRatio, Qt::SmoothTransformation);
      scaled.setDevicePixelRatio(dpr);
      m_pLogo->setPixmap(scaled);
    }
  }

  m_pInterfaceGroup = new QGroupBox(QStringLiteral("Interface"), this);
  m_pInterfaceGroup->setObjectName(QStringLiteral("InterfaceGroup"));
  m_pInterfaceGroup->setFont(m_controlFont);
  m_pInterfaceGroup->setStyleSheet(QString::fromLatin1(kGroupBoxStyle));
  m_pInterfaceGroup->setGeometry(du.Rect(11, 37, 153, 69));

  const auto makeCombo = [this](int nId, const char* pszName) {
    auto* pCombo = new QComboBox(this);
    pCombo->setObjectName(QString::fromLatin1(pszName));
    pCombo->setEditable(true);
    pCombo->setInsertPolicy(QComboBox::NoInsert);
    pCombo->setFont(m_controlFont);
    pCombo->lineEdit()->setFont(m_controlFont);
    m_controls[nId] = pCombo;
    return pCombo;
  };
  const auto makeButton = [this](int nId, const char* pszName, const char* pszText) {
    auto* pButton = new QPushButton(QString::fromLatin1(pszText), this);
    pButton->setObjectName(QString::fromLatin1(pszName));
    // Enter is the window's (keyPressEvent), not a default button's.
    pButton->setAutoDefault(false);
    pButton->setFont(m_controlFont);
    m_controls[nId] = pButton;
    return pButton;
  };

  m_pInterfaceList = makeCombo(IDC_INTERFACE_LIST, "InterfaceList");
  for (const std::string& strItem : TemplateListItems(IDC_INTERFACE_LIST)) m_pInterfaceList->addItem(FromText(strItem));
  m_pInterfaceList->setCurrentIndex(-1);
  PlaceCombo(m_pInterfaceList, du, 17, 49, 66, 38);

  m_pPortButton = makeButton(IDC_PORT_BUTTON, "PortButton", "Port :");
  m_pPortButton->setToolTip(QString::fromLatin1(kTooltipPortButton));
  m_pPortButton->setGeometry(du.Rect(17, 66, 66, 15));

  m_pPortList = makeCombo(IDC_PORT_LIST, "PortList");
  PlaceCombo(m_pPortList, du, 85, 67, 70, 88);

  m_pBaudLabel = new QLabel(QStringLiteral("Baud Rate:"), this);
  m_pBaudLabel->setObjectName(QStringLiteral("BaudLabel"));
  m_pBaudLabel->setFont(m_controlFont);
  m_pBaudLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  m_pBaudLabel->setGeometry(du.Rect(17, 86, 64, 14));
  m_controls[IDC_BAUD_LABEL] = m_pBaudLabel;

  m_pBaudList = makeCombo(IDC_BAUD_LIST, "BaudList");
  for (const std::string& strItem : TemplateListItems(IDC_BAUD_LIST)) m_pBaudList->addItem(FromText(strItem));
  m_pBaudList->setCurrentIndex(-1);
  PlaceCombo(m_pBaudList, du, 85, 88, 70, 82);

  m_pTimeGroup = new QGroupBox(QStringLiteral("Time Elapsed : MM:SS"), this);
  m_pTimeGroup->setObjectName(QStringLiteral("TimeGroup"));
  m_pTimeGroup->setFont(m_controlFont);
  m_pTimeGroup->setStyleSheet(QString::fromLatin1(kGroupBoxStyle));
  m_pTimeGroup->setGeometry(du.Rect(11, 108, 153, 25));
  m_controls[IDC_TIME_GROUP] = m_pTimeGroup;

  m_pElapsed = new QLineEdit(QStringLiteral("00:00"), this);
  m_pElapsed->setObjectName(QStringLiteral("ElapsedField"));
  m_pElapsed->setReadOnly(true);
  {
    // Drawn as a read-only field: on the window's colour, not as one to type in.
    QPalette pal = m_pElapsed->palette();
    pal.setColor(QPalette::Base, pal.color(QPalette::Window));
    m_pElapsed->setPalette(pal);
  }
  m_pElapsed->setFont(m_controlFont);
  m_pElapsed->setGeometry(du.Rect(16, 119, 83, 13));
  m_controls[IDC_ELAPSED] = m_pElapsed;

  m_pFunctionsGroup = new QGroupBox(QStringLiteral("Functions"), this);
  m_pFunctionsGroup->setObjectName(QStringLiteral("FunctionsGroup"));
  m_pFunctionsGroup->setFont(m_controlFont);
  m_pFunctionsGroup->setStyleSheet(QString::fromLatin1(kGroupBoxStyle));
  m_pFunctionsGroup->setGeometry(du.Rect(170, 36, 174, 100));
  m_controls[IDC_FUNCTIONS_GROUP] = m_pFunctionsGroup;

  m_pLoad = makeButton(IDC_LOAD, "LoadButton", "Load");
  m_pLoad->setGeometry(du.Rect(182, 55, 150, 33));

  m_pResetDefault = makeButton(IDC_RESET_DEFAULT, "ResetDefaultButton", "Reset Default");
  m_pResetDefault->setGeometry(du.Rect(183, 92, 150, 33));

  m_pProgress = new QProgressBar(this);
  m_pProgress->setObjectName(QStringLiteral("ProgressBar"));
  m_pProgress->setTextVisible(false);
  m_pProgress->setGeometry(du.Rect(7, 158, 338, 22));
  m_controls[IDC_PROGRESS] = m_pProgress;
  ApplyProgress();

  m_pLog = new QPlainTextEdit(this);
  m_pLog->setObjectName(QStringLiteral("LogPane"));
  m_pLog->setFont(m_controlFont);
  // Lines scroll sideways instead of wrapping; the vertical bar is always
  // there.
  m_pLog->setLineWrapMode(QPlainTextEdit::NoWrap);
  m_pLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  m_pLog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  m_pLog->setTabChangesFocus(true);
  m_pLog->setGeometry(du.Rect(7, 189, 338, 137));
  m_controls[IDC_LOG] = m_pLog;

  // Hidden at start, as the template has them.
  for (int nId : kTemplateHiddenControls)
    if (QWidget* pControl = Control(nId)) pControl->hide();

  connect(m_pLoad, &QPushButton::clicked, this, [this] { m_dialog.OnLoad(); });
  connect(m_pResetDefault, &QPushButton::clicked, this, [this] { m_dialog.OnResetDefault(); });
  connect(m_pPortButton, &QPushButton::clicked, this, [this] { m_dialog.RefreshComPortList(); });
  // A choice the operator makes, not one the logic sets.
  connect(m_pInterfaceList, &QComboBox::activated, this, [this](int) { m_dialog.OnInterfaceChange(); });
}

QWidget* QtDialogView::Control(int nId) const {
  const auto it = m_controls.find(nId);
  return it == m_controls.end() ? nullptr : it->second;
}

QComboBox* QtDialogView::List(int nId) const {
  switch (nId) {
    case IDC_INTERFACE_LIST:
      return m_pInterfaceList;
    case IDC_BAUD_LIST:
      return m_pBaudList;
    case IDC_PORT_LIST:
      return m_pPortList;
    default:
      return nullptr;
  }
}

bool QtDialogView::IsTimerRunning(UINT_PTR nIDEvent) const {
  const auto it = m_timers.find(nIDEvent);
  return it != m_timers.end() && it->second->isActive();
}

// ---- calls from any thread ----

bool QtDialogView::IsWindowThread() const { return QThread::currentThread() == thread(); }

bool QtDialogView::RunOnWindowThread(std::function<void()> fn) {
  if (IsWindowThread()) {
    fn();
    return true;
  }
  auto pCall = std::make_shared<Call>();
  pCall->fn = std::move(fn);
  {
    std::lock_guard<std::mutex> lock(m_callMutex);
    if (m_bEnded) return false;
  }
  QMetaObject::invokeMethod(
      this, [this, pCall] { RunQueuedCall(pCall); }, Qt::QueuedConnection);
  std::unique_lock<std::mutex> lock(m_callMutex);
  m_callDone.wait(lock, [&] {
    return pCall->state == Call::State::kDone || pCall->state == Call::State::kDropped ||
           (pCall->state == Call::State::kQueued && m_bEnded);
  });
  if (pCall->state == Call::State::kDone) return true;
  pCall->state = Call::State::kDropped;
  return false;
}

void QtDialogView::RunQueuedCall(const std::shared_ptr<Call>& pCall) {
  {
    std::lock_guard<std::mutex> lock(m_callMutex);
    if (pCall->state != Call::State::kQueued) return;
    if (m_bEnded) {
      pCall->state = Call::State::kDropped;
      m_callDone.notify_all();
      return;
    }
    pCall->state = Call::State::kRunning;
  }
  pCall->fn();
  {
    std::lock_guard<std::mutex> lock(m_callMutex);
    pCall->state = Call::State::kDone;
  }
  m_callDone.notify_all();
}

void QtDialogView::SendToWindowThread(std::function<void()> fn) { RunOnWindowThread(std::move(fn)); }

// ---- IDialogView ----

void QtDialogView::SetEventSink(IDialogEvents* pSink) { m_pSink.store(pSink); }

void QtDialogView::SetLogText(const std::string& strText) {
  RunOnWindowThread([&] { m_pLog->setPlainText(FromWindowsLines(strText)); });
}

std::string QtDialogView::GetLogText() {
  std::string strText;
  RunOnWindowThread([&] { strText = ToWindowsLines(m_pLog->toPlainText()); });
  return strText;
}

void QtDialogView::ScrollLogToEnd() {
  RunOnWindowThread([&] {
    QScrollBar* pBar = m_pLog->verticalScrollBar();
    pBar->setValue(pBar->maximum());
  });
}

void QtDialogView::ApplyProgress() {
  if (m_bMarquee) {
    // A range of 0..0 is Qt's busy indicator.
    m_pProgress->setRange(0, 0);
    return;
  }
  if (m_nProgressMax <= 0) {
    // An empty range shows an empty bar (0..0 would be the busy indicator).
    m_pProgress->setRange(0, 1);
    m_pProgress->setValue(0);
    return;
  }
  m_pProgress->setRange(0, m_nProgressMax);
  const int nPos = m_nProgressPos < 0 ? 0 : (m_nProgressPos > m_nProgressMax ? m_nProgressMax : m_nProgressPos);
  m_pProgress->setValue(nPos);
}

void QtDialogView::SetProgressRange(int nMax) {
  RunOnWindowThread([&] {
    m_nProgressMax = nMax;
    ApplyProgress();
  });
}

void QtDialogView::SetProgressPos(int nPos) {
  RunOnWindowThread([&] {
    m_nProgressPos = nPos;
    ApplyProgress();
  });
}

void QtDialogView::SetProgressMarquee(bool bOn) {
  RunOnWindowThread([&] {
    m_bMarquee = bOn;
    ApplyProgress();
  });
}

void QtDialogView::SetElapsedText(const std::string& strText) {
  RunOnWindowThread([&] { m_pElapsed->setText(FromText(strText)); });
}

void QtDialogView::SetTimer(UINT_PTR nIDEvent, UINT nElapseMs) {
  RunOnWindowThread([&] {
    if (HasEnded()) return;
    QTimer*& pTimer = m_timers[nIDEvent];
    if (!pTimer) {
      pTimer = new QTimer(this);
      connect(pTimer, &QTimer::timeout, this, [this, nIDEvent] {
        if (IDialogEvents* pSink = m_pSink.load()) pSink->OnTimer(nIDEvent);
      });
    }
    pTimer->start(static_cast<int>(nElapseMs > 0x7FFFFFFFu ? 0x7FFFFFFFu : nElapseMs));
  });
}

void QtDialogView::KillTimer(UINT_PTR nIDEvent) {
  RunOnWindowThread([&] {
    const auto it = m_timers.find(nIDEvent);
    if (it != m_timers.end()) it->second->stop();
  });
}

void QtDialogView::EnableControl(int nId, bool bEnable) {
  RunOnWindowThread([&] {
    if (QWidget* pControl = Control(nId)) pControl->setEnabled(bEnable);
  });
}

void QtDialogView::ShowControl(int nId, bool bShow) {
  RunOnWindowThread([&] {
    if (QWidget* pControl = Control(nId)) pControl->setVisible(bShow);
  });
}

void QtDialogView::ResetList(int nId) {
  RunOnWindowThread([&] {
    if (QComboBox* pList = List(nId)) pList->clear();
  });
}

void QtDialogView::AddListItem(int nId, const std::string& strItem) {
  RunOnWindowThread([&] {
    QComboBox* pList = List(nId);
    if (!pList) return;
    // Adding to an empty list selects nothing (Qt would select the item).
    const int nSel = pList->currentIndex();
    pList->addItem(FromText(strItem));
    if (pList->currentIndex() != nSel) pList->setCurrentIndex(nSel);
  });
}

int QtDialogView::GetListCount(int nId) {
  int nCount = 0;
  RunOnWindowThread([&] {
    if (QComboBox* pList = List(nId)) nCount = pList->count();
  });
  return nCount;
}

int QtDialogView::GetListSelection(int nId) {
  int nSel = -1;
  RunOnWindowThread([&] {
    if (QComboBox* pList = List(nId)) nSel = pList->currentIndex();
  });
  return nSel;
}

void QtDialogView::SetListSelection(int nId, int nIndex) {
  RunOnWindowThread([&] {
    QComboBox* pList = List(nId);
    if (!pList) return;
    pList->setCurrentIndex(nIndex >= 0 && nIndex < pList->count() ? nIndex : -1);
  });
}

std::string QtDialogView::GetListItemText(int nId, int nIndex) {
  std::string strText;
  RunOnWindowThread([&] {
    QComboBox* pList = List(nId);
    if (pList && nIndex >= 0 && nIndex < pList->count()) strText = ToText(pList->itemText(nIndex));
  });
  return strText;
}

void QtDialogView::SetCaption(const std::string& strCaption) {
  RunOnWindowThread([&] { setWindowTitle(FromText(strCaption)); });
}

int QtDialogView::Run() {
  setWindowModality(Qt::NonModal);
  QEventLoop loop;
  connect(this, &QDialog::finished, &loop, &QEventLoop::quit);
  show();
  loop.exec(QEventLoop::DialogExec);
  return result();
}

int QtDialogView::RunModalChild(QDialog& child) {
  if (HasEnded()) return QDialog::Rejected;
  // They may nest: a box a worker asks for can come while the About box is
  // open.
  m_modalChildren.emplace_back(&child);
  child.setWindowModality(Qt::ApplicationModal);
  if (!isVisible()) {
    // Asked for before the window is up (the start-up's port check): in the
    // middle of the screen, not wherever the hidden window would have been.
    child.adjustSize();
    const QScreen* pScreen = screen() ? screen() : QGuiApplication::primaryScreen();
    if (pScreen) child.move(pScreen->availableGeometry().center() - child.rect().center());
  }
  const int nResult = child.exec();
  m_modalChildren.pop_back();
  return nResult;
}

void QtDialogView::ShowMessageBox(const std::string& strText, const std::string& strCaption, MsgIcon icon) {
  RunOnWindowThread([&] {
    const QString strTitle = strCaption.empty() ? QString::fromLatin1(g_pszProgramName) : FromText(strCaption);
    QMessageBox box(BoxIcon(icon), strTitle, FromWindowsLines(strText), QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("MessageBox"));
    RunModalChild(box);
  });
}

void QtDialogView::MessageBeep(MsgIcon) {
  RunOnWindowThread([] { QApplication::beep(); });
}

bool QtDialogView::ChooseFile(const std::string& strFilter, std::string* pPath) {
  if (const char* pszAnswer = TestHookValue(kTestChooseFileEnv)) {
    if (std::strcmp(pszAnswer, kCancelAnswer) == 0 || !*pszAnswer) return false;
    if (pPath) *pPath = pszAnswer;
    return true;
  }
  bool bChosen = false;
  RunOnWindowThread([&] {
    QFileDialog dialog(this, QStringLiteral("Open"));
    dialog.setObjectName(QStringLiteral("FileDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    const QStringList filters = ConvertFileFilter(strFilter);
    if (!filters.isEmpty()) dialog.setNameFilters(filters);
    if (RunModalChild(dialog) != QDialog::Accepted) return;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty()) return;
    if (pPath) *pPath = ToText(files.front());
    bChosen = true;
  });
  return bChosen;
}

void QtDialogView::ShowAboutBox() {
  RunOnWindowThread([&] {
    CAboutDlg about(ProgramIcon(), this);
    RunModalChild(about);
  });
}

void QtDialogView::ShowAboutFromMenu() {
  if (!HasEnded()) m_dialog.OnSysCommand(IDM_ABOUTBOX, 0);
}

void QtDialogView::EndDialog(int nResult) {
  if (!IsWindowThread()) {
    RunOnWindowThread([this, nResult] { EndDialog(nResult); });
    return;
  }
  if (HasEnded()) return;
  {
    std::lock_guard<std::mutex> lock(m_callMutex);
    m_bEnded = true;
  }
  m_callDone.notify_all();
  // The window ends the process: whatever still waits on the window thread
  // ("Reset Default", a connect step) or in a worker must end now.
  plat::Stop().Request();
  for (auto& timer : m_timers) timer.second->stop();
  // Boxes and dialogs still open close first, so that their loops unwind.
  for (auto it = m_modalChildren.rbegin(); it != m_modalChildren.rend(); ++it)
    if (*it) (*it)->reject();
  QDialog::done(nResult);
  emit Ended(nResult);
}

// ---- window events ----

void QtDialogView::accept() {
  if (!HasEnded()) m_dialog.OnOK();
}

void QtDialogView::reject() {
  if (!HasEnded()) m_dialog.OnCancel();
}

void QtDialogView::keyPressEvent(QKeyEvent* pEvent) {
  const bool bPlain = pEvent->modifiers() == Qt::NoModifier ||
                      (pEvent->modifiers() == Qt::KeypadModifier && pEvent->key() == Qt::Key_Enter);
  if (bPlain && (pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter)) {
    // A focused button takes Enter for itself; elsewhere Enter is OK.
    if (auto* pButton = qobject_cast<QPushButton*>(focusWidget())) {
      if (pButton->isEnabled() && pButton->isVisible()) pButton->click();
      return;
    }
    accept();
    return;
  }
  QDialog::keyPressEvent(pEvent);  // Esc: reject()
}

void QtDialogView::contextMenuEvent(QContextMenuEvent* pEvent) {
  QMenu menu(this);
  menu.setObjectName(QStringLiteral("WindowMenu"));
  QAction* pAbout = menu.addAction(QString::fromLatin1(g_pszAboutMenuText));
  pAbout->setShortcut(QKeySequence(Qt::Key_F1));
  menu.addSeparator();
  QAction* pClose = menu.addAction(QStringLiteral("&Close"));
  connect(pAbout, &QAction::triggered, this, &QtDialogView::ShowAboutFromMenu);
  connect(pClose, &QAction::triggered, this, [this] {
    if (!HasEnded()) m_dialog.OnSysCommand(kScClose, 0);
  });
  menu.exec(pEvent->globalPos());
}
