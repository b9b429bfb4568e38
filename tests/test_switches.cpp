// Command-line switches and the known reader list.
#include <gtest/gtest.h>

#include <set>

#include "app/app.h"
#include "app/known_readers.h"
#include "app/rdr_dev_db.h"

namespace {

TEST(Switches, CaseSensitiveSubstringSearch) {
  const struct {
    const char* cmdLine;
    bool bChkLegacy;
    bool bR2Def;
  } cases[] = {
      {"", false, false},
      {"/chklegacy", true, false},
      {"/CHKLEGACY", false, false},
      {"/ChkLegacy", false, false},
      {"/chklegacyX", true, false},
      {"x/chklegacy", true, false},
      {"\"/chklegacy\"", true, false},
      {"-chklegacy chklegacy", false, false},
      {"/R2Def_04F0_NoEncKeys", false, true},
      {"/r2def_04f0_noenckeys", false, false},
      {"/R2Def_04F0_NoEncKeys /chklegacy", true, true},
      {"/chklegacy /R2Def_04F0_NoEncKeys", true, true},
      {"/chklegacy/R2Def_04F0_NoEncKeys", true, true},
      {"file.txt --other /chk legacy", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cmdLine);
    CTAVDownloadApp app;
    app.SetCommandLine(c.cmdLine);
    app.ReadCommandLine();
    EXPECT_EQ(app.m_bChkLegacy, c.bChkLegacy);
    EXPECT_EQ(app.m_bR2DefNoEncKeys, c.bR2Def);
  }
}

TEST(Switches, CommandTextIsTheArgumentsJoinedByBlanks) {
  const char* argv[] = {"/usr/bin/readertool", "/chk", "legacy", "", "/R2Def_04F0_NoEncKeys"};
  EXPECT_EQ(CTAVDownloadApp::JoinCommandLine(5, argv), "/chk legacy  /R2Def_04F0_NoEncKeys");
  EXPECT_EQ(CTAVDownloadApp::JoinCommandLine(1, argv), "");
  EXPECT_EQ(CTAVDownloadApp::JoinCommandLine(0, nullptr), "");
  // A switch split over two arguments is not that switch.
  CTAVDownloadApp app;
  app.SetCommandLine(5, argv);
  app.ReadCommandLine();
  EXPECT_FALSE(app.m_bChkLegacy);
  EXPECT_TRUE(app.m_bR2DefNoEncKeys);
}

TEST(Switches, AccessorsReadTheApplicationObject) {
  EXPECT_FALSE(IsChkLegacy());  // started without arguments
  EXPECT_FALSE(IsR2DefNoEncKeys());
  const char* argv[] = {"readertool", "/R2Def_04F0_NoEncKeys", "/chklegacy"};
  theApp.SetCommandLine(3, argv);
  theApp.ReadCommandLine();
  EXPECT_TRUE(IsChkLegacy());
  EXPECT_TRUE(IsR2DefNoEncKeys());
  theApp.m_bChkLegacy = theApp.m_bR2DefNoEncKeys = false;
  theApp.SetCommandLine("");
}

TEST(KnownReaders, OneVendorThirteenDistinctProducts) {
  std::set<WORD> pids;
  for (const KnownReader& r : g_KnownReaders) {
    EXPECT_EQ(r.wVid, kReaderVendorId);
    pids.insert(r.wPid);
  }
  EXPECT_EQ(pids.size(), kKnownReaderCount);
  EXPECT_STREQ(g_KnownReaders[0].pszModel, "Solvo, 512 kb, Legacy Version");
  EXPECT_STREQ(g_KnownReaders[1].pszModel, "Solvo , 1M");
  EXPECT_STREQ(g_KnownReaders[2].pszModel, "Pelora III , 1M");
  EXPECT_STREQ(g_KnownReaders[4].pszModel, "Pelora 1.5, 1M");
}

TEST(RdrDevDB, GetDevices) {
  CRdrDevDB* pDb = CRdrDevDB::Instance();
  ASSERT_NE(pDb, nullptr);
  EXPECT_EQ(CRdrDevDB::Instance(), pDb);
  const RdrDevItem kPoison{0xDEAD, 0xBEEF};
  const struct {
    const char* name;
    bool bItems;
    int nMax;
    int nResult;
    int nCount;  // -1: untouched
  } cases[] = {
      {"room for 100", true, 100, 0, 13}, {"room for 5", true, 5, 0, 5},   {"exactly 13", true, 13, 0, 13},
      {"room for 1", true, 1, 0, 1},      {"nMax 0", true, 0, -2, -1},     {"nMax negative", true, -3, -2, -1},
      {"null items", false, 100, -1, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RdrDevItem items[101];
    for (RdrDevItem& i : items) i = kPoison;
    int nCount = -1;
    EXPECT_EQ(pDb->GetDevices(c.bItems ? items : nullptr, c.nMax, &nCount), c.nResult);
    EXPECT_EQ(nCount, c.nCount);
    const int nFilled = c.nCount < 0 ? 0 : c.nCount;
    for (int i = 0; i < nFilled; ++i) {
      EXPECT_EQ(items[i].wVid, g_KnownReaders[i].wVid);
      EXPECT_EQ(items[i].wPid, g_KnownReaders[i].wPid);
    }
    // Nothing written past the count.
    EXPECT_EQ(items[nFilled].wVid, kPoison.wVid);
  }
  RdrDevItem items[13];
  EXPECT_EQ(pDb->GetDevices(items, 13, nullptr), 0);  // the count is optional
  EXPECT_EQ(items[12].wPid, g_KnownReaders[12].wPid);
}

TEST(RdrDevDB, DestroyForgetsTheList) {
  CRdrDevDB* pDb = CRdrDevDB::Instance();
  ASSERT_NE(pDb, nullptr);
  CRdrDevDB::Destroy();
  CRdrDevDB::Destroy();  // twice is harmless
  pDb = CRdrDevDB::Instance();
  ASSERT_NE(pDb, nullptr);
  RdrDevItem items[100];
  int nCount = 0;
  EXPECT_EQ(pDb->GetDevices(items, 100, &nCount), 0);
  EXPECT_EQ(nCount, 13);
  CRdrDevDB::Destroy();
}

}  // namespace
