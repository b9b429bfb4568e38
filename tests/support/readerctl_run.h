// readerctl (or another program of the build) as a child process for the
// end-to-end tests: start it with a given environment, read its outputs
// with deadlines, and the fixture that puts readersim behind a
// pseudo-terminal or the HID simulator socket. POSIX only. Everything here
// is inline so that each test file that runs readerctl includes it alone.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "link/frame.h"
#include "link/hex_format.h"
#include "sim/model/image_rule.h"
#include "support/sim_process.h"
#include "ui/status_texts.h"

extern char** environ;

namespace ctltest {
inline constexpr int kRunTimeoutMs = 60000;

inline long long MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

inline std::string CtlProgram() {
  const char* env = std::getenv("READERTOOL_BINARY_DIR");
  return std::string(env && *env ? env : READERTOOL_BINARY_DIR) + "/cli/readerctl";
}

// readerctl as a child: its environment is ours without the two variables
// that point the tool at simulated readers, plus the ones a test sets.
class CtlProcess {
 public:
  ~CtlProcess() {
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    for (int fd : {m_outFd, m_errFd})
      if (fd >= 0) close(fd);
  }

  bool Start(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    return StartProgram(CtlProgram(), args, env);
  }

  // Any program, in the same environment less the variables named in unset.
  bool StartProgram(const std::string& prog, const std::vector<std::string>& args, const std::vector<std::string>& env,
                    const std::vector<std::string>& unset = {}) {
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
      const std::string entry(*e);
      if (entry.rfind("READERTOOL_COM_DIR=", 0) == 0 || entry.rfind("READERTOOL_HID_SIM=", 0) == 0) continue;
      bool bUnset = false;
      for (const std::string& name : unset) bUnset = bUnset || entry.rfind(name + "=", 0) == 0;
      if (!bUnset) envStrings.push_back(entry);
    }
    envStrings.insert(envStrings.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);

    // A runner (another user's rights, a shell that closes a stream) starts
    // the program with its own arguments first.
    const std::string exec = runner.empty() ? prog : runner[0];
    std::vector<std::string> argStrings = runner;
    argStrings.push_back(prog);
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argStrings) argv.push_back(s.data());
    argv.push_back(nullptr);

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    if (pipe2(err, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    const int rc = posix_spawn(&m_pid, exec.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(err[1]);
    m_outFd = out[0];
    m_errFd = err[0];
    if (rc != 0) m_pid = -1;
    return rc == 0;
  }

  // Reads both outputs until `until` shows on standard output (or with
  // bInErr on standard error; empty: until both are closed) or the time is up.
  bool ReadUntil(const std::string& until, int nTimeoutMs, bool bInErr = false) {
    const long long deadline = MonotonicMs() + nTimeoutMs;
    for (;;) {
      if (!until.empty() && (bInErr ? err : out).find(until) != std::string::npos) return true;
      if (until.empty() && m_outFd < 0 && m_errFd < 0) return true;
      if (m_outFd < 0 && m_errFd < 0) return false;
      const long long left = deadline - MonotonicMs();
      if (left <= 0) return false;
      pollfd fds[2];
      nfds_t n = 0;
      if (m_outFd >= 0) fds[n++] = {m_outFd, POLLIN, 0};
      if (m_errFd >= 0) fds[n++] = {m_errFd, POLLIN, 0};
      if (poll(fds, n, static_cast<int>(left)) <= 0) continue;
      for (nfds_t i = 0; i < n; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        int& fd = fds[i].fd == m_outFd ? m_outFd : m_errFd;
        std::string& text = &fd == &m_outFd ? out : err;
        char buf[4096];
        const ssize_t got = read(fd, buf, sizeof buf);
        if (got > 0) {
          text.append(buf, static_cast<std::size_t>(got));
        } else {
          close(fd);
          fd = -1;
        }
      }
    }
  }

  void Signal(int sig) {
    if (m_pid > 0) kill(m_pid, sig);
  }

  // Waits for the end; the exit status, or -1 when it had to be killed.
  int Wait(int nTimeoutMs = kRunTimeoutMs) {
    const bool ended = ReadUntil("", nTimeoutMs);
    if (!ended) kill(m_pid, SIGKILL);
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    if (!ended) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::string out, err;
  // A program (absolute path first) that runs readerctl, which follows its
  // arguments with its own: another user's rights, a shell that closes a
  // stream. Empty: readerctl is started itself.
  std::vector<std::string> runner;

 private:
  pid_t m_pid = -1;
  int m_outFd = -1;
  int m_errFd = -1;
};

struct CtlRun {
  int nStatus = -1;
  std::string out, err;
  std::vector<std::string> lines;  // standard output, line by line
};

inline CtlRun RunProgram(const std::string& prog, const std::vector<std::string>& args,
                         const std::vector<std::string>& env = {}, const std::vector<std::string>& unset = {},
                         const std::vector<std::string>& runner = {}) {
  CtlProcess p;
  p.runner = runner;
  CtlRun run;
  if (!p.StartProgram(prog, args, env, unset)) return run;
  run.nStatus = p.Wait();
  run.out = p.out;
  run.err = p.err;
  std::size_t b = 0;
  for (std::size_t e; (e = run.out.find('\n', b)) != std::string::npos; b = e + 1)
    run.lines.push_back(run.out.substr(b, e - b));
  return run;
}

inline CtlRun RunCtl(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                     const std::vector<std::string>& runner = {}) {
  return RunProgram(CtlProgram(), args, env, {}, runner);
}

// The JSON encoding of a text as the stream writes it (the texts used here
// hold no bytes outside printable ASCII, CR and LF).
inline std::string Json(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

inline std::string LogEvent(const std::string& text, bool bReplace = false) {
  return std::string("{\"event\":\"log\",\"replace\":") + (bReplace ? "true" : "false") + ",\"text\":" + Json(text) +
         "}";
}

// Position of the first line equal to `line` at or after `from`; npos when none.
inline std::size_t Find(const std::vector<std::string>& lines, const std::string& line, std::size_t from = 0) {
  for (std::size_t i = from; i < lines.size(); ++i)
    if (lines[i] == line) return i;
  return std::string::npos;
}

inline bool AllLinesAreEvents(const std::vector<std::string>& lines) {
  for (const std::string& l : lines)
    if (l.rfind("{\"event\":\"", 0) != 0 || l.back() != '}') return false;
  return !lines.empty();
}

inline std::string ResultPrefix(bool ok, int code) {
  return std::string("{\"event\":\"result\",\"ok\":") + (ok ? "true" : "false") + ",\"code\":" + std::to_string(code) +
         ",\"log\":";
}

class ReaderctlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/readerctl_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
    m_script = m_dir + "/tiny_update.txt";
    WriteScript(m_script, "#RS232 version");
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
  }

  // A whole download of a 64-byte body that the simulated bootloader
  // verifies: six commands.
  static std::vector<std::vector<BYTE>> TinyUpdateFrames() {
    std::vector<BYTE> body(64);
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<BYTE>(i * 7 + 3);
    std::vector<BYTE> block = {0, 0, 0, 0};
    block.insert(block.end(), body.begin(), body.end());
    std::vector<BYTE> verify = {0x00, 0x03, 0xFF, 0xF0};
    const std::vector<BYTE> trailer = MakeSimTrailer(body.data(), body.size());
    verify.insert(verify.end(), trailer.begin(), trailer.end());
    return {
        MakeFrame(0xC7, 0x41),        MakeFrame(0xC7, 0x10),         MakeFrame(0xC7, 0x02, {0x00}),
        MakeFrame(0xC7, 0x03, block), MakeFrame(0xC7, 0x04, verify), MakeFrame(0xC7, 0x05),
    };
  }

  // The tiny update as a text script.
  static void WriteScript(const std::string& path, const std::string& header) {
    std::string text = header + "\r\nReader model: test reader\r\n";
    for (const auto& f : TinyUpdateFrames())
      text += "SEND: " + FormatHexLine(f.data(), f.size()) + "\r\nWAIT: 100\r\n";
    text += "END>\r\n";
    std::ofstream(path, std::ios::binary) << text;
  }

  // readersim on a pseudo-terminal linked as COM201 in the test's folder.
  bool StartSerialSim(SimProcess* sim, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--com",        "201", "--com-dir",       m_dir,
                                     "--restart-ms", "100", "--boot-entry-ms", "100"};
    args.insert(args.end(), extra.begin(), extra.end());
    return sim->Start(args);
  }
  std::vector<std::string> SerialEnv() const { return {"READERTOOL_COM_DIR=" + m_dir}; }

  bool StartHidSim(SimProcess* sim, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--hid",        "int64", "--hid-socket",    Socket(),
                                     "--restart-ms", "100",   "--boot-entry-ms", "100"};
    args.insert(args.end(), extra.begin(), extra.end());
    return sim->Start(args);
  }
  std::string Socket() const { return m_dir + "/reader.sock"; }
  std::vector<std::string> HidEnv() const { return {"READERTOOL_HID_SIM=" + Socket()}; }

  // What every successful run of the tiny script shows.
  static void ExpectUpdated(const CtlRun& run, const char* pszOpenLine) {
    EXPECT_EQ(run.nStatus, 0) << run.out << run.err;
    EXPECT_TRUE(AllLinesAreEvents(run.lines)) << run.out;
    const std::size_t nOpen = Find(run.lines, LogEvent(pszOpenLine));
    ASSERT_NE(nOpen, std::string::npos) << run.out;
    // The script runner empties the log before its first line.
    const std::size_t nFile = Find(run.lines, LogEvent("Opening File.....", true), nOpen);
    ASSERT_NE(nFile, std::string::npos) << run.out;
    EXPECT_EQ(run.lines[nFile + 1], LogEvent("tiny_update.txt"));
    const std::size_t nBoot = Find(run.lines, LogEvent(GetStatusText(STS_ENTER_BOOTLOADER_OK)), nFile);
    const std::size_t nErase = Find(run.lines, LogEvent(GetStatusText(STS_ERASE_OK_START_DOWNLOAD)), nBoot);
    const std::size_t nDone = Find(run.lines, LogEvent(GetStatusText(STS_DONE_REBOOTING)), nErase);
    EXPECT_NE(nBoot, std::string::npos) << run.out;
    EXPECT_NE(nErase, std::string::npos) << run.out;
    ASSERT_NE(nDone, std::string::npos) << run.out;
    EXPECT_EQ(run.lines[nDone + 1], LogEvent("tiny_update.txt"));
    // The bar ends full, and the result comes last with the whole final log.
    EXPECT_NE(Find(run.lines, "{\"event\":\"progress\",\"pos\":100,\"max\":100}", nErase), std::string::npos)
        << run.out;
    EXPECT_EQ(run.lines.back().rfind(ResultPrefix(true, 0), 0), 0u) << run.lines.back();
    const std::string strTail = Json("100% Done and Rebooting\r\ntiny_update.txt\r\n").substr(1) + "}";
    EXPECT_EQ(run.lines.back().substr(run.lines.back().size() - std::min(strTail.size(), run.lines.back().size())),
              strTail);
  }

  std::string m_dir;
  std::string m_script;
};

// With --trace, standard error carries every request frame as it went out.

}  // namespace ctltest
