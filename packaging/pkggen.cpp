// pkggen: writes the packaged files that carry the readers' USB identities,
// from the same table the connect step walks (app/known_readers.h), so that
// the udev rule and the software-centre hardware hints never drift from what
// the tool actually looks for.
//
//   pkggen udev-rules OUT             the udev rule
//   pkggen metainfo TEMPLATE OUT      the metainfo file, with the one line
//                                     that holds only @MODALIASES@ replaced by
//                                     one <modalias> element per known reader
//   pkggen postinst TEMPLATE OUT      the package's postinst, with every
//                                     @VENDOR_IDS@ replaced by the readers'
//                                     vendor IDs (lower case, space-separated)
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "app/known_readers.h"

namespace {

std::string Hex4(unsigned v, bool bUpper) {
  char sz[8];
  std::snprintf(sz, sizeof sz, bUpper ? "%04X" : "%04x", v & 0xFFFFu);
  return sz;
}

std::string ReaderLabel(std::size_t i) {
  const KnownReader& r = g_KnownReaders[i];
  std::string s = "reader " + std::to_string(i + 1) + ", " + Hex4(r.wVid, false) + ":" + Hex4(r.wPid, false);
  if (r.pszModel) s += " (" + std::string(r.pszModel) + ")";
  return s;
}

std::string UdevRules() {
  std::ostringstream o;
  o << "# Card readers that readertool knows (generated from its known reader list;\n"
       "# do not edit). The logged-in user may open the readers' hidraw nodes, and\n"
       "# ModemManager leaves the readers alone. The uaccess tag has to be set before\n"
       "# 73-seat-late.rules turns it into an access list, hence the number 60.\n"
       "\n"
       "ACTION!=\"add|change|move|bind\", GOTO=\"readertool_end\"\n"
       "\n"
       "# hidraw nodes, on any bus: the HID device above each node is named\n"
       "# BUS:VENDOR:PRODUCT.N in upper-case hexadecimal.\n";
  for (std::size_t i = 0; i < kKnownReaderCount; ++i) {
    const KnownReader& r = g_KnownReaders[i];
    o << "# " << ReaderLabel(i) << "\n"
      << "SUBSYSTEM==\"hidraw\", KERNELS==\"*:" << Hex4(r.wVid, true) << ":" << Hex4(r.wPid, true)
      << ".*\", TAG+=\"uaccess\"\n";
  }
  o << "\n"
       "# The readers' USB devices and everything below them: not modems. sysfs\n"
       "# shows the IDs in lower-case hexadecimal.\n";
  for (std::size_t i = 0; i < kKnownReaderCount; ++i) {
    const KnownReader& r = g_KnownReaders[i];
    o << "SUBSYSTEMS==\"usb\", ATTRS{idVendor}==\"" << Hex4(r.wVid, false) << "\", ATTRS{idProduct}==\""
      << Hex4(r.wPid, false) << "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n";
  }
  o << "\nLABEL=\"readertool_end\"\n";
  return o.str();
}

// USB modalias patterns ("usb:vVVVVpPPPPd*"), one element per reader, each
// line indented like the line it replaces.
std::string Modaliases(const std::string& indent) {
  std::ostringstream o;
  for (std::size_t i = 0; i < kKnownReaderCount; ++i) {
    const KnownReader& r = g_KnownReaders[i];
    o << indent << "<modalias>usb:v" << Hex4(r.wVid, true) << "p" << Hex4(r.wPid, true) << "d*</modalias>\n";
  }
  return o.str();
}

// Each vendor once, in the table's order, as sysfs writes them.
std::string VendorIds() {
  std::string s;
  for (std::size_t i = 0; i < kKnownReaderCount; ++i) {
    const std::string id = Hex4(g_KnownReaders[i].wVid, false);
    if ((" " + s + " ").find(" " + id + " ") != std::string::npos) continue;
    s += (s.empty() ? "" : " ") + id;
  }
  return s;
}

bool ReadFile(const char* pszPath, std::string* pText) {
  std::ifstream in(pszPath, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  *pText = ss.str();
  return !in.bad();
}

// Through a temporary file, so that an interrupted build leaves no half file
// that looks up to date.
bool WriteFile(const char* pszPath, const std::string& strText) {
  const std::string strTmp = std::string(pszPath) + ".tmp";
  {
    std::ofstream out(strTmp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << strText;
    out.flush();
    if (!out) return false;
  }
  return std::rename(strTmp.c_str(), pszPath) == 0;
}

bool FillMetainfo(const std::string& strTemplate, std::string* pOut) {
  const std::string kMarker = "@MODALIASES@";
  std::istringstream in(strTemplate);
  std::string line;
  bool bFound = false;
  pOut->clear();
  while (std::getline(in, line)) {
    // Only a line that holds nothing but the marker is replaced, so the
    // marker can be named elsewhere (in a comment) without breaking the XML.
    const std::size_t at = line.find_first_not_of(" \t");
    if (at == std::string::npos || line.compare(at, std::string::npos, kMarker) != 0) {
      *pOut += line + "\n";
      continue;
    }
    if (bFound) return false;  // a second list would duplicate every element
    bFound = true;
    *pOut += Modaliases(line.substr(0, at));
  }
  return bFound;
}

bool FillPostinst(std::string strText, std::string* pOut) {
  const std::string kMarker = "@VENDOR_IDS@";
  const std::string strIds = VendorIds();
  bool bFound = false;
  for (std::size_t at; (at = strText.find(kMarker)) != std::string::npos;) {
    strText.replace(at, kMarker.size(), strIds);
    bFound = true;
  }
  *pOut = strText;
  return bFound;
}

int Usage() {
  std::fputs("usage: pkggen udev-rules OUT\n       pkggen metainfo TEMPLATE OUT\n       pkggen postinst TEMPLATE OUT\n",
             stderr);
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "udev-rules") == 0) {
    if (!WriteFile(argv[2], UdevRules())) {
      std::fprintf(stderr, "pkggen: cannot write %s\n", argv[2]);
      return 1;
    }
    return 0;
  }
  const bool bMetainfo = argc == 4 && std::strcmp(argv[1], "metainfo") == 0;
  const bool bPostinst = argc == 4 && std::strcmp(argv[1], "postinst") == 0;
  if (bMetainfo || bPostinst) {
    std::string strTemplate, strOut;
    if (!ReadFile(argv[2], &strTemplate)) {
      std::fprintf(stderr, "pkggen: cannot read %s\n", argv[2]);
      return 1;
    }
    if (bMetainfo && !FillMetainfo(strTemplate, &strOut)) {
      std::fprintf(stderr, "pkggen: %s needs exactly one line holding only @MODALIASES@\n", argv[2]);
      return 1;
    }
    if (bPostinst && !FillPostinst(strTemplate, &strOut)) {
      std::fprintf(stderr, "pkggen: %s names no @VENDOR_IDS@\n", argv[2]);
      return 1;
    }
    if (!WriteFile(argv[3], strOut)) {
      std::fprintf(stderr, "pkggen: cannot write %s\n", argv[3]);
      return 1;
    }
    return 0;
  }
  return Usage();
}
