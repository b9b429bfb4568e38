// Version information: the VS_VERSIONINFO reader over PE files built here,
// over ELF files (our own executables carry the block), the translation
// choice for the user's language, and hostile input.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/file_version_info.h"
#include "platform/locale.h"
#include "platform/version_resource.h"

namespace {

using Bytes = std::vector<BYTE>;

// ---------------------------------------------------------------------------
// Builders: a VS_VERSIONINFO block, a PE file holding it as resource 16, and
// an ELF file holding it in section ".rsrc_version".
// ---------------------------------------------------------------------------

void Put16(Bytes& b, std::size_t at, WORD v) {
  b[at] = static_cast<BYTE>(v);
  b[at + 1] = static_cast<BYTE>(v >> 8);
}
void Put32(Bytes& b, std::size_t at, DWORD v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<BYTE>(v >> (8 * i));
}
void Add16(Bytes& b, WORD v) {
  b.push_back(static_cast<BYTE>(v));
  b.push_back(static_cast<BYTE>(v >> 8));
}
void Add32(Bytes& b, DWORD v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<BYTE>(v >> (8 * i)));
}
void Pad4(Bytes& b) {
  while (b.size() % 4) b.push_back(0);
}
Bytes Utf16z(const std::u16string& s) {
  Bytes b;
  for (char16_t c : s) Add16(b, c);
  Add16(b, 0);
  return b;
}
std::u16string Ascii16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// One node; it starts 32-bit aligned, as its parent puts it there.
Bytes Node(const std::string& key, WORD wType, const Bytes& value, WORD wValueLength, const std::vector<Bytes>& kids) {
  Bytes b(6, 0);
  Bytes k = Utf16z(Ascii16(key));
  b.insert(b.end(), k.begin(), k.end());
  Pad4(b);
  b.insert(b.end(), value.begin(), value.end());
  for (const Bytes& kid : kids) {
    Pad4(b);
    b.insert(b.end(), kid.begin(), kid.end());
  }
  Put16(b, 0, static_cast<WORD>(b.size()));
  Put16(b, 2, wValueLength);
  Put16(b, 4, wType);
  return b;
}

Bytes StringNode(const std::string& key, const std::u16string& text) {
  return Node(key, 1, Utf16z(text), static_cast<WORD>(text.size() + 1), {});
}

struct Table {
  std::string key;  // "040904B0"
  std::vector<std::pair<std::string, std::u16string>> strings;
};

struct BlockSpec {
  DWORD dwFileMS = 0x00010000;  // 1.0
  DWORD dwFileLS = 0x00030001;  // .3.1
  std::size_t nFixedLen = 52;
  std::vector<Table> tables;
  bool bTranslations = true;
  std::vector<std::pair<WORD, WORD>> translations;
};

Bytes VersionBlock(const BlockSpec& spec) {
  Bytes fixed;
  const DWORD fields[13] = {0xFEEF04BD, 0x00010000, spec.dwFileMS, spec.dwFileLS, spec.dwFileMS, spec.dwFileLS,
                            0x3F,       0,          0x40004,     1,            0,           0,           0};
  for (DWORD f : fields) Add32(fixed, f);
  fixed.resize(spec.nFixedLen, 0);
  std::vector<Bytes> tables;
  for (const Table& t : spec.tables) {
    std::vector<Bytes> strings;
    for (const auto& [key, text] : t.strings) strings.push_back(StringNode(key, text));
    tables.push_back(Node(t.key, 1, {}, 0, strings));
  }
  std::vector<Bytes> kids;
  if (!tables.empty()) kids.push_back(Node("StringFileInfo", 1, {}, 0, tables));
  if (spec.bTranslations) {
    Bytes tr;
    for (auto [lang, cp] : spec.translations) {
      Add16(tr, lang);
      Add16(tr, cp);
    }
    kids.push_back(Node("VarFileInfo", 1, {}, 0, {Node("Translation", 0, tr, static_cast<WORD>(tr.size()), {})}));
  }
  return Node("VS_VERSION_INFO", 0, fixed, static_cast<WORD>(fixed.size()), kids);
}

// A PE file with a .text section and a .rsrc section whose resource tree
// holds, in this order, an icon (type 3) when bWithIcon, and the version
// block as type 16, name wName, language wLang.
// A PE file whose version resource has one block per resource language
// (in the order given), beside an icon resource when bWithIcon.
Bytes PeFileLangs(const std::vector<std::pair<WORD, Bytes>>& blocks, bool bPlus, bool bWithIcon = true,
                  WORD wName = 1) {
  const std::size_t kLfanew = 0x80, kTextRaw = 0x400, kRsrcRaw = 0x600;
  const DWORD kRsrcRva = 0x3000;
  // resource tree: type -> name -> one entry per language
  struct Res {
    WORD type;
    std::vector<std::pair<WORD, Bytes>> langs;
  };
  std::vector<Res> res;
  if (bWithIcon) res.push_back({3, {{0x0409, Bytes(40, 0xA5)}}});
  res.push_back({16, blocks});
  const std::size_t n = res.size();
  Bytes r(16 + 8 * n, 0);
  Put16(r, 14, static_cast<WORD>(n));
  std::vector<std::size_t> typeDir(n), nameDir(n);
  std::vector<std::vector<std::size_t>> dataEntry(n), data(n);
  for (std::size_t i = 0; i < n; ++i) {
    typeDir[i] = r.size();
    r.resize(r.size() + 24, 0);
    nameDir[i] = r.size();
    r.resize(r.size() + 16 + 8 * res[i].langs.size(), 0);
    for (std::size_t k = 0; k < res[i].langs.size(); ++k) {
      dataEntry[i].push_back(r.size());
      r.resize(r.size() + 16, 0);
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    for (const auto& lang : res[i].langs) {
      while (r.size() % 8) r.push_back(0);
      data[i].push_back(r.size());
      r.insert(r.end(), lang.second.begin(), lang.second.end());
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    Put32(r, 16 + 8 * i, res[i].type);
    Put32(r, 16 + 8 * i + 4, 0x80000000u | static_cast<DWORD>(typeDir[i]));
    Put16(r, typeDir[i] + 14, 1);
    Put32(r, typeDir[i] + 16, wName);
    Put32(r, typeDir[i] + 20, 0x80000000u | static_cast<DWORD>(nameDir[i]));
    Put16(r, nameDir[i] + 14, static_cast<WORD>(res[i].langs.size()));
    for (std::size_t k = 0; k < res[i].langs.size(); ++k) {
      Put32(r, nameDir[i] + 16 + 8 * k, res[i].langs[k].first);
      Put32(r, nameDir[i] + 20 + 8 * k, static_cast<DWORD>(dataEntry[i][k]));
      Put32(r, dataEntry[i][k], kRsrcRva + static_cast<DWORD>(data[i][k]));
      Put32(r, dataEntry[i][k] + 4, static_cast<DWORD>(res[i].langs[k].second.size()));
    }
  }
  const DWORD rsrcRaw = static_cast<DWORD>((r.size() + 0x1FF) & ~std::size_t{0x1FF});

  const WORD wOptSize = bPlus ? 240 : 224;
  Bytes f(kRsrcRaw + rsrcRaw, 0);
  f[0] = 'M', f[1] = 'Z';
  Put32(f, 0x3C, kLfanew);
  std::memcpy(&f[kLfanew], "PE\0\0", 4);
  const std::size_t coff = kLfanew + 4, opt = coff + 20;
  Put16(f, coff, bPlus ? 0x8664 : 0x014C);
  Put16(f, coff + 2, 2);
  Put16(f, coff + 16, wOptSize);
  Put16(f, coff + 18, 0x2102);
  Put16(f, opt, bPlus ? 0x20B : 0x10B);
  const std::size_t nCount = bPlus ? 108 : 92, dirs = bPlus ? 112 : 96;
  Put32(f, opt + nCount, 16);
  Put32(f, opt + dirs + 16, kRsrcRva);
  Put32(f, opt + dirs + 20, static_cast<DWORD>(r.size()));
  const std::size_t sec = opt + wOptSize;
  std::memcpy(&f[sec], ".text", 5);
  Put32(f, sec + 8, 0x200);
  Put32(f, sec + 12, 0x1000);
  Put32(f, sec + 16, 0x200);
  Put32(f, sec + 20, kTextRaw);
  std::memcpy(&f[sec + 40], ".rsrc", 5);
  Put32(f, sec + 48, static_cast<DWORD>(r.size()));
  Put32(f, sec + 52, kRsrcRva);
  Put32(f, sec + 56, rsrcRaw);
  Put32(f, sec + 60, kRsrcRaw);
  std::copy(r.begin(), r.end(), f.begin() + kRsrcRaw);
  return f;
}

Bytes PeFile(const Bytes& block, bool bPlus, bool bWithIcon = true, WORD wName = 1, WORD wLang = 0x0409) {
  return PeFileLangs({{wLang, block}}, bPlus, bWithIcon, wName);
}

// A relocatable-style ELF file: header, ".text", ".rsrc_version" (the
// block), ".shstrtab", then the section headers.
Bytes ElfFile(const Bytes& block, bool b64, bool bBigEndian) {
  auto put = [&](Bytes& b, std::size_t at, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) b[at + i] = static_cast<BYTE>(v >> (8 * (bBigEndian ? n - 1 - i : i)));
  };
  const std::string names = std::string("\0.text\0.rsrc_version\0.shstrtab\0", 32);
  const std::size_t ehsize = b64 ? 64 : 52, shentsize = b64 ? 64 : 40;
  Bytes f(ehsize, 0);
  const std::size_t text = f.size();
  f.resize(f.size() + 16, 0x90);
  const std::size_t rsrc = f.size();
  f.insert(f.end(), block.begin(), block.end());
  const std::size_t strtab = f.size();
  f.insert(f.end(), names.begin(), names.end());
  while (f.size() % 8) f.push_back(0);
  const std::size_t shoff = f.size();
  f.resize(f.size() + 4 * shentsize, 0);
  std::memcpy(&f[0], "\x7F" "ELF", 4);
  f[4] = b64 ? 2 : 1;
  f[5] = bBigEndian ? 2 : 1;
  f[6] = 1;
  put(f, 16, 1, 2);  // ET_REL
  if (b64) {
    put(f, 0x28, shoff, 8);
    put(f, 0x3A, shentsize, 2);
    put(f, 0x3C, 4, 2);
    put(f, 0x3E, 3, 2);
  } else {
    put(f, 0x20, shoff, 4);
    put(f, 0x2E, shentsize, 2);
    put(f, 0x30, 4, 2);
    put(f, 0x32, 3, 2);
  }
  struct Sh {
    DWORD name, type;
    std::size_t off, size;
  } sh[4] = {{0, 0, 0, 0}, {1, 1, text, 16}, {7, 1, rsrc, block.size()}, {21, 3, strtab, names.size()}};
  for (int i = 0; i < 4; ++i) {
    const std::size_t h = shoff + i * shentsize;
    put(f, h, sh[i].name, 4);
    put(f, h + 4, sh[i].type, 4);
    if (b64) {
      put(f, h + 24, sh[i].off, 8);
      put(f, h + 32, sh[i].size, 8);
    } else {
      put(f, h + 16, sh[i].off, 4);
      put(f, h + 20, sh[i].size, 4);
    }
  }
  return f;
}

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

// A file in the test's temporary folder, removed at the end.
class TempFile {
 public:
  explicit TempFile(const Bytes& content) {
    char tmpl[] = "/tmp/readertool-verinfo-XXXXXX";
    const int fd = mkstemp(tmpl);
    EXPECT_GE(fd, 0);
    m_path = tmpl;
    FILE* f = fdopen(fd, "wb");
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
  }
  ~TempFile() { std::remove(m_path.c_str()); }
  const char* Path() const { return m_path.c_str(); }

 private:
  std::string m_path;
};

// Sets the locale variables for one test and restores them afterwards.
class ScopedLocale {
 public:
  explicit ScopedLocale(const char* pszLang) {
    for (const char* v : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
      const char* old = std::getenv(v);
      m_saved.push_back({v, old ? std::string(old) : std::string(), old != nullptr});
      unsetenv(v);
    }
    if (pszLang) setenv("LC_ALL", pszLang, 1);
  }
  ~ScopedLocale() {
    for (const auto& s : m_saved) {
      if (s.bSet) {
        setenv(s.name, s.value.c_str(), 1);
      } else {
        unsetenv(s.name);
      }
    }
  }

 private:
  struct Saved {
    const char* name;
    std::string value;
    bool bSet;
  };
  std::vector<Saved> m_saved;
};

Table EnglishTable() {
  return {"040904B0",
          {{"CompanyName", u"Kestrel Works"},
           {"FileDescription", u"Reader maintenance"},
           {"FileVersion", u"1, 0, 3, 1"},
           {"InternalName", u"tav"},
           {"LegalCopyright", u"(c) Kestrel Works"},
           {"OriginalFilename", u"tav.exe"},  // case differs from the key asked for
           {"ProductName", u"TAV"},
           {"ProductVersion", u"1.03.001"},
           {"Comments", u"Gr\u00FC\u00DFe \u20AC \U0001F600"},
           {"LegalTrademarks", u"TM"},
           {"PrivateBuild", u"pb"},
           {"SpecialBuild", u"sb"}}};
}

// A table whose company name tells which translation was chosen.
Table Tagged(const char* key) { return {key, {{"CompanyName", Ascii16(std::string("co-") + key)}}}; }

// ---------------------------------------------------------------------------
// Tests
// ---------------------------------------------------------------------------

TEST(FileVersionInfo, ReadsEverythingFromPe32AndPe32Plus) {
  ScopedLocale lang("en_US.UTF-8");
  BlockSpec spec;
  spec.tables = {EnglishTable()};
  spec.translations = {{0x0409, 1200}};
  for (bool bPlus : {false, true}) {
    SCOPED_TRACE(bPlus ? "PE32+" : "PE32");
    TempFile file(PeFile(VersionBlock(spec), bPlus));
    CFileVersionInfo info;
    ASSERT_TRUE(info.Create(file.Path()));
    EXPECT_EQ(info.GetFileVersion(3), 1);
    EXPECT_EQ(info.GetFileVersion(2), 0);
    EXPECT_EQ(info.GetFileVersion(1), 3);
    EXPECT_EQ(info.GetFileVersion(0), 1);
    EXPECT_EQ(info.GetFileVersion(4), 0);
    EXPECT_EQ(info.GetFileVersion(-1), 0);
    EXPECT_EQ(info.GetFixedFileInfo().dwSignature, plat::kFixedFileInfoSignature);
    EXPECT_EQ(info.GetFixedFileInfo().dwFileType, 1u);
    EXPECT_EQ(info.GetCompanyName(), "Kestrel Works");
    EXPECT_EQ(info.GetFileDescription(), "Reader maintenance");
    EXPECT_EQ(info.GetFileVersionText(), "1, 0, 3, 1");
    EXPECT_EQ(info.GetInternalName(), "tav");
    EXPECT_EQ(info.GetLegalCopyright(), "(c) Kestrel Works");
    EXPECT_EQ(info.GetOriginalFileName(), "tav.exe");
    EXPECT_EQ(info.GetProductName(), "TAV");
    EXPECT_EQ(info.GetProductVersion(), "1.03.001");
    EXPECT_EQ(info.GetComments(), "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80");
    EXPECT_EQ(info.GetLegalTrademarks(), "TM");
    EXPECT_EQ(info.GetPrivateBuild(), "pb");
    EXPECT_EQ(info.GetSpecialBuild(), "sb");
  }
}

TEST(FileVersionInfo, VersionResourceUnderAnotherNameAndWithoutOtherTypes) {
  BlockSpec spec;
  spec.tables = {Tagged("040904B0")};
  spec.translations = {{0x0409, 0x04B0}};
  for (auto [bIcon, wName] : {std::pair{false, WORD{1}}, std::pair{true, WORD{7}}}) {
    TempFile file(PeFile(VersionBlock(spec), true, bIcon, wName));
    CFileVersionInfo info;
    EXPECT_TRUE(info.Create(file.Path()));
    EXPECT_EQ(info.GetCompanyName(), "co-040904B0");
  }
}

// Which translation the strings come from, for the user's language.
TEST(FileVersionInfo, TranslationChoiceFollowsTheUsersLanguage) {
  using Tr = std::vector<std::pair<WORD, WORD>>;
  struct Case {
    const char* name;
    const char* locale;
    Tr translations;
    const char* expected;  // the chosen table's key
  };
  const Tr withNeutral = {{0x0410, 1200}, {0x0809, 1252}, {0x0000, 1200}, {0x0407, 1252}};
  const Tr withoutNeutral = {{0x0410, 1200}, {0x0809, 1252}};
  const Case cases[] = {
      {"exact match", "de_DE.UTF-8", withNeutral, "040704E4"},
      {"primary language match", "de_AT.UTF-8", withNeutral, "040704E4"},
      {"English variant by primary language", "en_US.UTF-8", withNeutral, "080904E4"},
      {"neutral before English", "fr_FR.UTF-8", withNeutral, "000004B0"},
      {"English when nothing else fits", "fr_FR.UTF-8", withoutNeutral, "080904E4"},
      {"first entry as the last resort", "fr_FR.UTF-8", Tr{{0x0410, 1200}, {0x0411, 932}}, "041004B0"},
      {"only English, German user", "de_DE.UTF-8", Tr{{0x0409, 1200}}, "040904B0"},
      {"second entry matches exactly", "de_DE.UTF-8", Tr{{0x0409, 1200}, {0x0407, 1200}}, "040704B0"},
      {"no locale set: English (US)", nullptr, Tr{{0x0407, 1200}, {0x0409, 1200}}, "040904B0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedLocale lang(c.locale);
    BlockSpec spec;
    spec.translations = c.translations;
    for (auto [l, cp] : c.translations) {
      char key[9];
      std::snprintf(key, sizeof key, "%04X%04X", l, cp);
      spec.tables.push_back(Tagged(key));
    }
    TempFile file(PeFile(VersionBlock(spec), true));
    CFileVersionInfo info;
    ASSERT_TRUE(info.Create(file.Path()));
    EXPECT_EQ(info.GetCompanyName(), std::string("co-") + c.expected);
  }
}

TEST(FileVersionInfo, OneBlockPerResourceLanguage) {
  // Each block names its resource language in its company name; all carry
  // the same translation, so the choice seen is the resource language's.
  auto block = [](const char* pszCompany) {
    BlockSpec spec;
    spec.translations = {{0x0409, 1200}};
    spec.tables = {Table{"040904B0", {{"CompanyName", Ascii16(pszCompany)}}}};
    return VersionBlock(spec);
  };
  using Blocks = std::vector<std::pair<WORD, Bytes>>;
  const Blocks three = {{0x0401, block("arabic")}, {0x0407, block("german")}, {0x0409, block("english")}};
  const Blocks withNeutral = {{0x0401, block("arabic")}, {0x0000, block("neutral")}, {0x0409, block("english")}};
  const Blocks primaryOnly = {{0x0401, block("arabic")}, {0x0007, block("german-neutral")}};
  struct Case {
    const char* name;
    const char* locale;
    const Blocks& blocks;
    const char* expected;
  } cases[] = {
      {"English user", "en_US.UTF-8", three, "english"},
      {"German user", "de_DE.UTF-8", three, "german"},
      {"French user: English", "fr_FR.UTF-8", three, "english"},
      {"neutral before the user's own", "ar_SA.UTF-8", withNeutral, "neutral"},
      {"primary language", "de_AT.UTF-8", primaryOnly, "german-neutral"},
      {"first as the last resort", "ja_JP.UTF-8", primaryOnly, "arabic"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedLocale lang(c.locale);
    TempFile file(PeFileLangs(c.blocks, true));
    CFileVersionInfo info;
    ASSERT_TRUE(info.Create(file.Path()));
    EXPECT_EQ(info.GetCompanyName(), c.expected);
  }
}

TEST(FileVersionInfo, FindTranslationExactThenPrimary) {
  const BYTE entries[] = {0x09, 0x08, 0xE4, 0x04, 0x07, 0x04, 0xB0, 0x04};  // 0x0809/1252, 0x0407/1200
  CFileVersionInfo::Translation t{};
  EXPECT_TRUE(CFileVersionInfo::FindTranslation(entries, sizeof entries, 0x0407, false, &t));
  EXPECT_EQ(t.wLanguage, 0x0407);
  EXPECT_EQ(t.wCodePage, 1200);
  EXPECT_FALSE(CFileVersionInfo::FindTranslation(entries, sizeof entries, 0x0409, false, &t));
  EXPECT_TRUE(CFileVersionInfo::FindTranslation(entries, sizeof entries, 0x0409, true, &t));
  EXPECT_EQ(t.wLanguage, 0x0809);
  EXPECT_EQ(t.wCodePage, 1252);
  // A partial entry at the end is not an entry.
  EXPECT_FALSE(CFileVersionInfo::FindTranslation(entries, 3, 0x0809, true, &t));
  EXPECT_FALSE(CFileVersionInfo::FindTranslation(nullptr, 8, 0x0809, true, &t));
}

TEST(FileVersionInfo, IncompleteResources) {
  ScopedLocale lang("en_US");
  {
    SCOPED_TRACE("root value not 52 bytes: no fixed information, strings still read");
    BlockSpec spec;
    spec.nFixedLen = 48;
    spec.tables = {Tagged("040904B0")};
    spec.translations = {{0x0409, 1200}};
    TempFile file(PeFile(VersionBlock(spec), true));
    CFileVersionInfo info;
    EXPECT_TRUE(info.Create(file.Path()));
    EXPECT_EQ(info.GetFixedFileInfo().dwSignature, 0u);
    EXPECT_EQ(info.GetFileVersion(3), 0);
    EXPECT_EQ(info.GetCompanyName(), "co-040904B0");
  }
  for (bool bArray : {false, true}) {
    SCOPED_TRACE(bArray ? "empty translation array" : "no translation array");
    BlockSpec spec;
    spec.tables = {Tagged("040904B0")};
    spec.bTranslations = bArray;
    TempFile file(PeFile(VersionBlock(spec), true));
    CFileVersionInfo info;
    EXPECT_TRUE(info.Create(file.Path()));
    EXPECT_EQ(info.GetFileVersion(1), 3);
    EXPECT_EQ(info.GetCompanyName(), "");
  }
  {
    SCOPED_TRACE("translation without a string table");
    BlockSpec spec;
    spec.translations = {{0x0409, 1200}};
    TempFile file(PeFile(VersionBlock(spec), true));
    CFileVersionInfo info;
    EXPECT_TRUE(info.Create(file.Path()));
    EXPECT_EQ(info.GetCompanyName(), "");
  }
}

TEST(FileVersionInfo, FailureLeavesTheResetState) {
  BlockSpec spec;
  spec.tables = {Tagged("040904B0")};
  spec.translations = {{0x0409, 1200}};
  TempFile good(PeFile(VersionBlock(spec), true));
  TempFile text(Bytes{'h', 'e', 'l', 'l', 'o'});
  Bytes noRsrc = PeFile(VersionBlock(spec), true, false);
  noRsrc[0x80 + 24 + 112 + 16] = 0;  // resource directory RVA
  noRsrc[0x80 + 24 + 112 + 17] = 0;
  TempFile peWithout(noRsrc);
  // A FIFO nobody writes to: refused at once, not waited on.
  const std::string fifo = std::string(peWithout.Path()) + ".fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::unique_ptr<const char, void (*)(const char*)> removeFifo(fifo.c_str(), [](const char* p) { unlink(p); });
  for (const char* path : {text.Path(), peWithout.Path(), "/nonexistent/file.exe", "", "/tmp", fifo.c_str()}) {
    SCOPED_TRACE(path);
    CFileVersionInfo info;
    ASSERT_TRUE(info.Create(good.Path()));
    ASSERT_EQ(info.GetCompanyName(), "co-040904B0");
    EXPECT_FALSE(info.Create(path));
    EXPECT_EQ(info.GetCompanyName(), "");
    EXPECT_EQ(info.GetFileVersion(1), 0);
    EXPECT_EQ(info.GetFixedFileInfo().dwSignature, 0u);
  }
  EXPECT_EQ(plat::VersionInfoSize(text.Path()), 0u);
}

TEST(FileVersionInfo, ElfInBothWidthsAndByteOrders) {
  BlockSpec spec;
  spec.dwFileMS = 0x00020005;
  spec.dwFileLS = 0x00070009;
  spec.tables = {Tagged("040904B0")};
  spec.translations = {{0x0409, 1200}};
  const Bytes block = VersionBlock(spec);
  for (bool b64 : {false, true}) {
    for (bool bBig : {false, true}) {
      SCOPED_TRACE(std::string(b64 ? "ELF64 " : "ELF32 ") + (bBig ? "big-endian" : "little-endian"));
      TempFile file(ElfFile(block, b64, bBig));
      Bytes got;
      ASSERT_TRUE(plat::ReadVersionResource(file.Path(), &got));
      EXPECT_EQ(got, block);
      CFileVersionInfo info;
      ASSERT_TRUE(info.Create(file.Path()));
      EXPECT_EQ(info.GetFileVersion(3), 2);
      EXPECT_EQ(info.GetFileVersion(2), 5);
      EXPECT_EQ(info.GetFileVersion(1), 7);
      EXPECT_EQ(info.GetFileVersion(0), 9);
    }
  }
}

// The build embeds the project's version into this very test program.
TEST(FileVersionInfo, ReadsTheRunningExecutable) {
  CFileVersionInfo info;
  ASSERT_TRUE(info.Create());
  EXPECT_EQ(info.GetFileVersion(3), READERTOOL_VERSION_MAJOR);
  EXPECT_EQ(info.GetFileVersion(2), READERTOOL_VERSION_MINOR / 10);
  EXPECT_EQ(info.GetFileVersion(1), READERTOOL_VERSION_MINOR % 10);
  EXPECT_EQ(info.GetFileVersion(0), READERTOOL_VERSION_PATCH);
  EXPECT_EQ(info.GetFixedFileInfo().dwSignature, plat::kFixedFileInfoSignature);
  EXPECT_EQ(info.GetProductName(), "readertool");
  EXPECT_EQ(info.GetInternalName(), "test_version_info");
  EXPECT_EQ(info.GetFileVersionText(), std::to_string(READERTOOL_VERSION_MAJOR) + "." +
                                           std::to_string(READERTOOL_VERSION_MINOR) + "." +
                                           std::to_string(READERTOOL_VERSION_PATCH));
}

TEST(FileVersionInfo, ModuleFileNames) {
  const std::string self = plat::ModuleFileName(nullptr);
  ASSERT_FALSE(self.empty());
  EXPECT_NE(self.find("test_version_info"), std::string::npos);
  // An address inside the program is the program; inside libc, libc.
  EXPECT_EQ(plat::ModuleFileName(reinterpret_cast<plat::ModuleHandle>(&plat::ModuleFileName)), self);
  const void* pLibcFunction = dlsym(RTLD_DEFAULT, "gnu_get_libc_version");
  ASSERT_NE(pLibcFunction, nullptr);
  const std::string libc = plat::ModuleFileName(pLibcFunction);
  EXPECT_NE(libc.find("libc"), std::string::npos) << libc;
  EXPECT_NE(libc, self);
  // A shared library carries no version block of ours.
  CFileVersionInfo info;
  EXPECT_FALSE(info.Create(pLibcFunction));
  EXPECT_EQ(plat::ModuleFileName(reinterpret_cast<plat::ModuleHandle>(std::uintptr_t{16})), "");
}

TEST(VerQueryValue, PathsAndKeys) {
  BlockSpec spec;
  spec.tables = {EnglishTable()};
  spec.translations = {{0x0409, 1200}, {0x0407, 1252}};
  const Bytes b = VersionBlock(spec);
  const BYTE* p = nullptr;
  DWORD n = 0;
  ASSERT_TRUE(plat::QueryVersionValue(b.data(), b.size(), "\\", &p, &n));
  EXPECT_EQ(n, 52u);
  EXPECT_EQ(p[0], 0xBD);
  ASSERT_TRUE(plat::QueryVersionValue(b.data(), b.size(), "\\VarFileInfo\\Translation", &p, &n));
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(Bytes(p, p + n), (Bytes{0x09, 0x04, 0xB0, 0x04, 0x07, 0x04, 0xE4, 0x04}));
  std::string s;
  struct {
    const char* path;
    bool found;
    const char* text;
  } const cases[] = {
      {"\\StringFileInfo\\040904B0\\ProductName", true, "TAV"},
      {"\\stringfileinfo\\040904b0\\PRODUCTNAME", true, "TAV"},
      {"StringFileInfo\\040904B0\\ProductName\\", true, "TAV"},
      {"\\StringFileInfo\\040904B0\\ProductNam", false, ""},
      {"\\StringFileInfo\\040904B0\\ProductNameX", false, ""},
      {"\\StringFileInfo\\040704E4\\ProductName", false, ""},
      {"\\StringFileInfo\\040904B0\\ProductName\\More", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    s = "unchanged";
    EXPECT_EQ(plat::VerQueryString(b.data(), b.size(), c.path, &s), c.found);
    EXPECT_EQ(s, c.found ? c.text : "unchanged");
  }
  EXPECT_FALSE(plat::QueryVersionValue(nullptr, 100, "\\", &p, &n));
  EXPECT_FALSE(plat::QueryVersionValue(b.data(), 5, "\\", &p, &n));
}

TEST(Utf16LeToNarrow, ConvertsToUtf8) {
  const Bytes pair = {0x3D, 0xD8, 0x00, 0xDE};                    // U+1F600
  const Bytes lone = {0x41, 0x00, 0x00, 0xD8, 0x42, 0x00};        // A, lone high surrogate, B
  const Bytes stops = {0x41, 0x00, 0x00, 0x00, 0x42, 0x00};       // A NUL B
  const Bytes odd = {0x41, 0x00, 0x42};                           // half a unit at the end
  EXPECT_EQ(plat::Utf16LeToNarrow(pair.data(), pair.size()), "\xF0\x9F\x98\x80");
  EXPECT_EQ(plat::Utf16LeToNarrow(lone.data(), lone.size()), "A\xEF\xBF\xBD" "B");
  EXPECT_EQ(plat::Utf16LeToNarrow(stops.data(), stops.size()), "A");
  EXPECT_EQ(plat::Utf16LeToNarrow(odd.data(), odd.size()), "A");
  EXPECT_EQ(plat::Utf16LeToNarrow(nullptr, 4), "");
}

TEST(Locale, LanguageIdentifiers) {
  const struct {
    const char* locale;
    WORD id;
  } cases[] = {
      {"de_DE.UTF-8", 0x0407}, {"de_AT", 0x0C07},         {"de", 0x0407},     {"de_XX.UTF-8", 0x0407},
      {"en_US.UTF-8", 0x0409}, {"en_GB.ISO-8859-1", 0x0809}, {"fr_FR@euro", 0x040C}, {"fr_CA", 0x0C0C},
      {"es_ES", 0x0C0A},       {"pt_BR", 0x0416},         {"zh_TW.UTF-8", 0x0404}, {"ja_JP.eucJP", 0x0411},
      {"C", 0x0409},           {"C.UTF-8", 0x0409},       {"POSIX", 0x0409},  {"xx_YY", 0x0409},
      {"", 0x0409},            {"d", 0x0409},             {"deu_DE", 0x0409}, {"DE_de", 0x0407},
  };
  for (const auto& c : cases) EXPECT_EQ(plat::LangIdFromLocaleName(c.locale), c.id) << c.locale;
  EXPECT_EQ(plat::LangIdFromLocaleName(nullptr), 0x0409);
}

TEST(Locale, VariablesInOrder) {
  ScopedLocale none(nullptr);
  EXPECT_EQ(plat::UserDefaultLangId(), 0x0409);
  setenv("LANG", "fr_FR.UTF-8", 1);
  EXPECT_EQ(plat::UserDefaultLangId(), 0x040C);
  setenv("LC_MESSAGES", "de_DE.UTF-8", 1);
  EXPECT_EQ(plat::UserDefaultLangId(), 0x0407);
  setenv("LC_ALL", "", 1);  // empty counts as unset
  EXPECT_EQ(plat::UserDefaultLangId(), 0x0407);
  setenv("LC_ALL", "ja_JP.UTF-8", 1);
  EXPECT_EQ(plat::UserDefaultLangId(), 0x0411);
}

// Every truncation and every single-bit change of a good file must either
// parse or fail, inside the buffer (AddressSanitizer watches the exact-size
// heap copies).
TEST(VersionResourceHostileInput, TruncationsAndBitFlips) {
  BlockSpec spec;
  spec.tables = {EnglishTable()};
  spec.translations = {{0x0409, 1200}};
  const Bytes block = VersionBlock(spec);
  const Bytes images[] = {PeFile(block, false), PeFile(block, true), ElfFile(block, true, false),
                          ElfFile(block, false, true)};
  auto probe = [](const Bytes& image) {
    std::unique_ptr<BYTE[]> copy(new BYTE[image.size() ? image.size() : 1]);
    if (!image.empty()) std::memcpy(copy.get(), image.data(), image.size());
    Bytes out;
    if (plat::ExtractVersionResource(copy.get(), image.size(), &out)) {
      std::string s;
      plat::VerQueryString(out.data(), out.size(), "\\StringFileInfo\\040904B0\\Comments", &s);
      const BYTE* p = nullptr;
      DWORD n = 0;
      if (plat::QueryVersionValue(out.data(), out.size(), "\\VarFileInfo\\Translation", &p, &n)) {
        EXPECT_GE(p, out.data());
        EXPECT_LE(p + n, out.data() + out.size());
      }
    }
    // The block parser on its own, over the raw bytes.
    std::string s;
    plat::VerQueryString(copy.get(), image.size(), "\\StringFileInfo\\040904B0\\CompanyName", &s);
  };
  for (const Bytes& image : images) {
    Bytes out;
    ASSERT_TRUE(plat::ExtractVersionResource(image.data(), image.size(), &out));
    for (std::size_t n = 0; n < image.size(); n += (n < 1024 ? 1 : 7)) probe(Bytes(image.begin(), image.begin() + n));
    for (std::size_t i = 0; i < image.size(); ++i) {
      if (image[i] == 0 && i % 5) continue;  // the zero fill matters less; sample it
      for (int bit : {0, 3, 7}) {
        Bytes m = image;
        m[i] ^= static_cast<BYTE>(1 << bit);
        probe(m);
      }
    }
  }
  // The block parser on every truncation of the block itself.
  for (std::size_t n = 0; n <= block.size(); ++n) probe(Bytes(block.begin(), block.begin() + n));
}

TEST(VersionResourceHostileInput, LoopsAndHugeCountsEnd) {
  BlockSpec spec;
  spec.tables = {Tagged("040904B0")};
  spec.translations = {{0x0409, 1200}};
  const Bytes block = VersionBlock(spec);
  Bytes out;
  {
    SCOPED_TRACE("resource directory pointing at itself");
    Bytes pe = PeFile(block, true);
    // root entry 0 (the icon type) -> subdirectory at offset 0, the root
    const std::size_t root = 0x600;
    Put32(pe, root + 16 + 4, 0x80000000u);
    Put32(pe, root + 16 + 8 + 4, 0x80000000u);
    EXPECT_FALSE(plat::ExtractVersionResource(pe.data(), pe.size(), &out));
  }
  {
    SCOPED_TRACE("65535 sections and entries, none of them the version type");
    Bytes pe = PeFile(block, true);
    Put32(pe, 0x600 + 16 + 8, 17);
    Put16(pe, 0x80 + 4 + 2, 0xFFFF);
    Put16(pe, 0x600 + 12, 0xFFFF);
    Put16(pe, 0x600 + 14, 0xFFFF);
    EXPECT_FALSE(plat::ExtractVersionResource(pe.data(), pe.size(), &out));
  }
  {
    SCOPED_TRACE("ELF with a section table beyond the file and extended numbering");
    Bytes elf = ElfFile(block, true, false);
    Bytes far = elf;
    Put32(far, 0x28, 0xFFFFFFF0u);
    Put32(far, 0x2C, 0xFFFFFFFFu);
    EXPECT_FALSE(plat::ExtractVersionResource(far.data(), far.size(), &out));
    Bytes ext = elf;
    Put16(ext, 0x3C, 0);       // count in section 0's size
    Put16(ext, 0x3E, 0xFFFF);  // name table index in section 0's link
    std::uint64_t shoff = 0;
    std::memcpy(&shoff, &ext[0x28], 8);
    Put32(ext, shoff + 32, 0xFFFFFFFFu);  // absurd count
    Put32(ext, shoff + 36, 0xFFFFFFFFu);
    Put32(ext, shoff + 40, 3);
    EXPECT_TRUE(plat::ExtractVersionResource(ext.data(), ext.size(), &out));
    EXPECT_EQ(out, block);
  }
  {
    SCOPED_TRACE("child nodes claiming more than their parent");
    Bytes b = block;
    // First child of the root (StringFileInfo) starts after the 52-byte value.
    Put16(b, 40 + 52, 0xFFFF);
    std::string s;
    EXPECT_FALSE(plat::VerQueryString(b.data(), b.size(), "\\StringFileInfo\\040904B0\\CompanyName\\x", &s));
    Bytes zero = block;
    Put16(zero, 40 + 52, 0);  // a zero-length child ends the walk
    EXPECT_FALSE(plat::VerQueryString(zero.data(), zero.size(), "\\VarFileInfo\\Translation", &s));
  }
}

// A DLL that Debian ships, read here and by icoutils' wrestool: the same
// bytes, and the file version as the fixed information holds it.
TEST(VersionResourceRealFiles, MatchesWrestool) {
  const char* kDll = "/usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll";
  if (access(kDll, R_OK) != 0 || access("/usr/bin/wrestool", X_OK) != 0)
    GTEST_SKIP() << "needs mingw-w64-x86-64-dev and icoutils";
  Bytes expected;
  FILE* pipe = popen((std::string("/usr/bin/wrestool -x --raw -t 16 ") + kDll).c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  for (int c; (c = fgetc(pipe)) != EOF;) expected.push_back(static_cast<BYTE>(c));
  ASSERT_EQ(pclose(pipe), 0);
  Bytes got;
  ASSERT_TRUE(plat::ReadVersionResource(kDll, &got));
  ASSERT_GE(expected.size(), got.size());
  EXPECT_EQ(got, Bytes(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(got.size())));
  // dwFileVersionMS and LS sit after the 6-byte header, the 32-byte key
  // "VS_VERSION_INFO" with its NUL and the padding (offset 40), 8 bytes on.
  ASSERT_GE(expected.size(), 56u);
  auto word = [&](std::size_t at) { return static_cast<WORD>(expected[at] | expected[at + 1] << 8); };
  CFileVersionInfo info;
  ASSERT_TRUE(info.Create(kDll));
  EXPECT_EQ(info.GetFileVersion(3), word(50));
  EXPECT_EQ(info.GetFileVersion(2), word(48));
  EXPECT_EQ(info.GetFileVersion(1), word(54));
  EXPECT_EQ(info.GetFileVersion(0), word(52));
  EXPECT_FALSE(info.GetCompanyName().empty());
  EXPECT_FALSE(info.GetOriginalFileName().empty());  // stored as "OriginalFilename"
}

// Writes the fuzz seed corpus; run by hand with
//   test_version_info --gtest_also_run_disabled_tests --gtest_filter='*WriteFuzzSeeds'
TEST(VersionResourceSeeds, DISABLED_WriteFuzzSeeds) {
  BlockSpec spec;
  spec.tables = {EnglishTable(), Tagged("040704E4")};
  spec.translations = {{0x0409, 1200}, {0x0407, 1252}};
  const Bytes block = VersionBlock(spec);
  const std::string dir = std::string(READERTOOL_SOURCE_DIR) + "/fuzz/corpus/fuzz_version_resource/";
  const std::pair<const char*, Bytes> seeds[] = {
      {"pe32plus.bin", PeFile(block, true)},
      {"pe32.bin", PeFile(block, false, false)},
      {"elf64le.bin", ElfFile(block, true, false)},
      {"elf32be.bin", ElfFile(block, false, true)},
      {"block.bin", block},
  };
  for (const auto& [name, bytes] : seeds) {
    std::ofstream(dir + name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                        static_cast<std::streamsize>(bytes.size()));
  }
}

}  // namespace
