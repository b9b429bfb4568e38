// The Qt operator window on Qt's offscreen platform: its controls against
// the window template, the control layer from other threads, the event pump
// of the window thread, and whole runs against the simulated reader
// (readersim over a pseudo-terminal, and readertool itself as a child
// program for the close-during-a-run case). Real time throughout; every wait
// has a deadline and wakes on events, none sleeps.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "app/rdr_dev_db.h"
#include "link/interface_select.h"
#include "link/pacing.h"
#include "platform/clock.h"
#include "platform/pump.h"
#include "platform/stop.h"
#include "sim/model/samples.h"
#include "support/sim_process.h"
#include "transport/connection.h"
#include "ui/main_dialog.h"
#include "ui/qt/about_box.h"
#include "ui/qt/dialog_metrics.h"
#include "ui/qt/file_filter.h"
#include "ui/qt/qt_dialog_view.h"
#include "ui/qt/qt_event_pump.h"
#include "ui/qt/test_hooks.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRunDeadlineMs = 60000;   // a whole run; it takes about six seconds
constexpr int kQuickDeadlineMs = 5000;  // anything that happens at once
constexpr int kSimComPort = 200;        // readersim's COM number in the tests' COM folder

const int kRunControls[] = {IDC_LOAD,           IDC_RESET_DEFAULT, IDC_PORT_BUTTON,
                            IDC_INTERFACE_LIST, IDC_BAUD_LIST,     IDC_PORT_LIST};

std::string ExpectedCaption() {
  char sz[64];
  std::snprintf(sz, sizeof sz, "TAV Vevevura Dovu V%d.%d%d.%03d ", READERTOOL_VERSION_MAJOR,
                READERTOOL_VERSION_MINOR / 10, READERTOOL_VERSION_MINOR % 10, READERTOOL_VERSION_PATCH);
  return sz;
}

std::string BuildDir() {
  const char* env = std::getenv("READERTOOL_BINARY_DIR");
  return env && *env ? env : READERTOOL_BINARY_DIR;
}

// Processes the window thread's events until cond holds or the deadline
// passes. Blocks in the event dispatcher between events; a single-shot timer
// wakes it at the deadline.
bool WaitFor(const std::function<bool()>& cond, int nTimeoutMs) {
  const std::uint64_t nDeadline = plat::NowMs() + static_cast<std::uint64_t>(nTimeoutMs);
  QTimer wake;
  wake.setSingleShot(true);
  wake.start(nTimeoutMs);
  while (!cond()) {
    if (plat::NowMs() >= nDeadline) return cond();
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

// What the tests see of the modal windows the view opens, and how they are
// answered: every message box, About box, file dialog and menu shown is
// recorded, then handed to the action for its kind (by default closed).
class ModalWatcher : public QObject {
 public:
  struct Box {
    QString strTitle;
    QString strText;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
    bool bOwnerVisible;  // the main window was up when the box came
    QPoint center;       // of the box's frame
    QPoint screenCenter;
  };

  ModalWatcher() { qApp->installEventFilter(this); }
  ~ModalWatcher() override { qApp->removeEventFilter(this); }

  std::vector<Box> boxes;
  std::vector<QString> aboutLines;
  int nAboutBoxes = 0;
  std::function<void(QFileDialog*)> onFileDialog = [](QFileDialog* p) { p->reject(); };
  std::function<void(QMenu*)> onMenu = [](QMenu* p) { p->close(); };
  std::function<void()> onBox;  // runs while the box is open, before it is closed

 protected:
  bool eventFilter(QObject* pObject, QEvent* pEvent) override {
    if (pEvent->type() != QEvent::Show) return false;
    if (auto* pBox = qobject_cast<QMessageBox*>(pObject)) {
      const QWidget* pOwner = pBox->parentWidget();
      const QScreen* pScreen = pBox->screen() ? pBox->screen() : QGuiApplication::primaryScreen();
      boxes.push_back({pBox->windowTitle(), pBox->text(), pBox->icon(), pBox->standardButtons(),
                       pOwner && pOwner->isVisible(), pBox->frameGeometry().center(),
                       pScreen ? pScreen->availableGeometry().center() : QPoint()});
      QTimer::singleShot(0, pBox, [this, pBox] {
        if (onBox) onBox();
        pBox->accept();
      });
    } else if (auto* pAbout = qobject_cast<CAboutDlg*>(pObject)) {
      ++nAboutBoxes;
      aboutLines = {pAbout->windowTitle(), pAbout->VersionLine()->text(), pAbout->SecondLine()->text()};
      QTimer::singleShot(0, pAbout, [pAbout] { pAbout->OkButton()->click(); });
    } else if (auto* pFile = qobject_cast<QFileDialog*>(pObject)) {
      QTimer::singleShot(0, pFile, [this, pFile] { onFileDialog(pFile); });
    } else if (auto* pMenu = qobject_cast<QMenu*>(pObject)) {
      QTimer::singleShot(0, pMenu, [this, pMenu] { onMenu(pMenu); });
    }
    return false;
  }
};

// Sets an environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* pszName, const std::string& strValue) : m_strName(pszName) {
    if (const char* old = std::getenv(pszName)) {
      m_bHad = true;
      m_strOld = old;
    }
    setenv(pszName, strValue.c_str(), 1);
  }
  ~ScopedEnv() {
    if (m_bHad) {
      setenv(m_strName.c_str(), m_strOld.c_str(), 1);
    } else {
      unsetenv(m_strName.c_str());
    }
  }

 private:
  std::string m_strName;
  bool m_bHad = false;
  std::string m_strOld;
};

// A short update script for the simulated reader: the sample script's enter
// bootloader, bootloader version and erase commands, its first nBlocks
// blocks and its restart, so a run takes seconds.
std::string ShortScript(SimScriptKind kind, int nBlocks) {
  std::vector<BYTE> image;
  std::string strErr;
  if (!MakeSampleImage(kSimImageMin, 7, &image, &strErr)) return {};
  const std::string strFull = MakeUpdateScript(image, kind, kSimDefaultModel, "firmware.bin", &strErr);
  std::istringstream in(strFull);
  std::string strLine, strHead, strCommand;
  std::vector<std::string> commands;
  while (std::getline(in, strLine)) {
    if (!strLine.empty() && strLine.back() == '\r') strLine.pop_back();
    if (strLine.rfind("END>", 0) == 0) break;
    if (strLine.rfind("SEND:", 0) != 0 && strCommand.empty()) {
      if (commands.empty()) strHead += strLine + "\r\n";
      continue;
    }
    strCommand += strLine + "\r\n";
    if (strLine.rfind("SLEEP", 0) == 0 || strLine.rfind("WAIT", 0) == 0) {
      commands.push_back(strCommand);
      strCommand.clear();
    }
  }
  if (commands.size() < static_cast<std::size_t>(4 + nBlocks)) return {};
  std::string strScript = strHead;
  for (int i = 0; i < 3 + nBlocks; ++i) strScript += commands[static_cast<std::size_t>(i)];
  strScript += commands.back();
  return strScript + "END>\r\n";
}

std::string WriteFile(const fs::path& path, const std::string& strText) {
  std::ofstream(path, std::ios::binary) << strText;
  return path.string();
}

// readertool (or any program) as a child: its standard output read line by
// line, its end waited for with a deadline.
class ChildProgram {
 public:
  ~ChildProgram() {
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    if (m_fd >= 0) close(m_fd);
  }

  bool Start(const std::string& strProgram, const std::vector<std::pair<std::string, std::string>>& env) {
    // Everything the child needs is made before the fork: this process has
    // threads, and only async-signal-safe calls are allowed after it.
    std::vector<std::string> entries;
    for (char** p = environ; *p; ++p) {
      const std::string strEntry = *p;
      bool bReplaced = false;
      for (const auto& kv : env) bReplaced = bReplaced || strEntry.rfind(kv.first + "=", 0) == 0;
      if (!bReplaced) entries.push_back(strEntry);
    }
    for (const auto& kv : env) entries.push_back(kv.first + "=" + kv.second);
    std::vector<char*> envp;
    for (std::string& strEntry : entries) envp.push_back(strEntry.data());
    envp.push_back(nullptr);
    std::vector<char> program(strProgram.begin(), strProgram.end());
    program.push_back('\0');
    char* argv[] = {program.data(), nullptr};

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    m_pid = fork();
    if (m_pid < 0) return false;
    if (m_pid == 0) {
      dup2(fds[1], STDOUT_FILENO);
      execve(program.data(), argv, envp.data());
      _exit(127);
    }
    close(fds[1]);
    m_fd = fds[0];
    return true;
  }

  // Reads until strText has been printed; false at the deadline or the end.
  bool ReadUntil(const std::string& strText, int nTimeoutMs) {
    const std::uint64_t nDeadline = plat::NowMs() + static_cast<std::uint64_t>(nTimeoutMs);
    while (m_strOut.find(strText) == std::string::npos) {
      if (!ReadSome(nDeadline)) return false;
    }
    return true;
  }

  // Waits for the program to end: its output closes when it exits. True
  // when it ended before the deadline; *pnStatus gets its wait status.
  bool WaitExit(int nTimeoutMs, int* pnStatus) {
    const std::uint64_t nDeadline = plat::NowMs() + static_cast<std::uint64_t>(nTimeoutMs);
    while (!m_bEof) {
      if (!ReadSome(nDeadline) && !m_bEof) return false;
    }
    int nStatus = 0;
    waitpid(m_pid, &nStatus, 0);
    m_pid = -1;
    if (pnStatus) *pnStatus = nStatus;
    return true;
  }

  void Signal(int nSignal) {
    if (m_pid > 0) kill(m_pid, nSignal);
  }
  const std::string& Output() const { return m_strOut; }

 private:
  bool ReadSome(std::uint64_t nDeadline) {
    if (m_bEof) return false;
    const std::uint64_t nLeft = plat::RemainingMs(nDeadline);
    if (nLeft == 0) return false;
    pollfd pfd{m_fd, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(nLeft)) <= 0) return false;
    char buf[512];
    const ssize_t n = read(m_fd, buf, sizeof buf);
    if (n <= 0) {
      m_bEof = true;
      return false;
    }
    m_strOut.append(buf, static_cast<std::size_t>(n));
    return true;
  }

  pid_t m_pid = -1;
  int m_fd = -1;
  bool m_bEof = false;
  std::string m_strOut;
};

// One window as readertool makes it: the logic, its Qt view, the window
// thread's pump; closed, joined and reset afterwards.
class QtWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::Stop().Clear();
    m_dir = fs::temp_directory_path() / ("qtwin-" + std::to_string(getpid()) + "-" + std::to_string(++s_nCase));
    fs::create_directories(m_dir / "com");
    m_comEnv = std::make_unique<ScopedEnv>("READERTOOL_COM_DIR", (m_dir / "com").string());
  }

  void TearDown() override {
    CloseWindow();
    m_usePump.reset();
    m_pPump.reset();
    CloseInterface();
    ClearTxPacing();
    if (m_pSim) m_pSim->Stop();
    plat::Stop().Clear();
    std::error_code ec;
    fs::remove_all(m_dir, ec);
  }

  // Ends the window as readertool does when it closes, and forgets it.
  void CloseWindow() {
    if (!m_pDialog) return;
    if (m_pView && !m_pView->HasEnded()) m_pDialog->OnCancel();
    EXPECT_TRUE(m_pDialog->JoinWorker(plat::NowMs() + kQuickDeadlineMs));
    if (m_bInitDone) m_pDialog->OnDestroy();
    m_bInitDone = false;
    theApp.SetMainDialog(nullptr);
    m_pDialog->AttachView(nullptr);
    m_pView.reset();
    m_pDialog.reset();
    plat::Stop().Clear();
  }

  // readersim on the pseudo-terminal that the COM folder names COM200.
  void StartSim(std::vector<std::string> extra = {}) {
    m_pSim = std::make_unique<SimProcess>(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
    std::vector<std::string> args = {"--com", std::to_string(kSimComPort), "--com-dir", (m_dir / "com").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(m_pSim->Start(args)) << m_pSim->Output();
  }

  // Makes the window and runs its start-up, as readertool does.
  void OpenWindow() {
    m_pDialog = std::make_unique<CTAVDownloadApDlg>();
    m_pView = std::make_unique<QtDialogView>(*m_pDialog);
    m_pDialog->AttachView(m_pView.get());
    theApp.SetMainDialog(&*m_pDialog);
    if (!m_pPump) {
      m_pPump = std::make_unique<QtEventPump>();
      m_usePump = std::make_unique<plat::ScopedThreadPump>(*m_pPump);
    }
    m_pDialog->OnInitDialog();
    m_bInitDone = true;
    m_pView->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_pView.get()));
  }

  QWidget* Control(int nId) { return m_pView->Control(nId); }

  bool RunControlsEnabled() {
    for (int nId : kRunControls)
      if (!Control(nId)->isEnabled()) return false;
    return true;
  }

  // Chooses an item of a list as the operator does: the list opened, the
  // item clicked.
  void ChooseListItem(QComboBox* pList, const QString& strItem) {
    const int nIndex = pList->findText(strItem);
    ASSERT_GE(nIndex, 0) << strItem.toStdString();
    pList->showPopup();
    QAbstractItemView* pItems = pList->view();
    ASSERT_TRUE(WaitFor([&] { return pItems->isVisible(); }, kQuickDeadlineMs));
    const QRect rc = pItems->visualRect(pItems->model()->index(nIndex, 0));
    QTest::mouseClick(pItems->viewport(), Qt::LeftButton, Qt::NoModifier, rc.center());
    ASSERT_TRUE(WaitFor([&] { return !pItems->isVisible(); }, kQuickDeadlineMs));
  }

  void SelectRs232AndSimPort() {
    ChooseListItem(m_pView->InterfaceList(), QStringLiteral("RS232"));
    ASSERT_TRUE(IsRs232());
    ChooseListItem(m_pView->PortList(), QStringLiteral("COM%1").arg(kSimComPort));
  }

  static inline int s_nCase = 0;
  fs::path m_dir;
  std::unique_ptr<ScopedEnv> m_comEnv;
  std::unique_ptr<SimProcess> m_pSim;
  std::unique_ptr<CTAVDownloadApDlg> m_pDialog;
  std::unique_ptr<QtDialogView> m_pView;
  std::unique_ptr<QtEventPump> m_pPump;
  std::unique_ptr<plat::ScopedThreadPump> m_usePump;
  ModalWatcher m_modals;
  bool m_bInitDone = false;
};

// ---------------------------------------------------------------------------
// Pure pieces

TEST(QtWindowPieces, FileFilterBecomesQtFilters) {
  const struct {
    const char* pszName;
    const char* pszIn;
    QStringList expected;
  } kCases[] = {
      {"script", "Text Script File (*.txt)|*.txt||", {"Text Script File (*.txt)"}},
      {"image", "Binary File (*.bin)|*.bin||", {"Binary File (*.bin)"}},
      {"two pairs", "Text (*.txt)|*.txt|All Files (*.*)|*.*||", {"Text (*.txt)", "All Files (*.*)"}},
      {"pattern list", "Images (*.bin;*.hex)|*.bin;*.hex||", {"Images (*.bin *.hex)"}},
      {"patterns not in text", "Firmware|*.bin||", {"Firmware (*.bin)"}},
      {"text disagrees", "Scripts (*.txt)|*.scr||", {"Scripts (*.scr)"}},
      {"ends at empty pair", "A (*.a)|*.a||B (*.b)|*.b||", {"A (*.a)"}},
      {"no pattern", "Nothing||", {}},
      {"empty", "", {}},
  };
  for (const auto& c : kCases) EXPECT_EQ(ConvertFileFilter(c.pszIn), c.expected) << c.pszName;
}

TEST(QtWindowPieces, DialogUnitsRoundToNearestPixel) {
  const struct {
    int a, b, c, expected;
  } kCases[] = {{361, 7, 4, 632}, {341, 15, 8, 639}, {1, 7, 4, 2}, {3, 6, 4, 5}, {-3, 6, 4, -5}, {5, 3, 0, 0}};
  for (const auto& c : kCases) EXPECT_EQ(MulDivRound(c.a, c.b, c.c), c.expected) << c.a << "*" << c.b << "/" << c.c;
  // Adjacent controls stay adjacent whatever the rounding.
  const DialogUnits du(7, 15);
  const QRect left = du.Rect(7, 158, 169, 22), right = du.Rect(176, 158, 169, 22);
  EXPECT_EQ(left.right() + 1, right.left());
}

// ---------------------------------------------------------------------------
// The window at start-up

TEST_F(QtWindowTest, StartUpShowsTheTemplateWithUsbSelected) {
  StartSim();
  OpenWindow();
  QtDialogView& v = *m_pView;

  EXPECT_EQ(v.windowTitle().toStdString(), ExpectedCaption());
  const Qt::WindowFlags flags = v.windowFlags();
  EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  // A normal top-level window, which task bars list; no dialog, no modal state.
  EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Window);
  EXPECT_EQ(v.windowModality(), Qt::NonModal);
  EXPECT_FALSE(v.windowIcon().isNull());
  EXPECT_FALSE(v.Logo()->pixmap().isNull());

  // Shown and hidden controls, texts and selections.
  for (QWidget* pShown :
       {static_cast<QWidget*>(v.Logo()), static_cast<QWidget*>(v.InterfaceGroup()), Control(IDC_INTERFACE_LIST),
        Control(IDC_TIME_GROUP), Control(IDC_ELAPSED), Control(IDC_FUNCTIONS_GROUP), Control(IDC_LOAD),
        Control(IDC_RESET_DEFAULT), Control(IDC_LOG)})
    EXPECT_TRUE(pShown->isVisible()) << pShown->objectName().toStdString();
  for (int nId : {IDC_PORT_BUTTON, IDC_PORT_LIST, IDC_BAUD_LABEL, IDC_BAUD_LIST, IDC_PROGRESS})
    EXPECT_FALSE(Control(nId)->isVisible()) << nId;
  EXPECT_TRUE(RunControlsEnabled());

  EXPECT_EQ(v.InterfaceList()->currentText(), "USB");
  EXPECT_TRUE(v.InterfaceList()->isEditable());
  EXPECT_TRUE(IsUsbHid());
  EXPECT_EQ(v.BaudList()->currentText(), "9600");
  EXPECT_EQ(v.BaudList()->count(), 5);
  EXPECT_EQ(v.PortList()->currentIndex(), 0);
  EXPECT_GE(v.PortList()->findText(QStringLiteral("COM%1").arg(kSimComPort)), 0);
  EXPECT_EQ(v.ElapsedField()->text(), "00:00");
  EXPECT_TRUE(v.ElapsedField()->isReadOnly());
  // Drawn as read-only: on the window's colour, unlike the log it beside.
  EXPECT_EQ(v.ElapsedField()->palette().color(QPalette::Base), v.palette().color(QPalette::Window));
  EXPECT_NE(v.LogPane()->palette().color(QPalette::Base), v.palette().color(QPalette::Window));
  EXPECT_EQ(v.LogPane()->toPlainText(), "");
  EXPECT_FALSE(v.LogPane()->isReadOnly());
  EXPECT_EQ(v.LoadButton()->text(), "Load");
  EXPECT_EQ(v.ResetDefaultButton()->text(), "Reset Default");
  EXPECT_EQ(v.PortButton()->text(), "Port :");
  EXPECT_EQ(v.PortButton()->toolTip(), "Click to Refresh COM Port List");
  EXPECT_EQ(qobject_cast<QLabel*>(Control(IDC_BAUD_LABEL))->text(), "Baud Rate:");
  EXPECT_EQ(v.InterfaceGroup()->title(), "Interface");
  EXPECT_EQ(qobject_cast<QGroupBox*>(Control(IDC_TIME_GROUP))->title(), "Time Elapsed : MM:SS");
  EXPECT_EQ(qobject_cast<QGroupBox*>(Control(IDC_FUNCTIONS_GROUP))->title(), "Functions");
  EXPECT_FALSE(g_mapTxPacing.empty());

  // Fonts: the units come from the dialog font; the controls and the log
  // have the fixed-pitch control font with its 18-pixel cell.
  const QFontInfo dialogFont(DialogFont());
  EXPECT_TRUE(dialogFont.family() == "Carlito" || dialogFont.family() == "Calibri")
      << dialogFont.family().toStdString();
  const QFontInfo logFont(v.LogPane()->font());
  EXPECT_TRUE(logFont.fixedPitch());
  EXPECT_TRUE(logFont.family() == "Liberation Mono" || logFont.family() == "Courier New")
      << logFont.family().toStdString();
  const QFontMetrics logMetrics(v.LogPane()->font());
  EXPECT_NEAR(logMetrics.ascent() + logMetrics.descent(), 18, 1);
  for (QWidget* pControl : {Control(IDC_LOAD), Control(IDC_INTERFACE_LIST), Control(IDC_ELAPSED),
                            Control(IDC_TIME_GROUP), static_cast<QWidget*>(v.InterfaceGroup())})
    EXPECT_EQ(pControl->font(), v.LogPane()->font()) << pControl->objectName().toStdString();

  // Every control where the template puts it, in dialog units of the dialog
  // font; combo boxes are as tall as their edit field.
  const DialogUnits du(DialogFont());
  EXPECT_EQ(v.size(), QSize(du.X(361), du.Y(341)));
  const struct {
    QWidget* pControl;
    int x, y, cx, cy;
    bool bCombo;
  } kTemplate[] = {
      {v.Logo(), 11, 4, 87, 32, false},
      {v.InterfaceGroup(), 11, 37, 153, 69, false},
      {Control(IDC_INTERFACE_LIST), 17, 49, 66, 38, true},
      {Control(IDC_PORT_BUTTON), 17, 66, 66, 15, false},
      {Control(IDC_PORT_LIST), 85, 67, 70, 88, true},
      {Control(IDC_BAUD_LABEL), 17, 86, 64, 14, false},
      {Control(IDC_BAUD_LIST), 85, 88, 70, 82, true},
      {Control(IDC_TIME_GROUP), 11, 108, 153, 25, false},
      {Control(IDC_ELAPSED), 16, 119, 83, 13, false},
      {Control(IDC_FUNCTIONS_GROUP), 170, 36, 174, 100, false},
      {Control(IDC_LOAD), 182, 55, 150, 33, false},
      {Control(IDC_RESET_DEFAULT), 183, 92, 150, 33, false},
      {Control(IDC_PROGRESS), 7, 158, 338, 22, false},
      {Control(IDC_LOG), 7, 189, 338, 137, false},
  };
  for (const auto& t : kTemplate) {
    const QRect expected = du.Rect(t.x, t.y, t.cx, t.cy);
    const QRect actual = t.pControl->geometry();
    const std::string strName = t.pControl->objectName().toStdString();
    EXPECT_EQ(actual.topLeft(), expected.topLeft()) << strName;
    EXPECT_EQ(actual.width(), expected.width()) << strName;
    if (t.bCombo) {
      EXPECT_LE(actual.height(), expected.height()) << strName;
    } else {
      EXPECT_EQ(actual.height(), expected.height()) << strName;
    }
  }
}

TEST_F(QtWindowTest, ChoosingAnInterfaceShowsOrHidesTheSerialControls) {
  StartSim();
  OpenWindow();
  const int kSerialControls[] = {IDC_PORT_BUTTON, IDC_PORT_LIST, IDC_BAUD_LABEL, IDC_BAUD_LIST};

  ChooseListItem(m_pView->InterfaceList(), QStringLiteral("RS232"));
  EXPECT_TRUE(IsRs232());
  for (int nId : kSerialControls) EXPECT_TRUE(Control(nId)->isVisible()) << nId;
  // What the start-up scan found, sorted as text.
  QStringList ports;
  for (int i = 0; i < m_pView->PortList()->count(); ++i) ports << m_pView->PortList()->itemText(i);
  QStringList sorted = ports;
  std::sort(sorted.begin(), sorted.end(),
            [](const QString& a, const QString& b) { return QString::compare(a, b, Qt::CaseInsensitive) < 0; });
  EXPECT_EQ(ports, sorted);
  EXPECT_TRUE(ports.contains(QStringLiteral("COM%1").arg(kSimComPort)));

  ChooseListItem(m_pView->InterfaceList(), QStringLiteral("USB"));
  EXPECT_TRUE(IsUsbHid());
  for (int nId : kSerialControls) EXPECT_FALSE(Control(nId)->isVisible()) << nId;
}

// ---------------------------------------------------------------------------
// The control layer from other threads

TEST_F(QtWindowTest, AppendsFromAWorkerKeepTheLastLineInView) {
  StartSim();
  OpenWindow();
  constexpr int kLines = 120;
  std::vector<bool> atEnd;
  std::atomic<bool> bDone{false};
  std::thread worker([&] {
    for (int i = 0; i < kLines; ++i) {
      m_pDialog->AppendLog(("line " + std::to_string(i)).c_str());
      // The refresh has run on the window thread before AppendLog returns.
      bool bAtEnd = false;
      m_pView->SendToWindowThread([&] {
        const QScrollBar* pBar = m_pView->LogPane()->verticalScrollBar();
        bAtEnd = pBar->value() == pBar->maximum();
      });
      atEnd.push_back(bAtEnd);
    }
    // Set on the window thread, so that the waiting loop wakes for it.
    m_pView->SendToWindowThread([&] { bDone = true; });
  });
  ASSERT_TRUE(WaitFor([&] { return bDone.load(); }, kRunDeadlineMs));
  worker.join();

  EXPECT_EQ(std::count(atEnd.begin(), atEnd.end(), false), 0);
  EXPECT_GT(m_pView->LogPane()->verticalScrollBar()->maximum(), 0);
  // CR LF lines in the logic, LF lines in the pane, and back unchanged.
  EXPECT_EQ(m_pView->LogPane()->document()->blockCount(), kLines + 1);
  const std::string strLog = m_pDialog->m_strLog;
  EXPECT_EQ(m_pView->GetLogText(), strLog);
  EXPECT_EQ(strLog.substr(strLog.size() - 10), "line 119\r\n");
}

TEST_F(QtWindowTest, ProgressBarFollowsTheLogic) {
  StartSim();
  OpenWindow();
  QProgressBar* pBar = m_pView->ProgressBar();
  m_pDialog->StartMarquee();
  EXPECT_TRUE(pBar->isVisible());
  EXPECT_EQ(pBar->maximum(), 0) << "busy indicator";
  m_pDialog->InitProgress(100, 0);
  EXPECT_EQ(pBar->minimum(), 0);
  EXPECT_EQ(pBar->maximum(), 100);
  EXPECT_EQ(pBar->value(), 0);
  m_pDialog->SetProgress(-1);
  EXPECT_EQ(pBar->value(), 100);
  m_pDialog->SetProgress(40);
  m_pDialog->StartMarquee();
  m_pDialog->ResetProgress();
  EXPECT_EQ(pBar->maximum(), 100);
  EXPECT_EQ(pBar->value(), 0);
  // An empty range is an empty bar, not the busy indicator.
  m_pDialog->InitProgress(0, 0);
  EXPECT_GT(pBar->maximum(), 0);
  EXPECT_EQ(pBar->value(), 0);
}

TEST_F(QtWindowTest, BoxesAndFileDialogAskedForByAWorkerHoldItUntilClosed) {
  StartSim();
  OpenWindow();
  std::atomic<int> nStep{0};
  m_modals.onBox = [&] { EXPECT_EQ(nStep.load(), 1) << "the worker waits while the box is open"; };
  const fs::path script = m_dir / "update.txt";
  WriteFile(script, "x");
  QStringList filtersShown;
  m_modals.onFileDialog = [&](QFileDialog* pDialog) {
    filtersShown = pDialog->nameFilters();
    pDialog->selectFile(QString::fromStdString(script.string()));
    // As the operator's "Open" does.
    QMetaObject::invokeMethod(pDialog, "accept");
  };

  std::string strChosen;
  bool bChosen = false, bCancelled = true, bHook = false;
  std::string strHookPath;
  std::thread worker([&] {
    nStep = 1;
    m_pView->ShowMessageBox(
        "Error, Please select Correct Text Script\r\nwhile "
        "using specific Interface ",
        "", MsgIcon::None);
    nStep = 2;
    bChosen = m_pView->ChooseFile("Text Script File (*.txt)|*.txt||", &strChosen);
    {
      ScopedEnv hook(kTestChooseFileEnv, "cancel");
      bCancelled = m_pView->ChooseFile("Text Script File (*.txt)|*.txt||", &strHookPath);
    }
    {
      ScopedEnv hook(kTestChooseFileEnv, "/some/where/update.txt");
      bHook = m_pView->ChooseFile("Text Script File (*.txt)|*.txt||", &strHookPath);
    }
    m_pView->SendToWindowThread([&] { nStep = 3; });
  });
  ASSERT_TRUE(WaitFor([&] { return nStep.load() == 3; }, kRunDeadlineMs));
  worker.join();

  ASSERT_EQ(m_modals.boxes.size(), 1u);
  EXPECT_EQ(m_modals.boxes[0].strTitle, "TAV Vodivazu RA");
  EXPECT_EQ(m_modals.boxes[0].strText,
            "Error, Please select Correct Text Script\nwhile using specific "
            "Interface ");
  EXPECT_EQ(m_modals.boxes[0].buttons, QMessageBox::Ok);
  EXPECT_TRUE(bChosen);
  EXPECT_EQ(fs::path(strChosen), script);
  EXPECT_EQ(filtersShown, QStringList{"Text Script File (*.txt)"});
  EXPECT_FALSE(bCancelled);
  EXPECT_TRUE(bHook);
  EXPECT_EQ(strHookPath, "/some/where/update.txt");
}

TEST_F(QtWindowTest, EndingTheWindowReleasesAWorkerWaitingForIt) {
  StartSim();
  OpenWindow();
  // The window thread ends the window without serving the worker's calls:
  // the worker must not wait for a window that is gone.
  std::atomic<int> nCalls{0};
  auto done = std::async(std::launch::async, [&] {
    for (int i = 0; i < 50; ++i) {
      m_pDialog->AppendLog("after the end");
      m_pView->GetListSelection(IDC_PORT_LIST);
      ++nCalls;
    }
  });
  m_pView->EndDialog(kIdCancel);
  EXPECT_TRUE(m_pView->HasEnded());
  EXPECT_TRUE(plat::Stop().Requested());
  ASSERT_EQ(done.wait_for(std::chrono::milliseconds(kQuickDeadlineMs)), std::future_status::ready);
  EXPECT_EQ(nCalls.load(), 50);
  EXPECT_FALSE(m_pView->isVisible());
}

// ---------------------------------------------------------------------------
// Keys, menu and About box

TEST_F(QtWindowTest, F1AndTheContextMenuOpenTheAboutBox) {
  StartSim();
  OpenWindow();
  QTest::keyClick(m_pView.get(), Qt::Key_F1);
  ASSERT_EQ(m_modals.nAboutBoxes, 1);
  EXPECT_EQ(m_modals.aboutLines,
            (std::vector<QString>{"About TAV Vodivazu RA", "TAV Vodivazu RA Version 1.0", g_pszAboutSecondLine}));

  // The context menu: its About item, then its Close item.
  QStringList menuItems;
  QString strChoose = QString::fromLatin1(g_pszAboutMenuText);
  m_modals.onMenu = [&](QMenu* pMenu) {
    menuItems.clear();
    for (QAction* pAction : pMenu->actions())
      if (!pAction->isSeparator()) menuItems << pAction->text();
    for (QAction* pAction : pMenu->actions()) {
      if (pAction->text() == strChoose) {
        pMenu->setActiveAction(pAction);
        QTest::keyClick(pMenu, Qt::Key_Return);
        return;
      }
    }
    pMenu->close();
  };
  const QPoint at(5, 5);
  QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, at, m_pView->mapToGlobal(at));
  QApplication::sendEvent(m_pView.get(), &menuEvent);
  EXPECT_EQ(menuItems, (QStringList{"&About TAV Vodivazu RA...", "&Close"}));
  EXPECT_EQ(m_modals.nAboutBoxes, 2);
  EXPECT_FALSE(m_pView->HasEnded());

  strChoose = QStringLiteral("&Close");
  QContextMenuEvent closeEvent(QContextMenuEvent::Mouse, at, m_pView->mapToGlobal(at));
  QApplication::sendEvent(m_pView.get(), &closeEvent);
  EXPECT_TRUE(m_pView->HasEnded());
  EXPECT_EQ(m_pView->result(), kIdCancel);
}

TEST_F(QtWindowTest, EnterEscAndTheCloseBoxEndTheWindow) {
  StartSim();
  const struct {
    const char* pszName;
    std::function<void(QtDialogView&)> act;
    int nResult;
  } kCases[] = {
      {"Esc", [](QtDialogView& v) { QTest::keyClick(&v, Qt::Key_Escape); }, kIdCancel},
      {"Enter in the time field",
       [](QtDialogView& v) {
         v.ElapsedField()->setFocus();
         QTest::keyClick(v.ElapsedField(), Qt::Key_Return);
       },
       kIdOk},
      {"close box", [](QtDialogView& v) { v.close(); }, kIdCancel},
  };
  for (const auto& c : kCases) {
    OpenWindow();
    c.act(*m_pView);
    EXPECT_TRUE(m_pView->HasEnded()) << c.pszName;
    EXPECT_FALSE(m_pView->isVisible()) << c.pszName;
    EXPECT_EQ(m_pView->result(), c.nResult) << c.pszName;
    EXPECT_TRUE(g_mapTxPacing.empty()) << c.pszName;
    CloseWindow();
  }
  // Enter on a focused button is that button's: no window end.
  OpenWindow();
  m_pView->PortButton()->show();
  m_pView->PortButton()->setFocus();
  QTest::keyClick(m_pView->PortButton(), Qt::Key_Return);
  EXPECT_FALSE(m_pView->HasEnded());
}

TEST_F(QtWindowTest, RunShowsAWindowOfItsOwnAndABoxBeforeItComesInTheMiddleOfTheScreen) {
  StartSim();
  m_pDialog = std::make_unique<CTAVDownloadApDlg>();
  m_pView = std::make_unique<QtDialogView>(*m_pDialog);
  m_pDialog->AttachView(m_pView.get());
  theApp.SetMainDialog(&*m_pDialog);
  m_pPump = std::make_unique<QtEventPump>();
  m_usePump = std::make_unique<plat::ScopedThreadPump>(*m_pPump);

  // A box asked for before the window is up (as the start-up's port check
  // may) is not placed where the hidden window would be.
  m_pView->ShowMessageBox("No COM Port Available", "Warning", MsgIcon::Exclamation);
  ASSERT_EQ(m_modals.boxes.size(), 1u);
  EXPECT_FALSE(m_modals.boxes[0].bOwnerVisible);
  EXPECT_LE((m_modals.boxes[0].center - m_modals.boxes[0].screenCenter).manhattanLength(), 2);

  m_pDialog->OnInitDialog();
  m_bInitDone = true;
  bool bSeen = false;
  QTimer::singleShot(0, m_pView.get(), [&] {
    bSeen = true;
    EXPECT_TRUE(m_pView->isVisible());
    EXPECT_FALSE(m_pView->isModal());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    m_pView->close();
  });
  EXPECT_EQ(m_pView->Run(), kIdCancel);
  EXPECT_TRUE(bSeen);
  EXPECT_TRUE(m_pView->HasEnded());
}

// ---------------------------------------------------------------------------
// Runs against the simulated reader

TEST_F(QtWindowTest, LoadRunsTheChosenScriptWithTheControlsOffUntilItEnds) {
  StartSim();
  OpenWindow();
  const std::string strScript = WriteFile(m_dir / "short_rs232.txt", ShortScript(SimScriptKind::Rs232, 1));
  ScopedEnv chooser(kTestChooseFileEnv, strScript);
  SelectRs232AndSimPort();

  // At every move of the bar, the run controls must be off.
  int nMoves = 0, nMovesWithControlsOn = 0;
  QObject::connect(m_pView->ProgressBar(), &QProgressBar::valueChanged, m_pView.get(), [&] {
    ++nMoves;
    for (int nId : kRunControls)
      if (Control(nId)->isEnabled()) ++nMovesWithControlsOn;
  });
  bool bSeenOff = false;
  QTest::mouseClick(m_pView->LoadButton(), Qt::LeftButton);
  ASSERT_TRUE(WaitFor(
      [&] {
        if (!Control(IDC_LOAD)->isEnabled()) bSeenOff = true;
        return bSeenOff && RunControlsEnabled();
      },
      kRunDeadlineMs))
      << m_pDialog->m_strLog;
  ASSERT_TRUE(m_pDialog->JoinWorker(plat::NowMs() + kQuickDeadlineMs));

  EXPECT_EQ(m_pDialog->GetWorkerExitCode(), 1) << m_pDialog->m_strLog;
  EXPECT_GT(nMoves, 0);
  EXPECT_EQ(nMovesWithControlsOn, 0);
  const std::string strLog = m_pView->GetLogText();
  // The script runner starts the log afresh with the file it opens.
  EXPECT_EQ(strLog.rfind("Opening File.....\r\nshort_rs232.txt\r\n", 0), 0u) << strLog;
  EXPECT_NE(strLog.find("Enter bootloader mode success!"), std::string::npos) << strLog;
  EXPECT_NE(strLog.find("100% Done and Rebooting"), std::string::npos) << strLog;
  EXPECT_EQ(strLog.substr(strLog.size() - std::string("short_rs232.txt\r\n").size()), "short_rs232.txt\r\n");
  // The pane shows its last line; the bar is shown and full; the time shown.
  const QScrollBar* pScroll = m_pView->LogPane()->verticalScrollBar();
  EXPECT_EQ(pScroll->value(), pScroll->maximum());
  EXPECT_TRUE(m_pView->ProgressBar()->isVisible());
  EXPECT_GT(m_pView->ProgressBar()->maximum(), 0);
  EXPECT_EQ(m_pView->ProgressBar()->value(), m_pView->ProgressBar()->maximum());
  EXPECT_TRUE(QRegularExpression("^\\d\\d:\\d\\d$").match(m_pView->ElapsedField()->text()).hasMatch());
  EXPECT_FALSE(m_pView->IsTimerRunning(kElapsedTimerId));
  EXPECT_EQ(m_pView->LoadButton()->text(), "Load");
}

TEST_F(QtWindowTest, ResetDefaultKeepsTheWindowTickingDuringItsWaits) {
  StartSim({"--restart-ms", "200"});
  OpenWindow();
  SelectRs232AndSimPort();

  // A timer of the window, counted while the handler waits on the window
  // thread; the controls must be off at every tick.
  struct TickSink : IDialogEvents {
    void OnTimer(UINT_PTR nId) override {
      if (nId == 7) {
        ++nTicks;
        if (pView->LoadButton()->isEnabled()) ++nTicksWithControlsOn;
      }
    }
    QtDialogView* pView = nullptr;
    int nTicks = 0;
    int nTicksWithControlsOn = 0;
  } sink;
  sink.pView = m_pView.get();
  int nPaints = 0;
  struct PaintCounter : QObject {
    int* pn;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint) ++*pn;
      return false;
    }
  } painted;
  painted.pn = &nPaints;
  m_pView->ProgressBar()->installEventFilter(&painted);

  m_pView->SetEventSink(&sink);
  m_pView->SetTimer(7, 100);
  // The handler runs on the window thread: the click returns when it is done.
  QTest::mouseClick(m_pView->ResetDefaultButton(), Qt::LeftButton);
  m_pView->KillTimer(7);
  m_pView->SetEventSink(&*m_pDialog);

  const std::string strLog = m_pView->GetLogText();
  EXPECT_NE(strLog.find("===[ Preparing Load Default Setting (04-0A) ]==="), std::string::npos) << strLog;
  EXPECT_NE(strLog.find("===[ End of Load Default Setting ( 04-0A) ]==="), std::string::npos) << strLog;
  // Five seconds of waiting at least: the timer ticked and the marquee was
  // painted all along.
  EXPECT_GT(sink.nTicks, 10);
  EXPECT_EQ(sink.nTicksWithControlsOn, 0);
  EXPECT_GT(nPaints, 10);
  EXPECT_TRUE(RunControlsEnabled());
}

TEST_F(QtWindowTest, ClosingTheWindowDuringResetDefaultEndsItsWaits) {
  StartSim({"--restart-ms", "200"});
  OpenWindow();
  SelectRs232AndSimPort();

  // The close box, pressed while the handler waits for the reader to come
  // up again (a timer of the window fires inside that wait).
  struct CloseSink : IDialogEvents {
    void OnTimer(UINT_PTR) override {
      if (!nClosedAt && pView->GetLogText().find("Waiting to System Up and Ready...") != std::string::npos) {
        nClosedAt = plat::NowMs();
        pView->close();
      }
    }
    QtDialogView* pView = nullptr;
    std::uint64_t nClosedAt = 0;
  } sink;
  sink.pView = m_pView.get();
  m_pView->SetEventSink(&sink);
  m_pView->SetTimer(7, 20);
  QTest::mouseClick(m_pView->ResetDefaultButton(), Qt::LeftButton);
  const std::uint64_t nReturnedAt = plat::NowMs();

  ASSERT_NE(sink.nClosedAt, 0u) << m_pView->GetLogText();
  EXPECT_TRUE(m_pView->HasEnded());
  EXPECT_TRUE(plat::Stop().Requested());
  EXPECT_FALSE(m_pView->IsTimerRunning(7));
  // The first of its waits alone is five seconds; ended by the close, the
  // handler returns long before.
  EXPECT_LT(nReturnedAt - sink.nClosedAt, 5000u);
}

TEST(QtWindowProgram, ClosingTheWindowDuringARunEndsTheProgramAtOnce) {
  // "Load" runs on a worker; "Reset Default" runs on the window thread and
  // waits there, inside the window's own event loop.
  for (const char* pszClick : {"load", "reset"}) {
    SCOPED_TRACE(pszClick);
    const fs::path dir = fs::temp_directory_path() / ("qtwin-close-" + std::to_string(getpid()) + "-" + pszClick);
    fs::create_directories(dir / "com");
    const std::string strSocket = (dir / "reader.sock").string();
    const std::string strScript = WriteFile(dir / "short_usbhid.txt", ShortScript(SimScriptKind::UsbHid, 2));

    // One reader on both lines: the HID socket for the run, a serial line so
    // that the window finds a port at start-up (else it would wait for the
    // operator to close its "No COM Port Available" box).
    SimProcess sim(SimProcess::ProgramIn(READERTOOL_BINARY_DIR));
    ASSERT_TRUE(sim.Start(
        {"--hid", "int64", "--hid-socket", strSocket, "--pty", "--com", "9", "--com-dir", (dir / "com").string()}))
        << sim.Output();

    ChildProgram tool;
    ASSERT_TRUE(tool.Start(BuildDir() + "/ui/qt/readertool", {{"QT_QPA_PLATFORM", "offscreen"},
                                                              {"READERTOOL_COM_DIR", (dir / "com").string()},
                                                              {"READERTOOL_HID_SIM", strSocket},
                                                              {kTestChooseFileEnv, strScript},
                                                              {kTestClickEnv, pszClick}}));
    ASSERT_TRUE(tool.ReadUntil("readertool: run started", kRunDeadlineMs)) << tool.Output();

    // SIGTERM closes the window as its close box does. The run is in an
    // exchange or in a wait of several seconds (the bootloader's start, the
    // reader's restart): the program must end within a second all the same.
    tool.Signal(SIGTERM);
    int nStatus = -1;
    ASSERT_TRUE(tool.WaitExit(1000, &nStatus)) << tool.Output();
    EXPECT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 0);
    // A stopped worker leaves the window alone.
    if (std::string(pszClick) == "load") {
      EXPECT_EQ(tool.Output().find("run ended"), std::string::npos) << tool.Output();
    }

    EXPECT_EQ(sim.Stop(), 0);
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // The tests need no display.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  InstallFontSubstitutions();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
