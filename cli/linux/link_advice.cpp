// The fix for a refused port or device on Linux. A serial port's node
// belongs to a group (usually "dialout") whose members may open it; the
// readers' hidraw nodes are given to the user at the seat by the udev rule
// that the package installs.
#include "cli/link_advice.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

// The rule's name and where this build installs it (packaging/CMakeLists.txt).
#if !defined(READERTOOL_UDEV_RULE_NAME) || !defined(READERTOOL_UDEV_RULE_INSTALLED)
#error "the build names the udev rule: READERTOOL_UDEV_RULE_NAME, READERTOOL_UDEV_RULE_INSTALLED"
#endif

namespace {

std::string UserName() {
  if (const passwd* pw = getpwuid(geteuid())) return pw->pw_name;
  return "$USER";
}

// Whether the group database makes the user a member of gid, and whether
// this process has the group now (it does not until the user logs in again).
bool InGroupDatabase(const std::string& strUser, gid_t gid) {
  if (const passwd* pw = getpwnam(strUser.c_str()); pw && pw->pw_gid == gid) return true;
  const group* gr = getgrgid(gid);
  if (!gr) return false;
  for (char** m = gr->gr_mem; m && *m; ++m)
    if (strUser == *m) return true;
  return false;
}

bool ProcessHasGroup(gid_t gid) {
  if (getegid() == gid) return true;
  const int n = getgroups(0, nullptr);
  if (n <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(n));
  const int got = getgroups(n, groups.data());
  return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

std::string SerialFix(const std::string& strDevice) {
  struct stat st {};
  if (strDevice.empty() || stat(strDevice.c_str(), &st) != 0)
    return "add the user to the group that owns the port's device (usually 'dialout') and log in again";
  const group* gr = getgrgid(st.st_gid);
  const std::string strGroup = gr ? gr->gr_name : std::to_string(st.st_gid);
  const std::string strUser = UserName();
  if ((st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP) || st.st_gid == 0) {
    // Joining the node's group would not help.
    const passwd* owner = getpwuid(st.st_uid);
    char szMode[8];
    std::snprintf(szMode, sizeof szMode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return strDevice + " is not open to a group (owner '" + (owner ? owner->pw_name : std::to_string(st.st_uid)) +
           "', group '" + strGroup + "', mode " + szMode + "): ask for read-write access to it";
  }
  if (InGroupDatabase(strUser, st.st_gid) && !ProcessHasGroup(st.st_gid))
    return "the user '" + strUser + "' is in the '" + strGroup + "' group, but not yet in this login: log in again";
  return "add the user '" + strUser + "' to the '" + strGroup + "' group (sudo usermod -aG " + strGroup + " " +
         strUser + ") and log in again";
}

// Where udev looks for rules, the install's own place first.
std::string InstalledUdevRule() {
  const std::string strName = READERTOOL_UDEV_RULE_NAME;
  const std::string paths[] = {READERTOOL_UDEV_RULE_INSTALLED,
                               "/etc/udev/rules.d/" + strName,
                               "/run/udev/rules.d/" + strName,
                               "/usr/lib/udev/rules.d/" + strName,
                               "/lib/udev/rules.d/" + strName,
                               "/usr/local/lib/udev/rules.d/" + strName};
  for (const std::string& path : paths) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) return path;
  }
  return {};
}

std::string UsbFix() {
  const std::string strRule = InstalledUdevRule();
  if (strRule.empty())
    return std::string("install the udev rule ") + READERTOOL_UDEV_RULE_NAME +
           " (the readerctl package brings it; see README) and plug the reader in again";
  return "the udev rule " + strRule +
         " gives the reader to the user logged in at the seat: log in there, or plug the reader in again; "
         "over SSH add a rule with a group of yours (see README)";
}

}  // namespace

std::string AccessDeniedFix(bool bSerialPort, const std::string& strDevice) {
  return bSerialPort ? SerialFix(strDevice) : UsbFix();
}
