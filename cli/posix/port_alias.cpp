#include "cli/port_alias.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/posix/com_map.h"

namespace {

constexpr int kAliasPort = plat::kMaxComPort;

}  // namespace

ComPortAlias::~ComPortAlias() {
  if (!m_strLink.empty()) unlink(m_strLink.c_str());
  if (!m_strDir.empty()) rmdir(m_strDir.c_str());
}

int ComPortAlias::Resolve(const std::string& strPort, std::string* pstrError) {
  if (const int nPort = plat::ParseComName(strPort.c_str())) return nPort;
  if (const int nPort = plat::ComNumberOfPath(strPort.c_str())) return nPort;

  std::error_code ec;
  const std::string strTarget = std::filesystem::absolute(strPort, ec).string();
  if (ec) {
    if (pstrError) *pstrError = "cannot use the port path '" + strPort + "': " + ec.message();
    return 0;
  }
  const char* pszTmp = std::getenv("TMPDIR");
  std::string strTemplate = std::string(pszTmp && *pszTmp ? pszTmp : "/tmp") + "/readerctl-com.XXXXXX";
  std::vector<char> buf(strTemplate.begin(), strTemplate.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) {
    if (pstrError) *pstrError = "cannot make a folder for the port link: " + std::string(std::strerror(errno));
    return 0;
  }
  m_strDir = buf.data();
  const std::string strLink = m_strDir + "/com" + std::to_string(kAliasPort);
  if (symlink(strTarget.c_str(), strLink.c_str()) != 0) {
    if (pstrError) *pstrError = "cannot link the port: " + std::string(std::strerror(errno));
    return 0;
  }
  m_strLink = strLink;
  setenv(plat::kComDirEnv, m_strDir.c_str(), 1);
  return kAliasPort;
}
