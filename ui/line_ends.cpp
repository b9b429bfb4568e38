#include "ui/line_ends.h"

std::string CrLfToLf(std::string_view strText) {
  std::string strLf;
  strLf.reserve(strText.size());
  for (std::size_t i = 0; i < strText.size(); ++i) {
    if (strText[i] == '\r' && i + 1 < strText.size() && strText[i + 1] == '\n') continue;
    strLf += strText[i];
  }
  return strLf;
}

std::string LfToCrLf(std::string_view strText) {
  std::string strCrLf;
  strCrLf.reserve(strText.size() + strText.size() / 16);
  for (char c : strText) {
    if (c == '\n') strCrLf += '\r';
    strCrLf += c;
  }
  return strCrLf;
}
