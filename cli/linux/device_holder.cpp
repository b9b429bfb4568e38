// Who holds a busy device on Linux, found as fuser finds it but without
// opening the device: first the holder of a lock on the device node
// (/proc/locks: the tool and most terminal programs lock the ports they
// use), else every process with a descriptor open on the same device
// (/proc/<pid>/fd). Processes of other users stay hidden unless readerctl
// runs as root; then fuser as root can name them.
#include "cli/link_advice.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The pids whose lock in /proc/locks is on the file st: lines such as
// "1: FLOCK  ADVISORY  WRITE 1234 00:19:6 0 EOF" (major and minor of the
// file system in hexadecimal, then the inode). Waiters ("1: -> FLOCK ...")
// do not hold the lock.
std::vector<pid_t> LockHolders(const struct stat& st) {
  std::vector<pid_t> pids;
  std::ifstream locks("/proc/locks");
  std::string strLine;
  while (std::getline(locks, strLine)) {
    if (strLine.find("->") != std::string::npos) continue;
    std::istringstream fields(strLine);
    std::string strPrev, strField;
    while (fields >> strField) {
      unsigned nMajor = 0, nMinor = 0;
      unsigned long long nInode = 0;
      char cEnd = 0;
      if (std::sscanf(strField.c_str(), "%x:%x:%llu%c", &nMajor, &nMinor, &nInode, &cEnd) == 3) {
        const long nPid = std::strtol(strPrev.c_str(), nullptr, 10);
        if (nPid > 0 && makedev(nMajor, nMinor) == st.st_dev && nInode == st.st_ino)
          pids.push_back(static_cast<pid_t>(nPid));
        break;
      }
      strPrev = strField;
    }
  }
  return pids;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  if (S_ISCHR(a.st_mode) || S_ISBLK(a.st_mode))
    return (a.st_mode & S_IFMT) == (b.st_mode & S_IFMT) && a.st_rdev == b.st_rdev;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The processes with a descriptor on the file st.
std::vector<pid_t> Openers(const struct stat& st) {
  std::vector<pid_t> pids;
  DIR* proc = opendir("/proc");
  if (!proc) return pids;
  while (const dirent* e = readdir(proc)) {
    char* pEnd = nullptr;
    const long nPid = std::strtol(e->d_name, &pEnd, 10);
    if (nPid <= 0 || *pEnd) continue;
    const std::string strFds = std::string("/proc/") + e->d_name + "/fd";
    DIR* fds = opendir(strFds.c_str());
    if (!fds) continue;  // another user's process, or gone
    while (const dirent* f = readdir(fds)) {
      if (f->d_name[0] == '.') continue;
      struct stat target {};
      if (stat((strFds + "/" + f->d_name).c_str(), &target) == 0 && SameFile(target, st)) {
        pids.push_back(static_cast<pid_t>(nPid));
        break;
      }
    }
    closedir(fds);
  }
  closedir(proc);
  std::sort(pids.begin(), pids.end());
  return pids;
}

std::string ProcessName(pid_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string strName;
  std::getline(comm, strName);
  return strName.empty() ? "?" : strName;
}

}  // namespace

std::string BusyHolder(const std::string& strDevice) {
  struct stat st {};
  if (strDevice.empty() || stat(strDevice.c_str(), &st) != 0) return {};
  // A simulator socket's server says itself that the reader is held.
  if (S_ISSOCK(st.st_mode)) return {};
  std::vector<pid_t> pids = LockHolders(st);
  if (pids.empty()) pids = Openers(st);
  pids.erase(std::remove(pids.begin(), pids.end(), getpid()), pids.end());
  if (pids.empty()) {
    char szReal[4096];
    const std::string strPath = realpath(strDevice.c_str(), szReal) ? szReal : strDevice;
    return "another program holds it ('sudo fuser -v " + strPath + "' names it)";
  }
  std::string strText = pids.size() == 1 ? "held by process " : "held by processes ";
  for (std::size_t i = 0; i < pids.size(); ++i) {
    if (i) strText += ", ";
    strText += std::to_string(pids[i]) + " (" + ProcessName(pids[i]) + ")";
  }
  return strText;
}
