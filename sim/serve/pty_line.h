// The simulated reader's end of a pseudo-terminal: the tool opens the other
// end as its serial port, through a COM name when the end is linked into the
// COM override folder.
#pragma once
#include <string>

class PtyLine {
 public:
  PtyLine() = default;
  ~PtyLine() { Close(); }
  PtyLine(const PtyLine&) = delete;
  PtyLine& operator=(const PtyLine&) = delete;

  // Creates the pair in raw mode. The reader's end is non-blocking; the
  // tool's end is kept open here as well, so that the tool can close and
  // reopen its port (as it does after boot-mode entry) without the line
  // hanging up.
  bool Open(std::string* pErr);
  // Links the tool's end as linkPath (a "comN" entry). An entry left by a
  // simulator that is gone (a dangling link) is replaced; anything else is not.
  bool LinkAs(const std::string& linkPath, std::string* pErr);
  // Closes both ends and removes the link if it still points at this line.
  void Close();

  int Fd() const { return m_master; }
  const std::string& Path() const { return m_path; }
  // Baud rate the tool set on its end (0 when unknown).
  unsigned LineBaud() const;

 private:
  int m_master = -1;
  int m_slave = -1;
  std::string m_path;
  std::string m_link;
};
