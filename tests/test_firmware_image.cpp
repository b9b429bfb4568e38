// The file the operator picks: the file choice and whole-file read, the
// name shown in the log, the image rules, and loading an image into body,
// checksum and trailer, with the operator's log and message box.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/model/samples.h"
#include "support/recording_view.h"
#include "ui/main_dialog.h"
#include "ui/status_texts.h"
#include "update/firmware_image.h"

namespace {

const std::string kCrLf = "\r\n";
const std::string kWrongImage =
    "[Err] Please select correct Download Image File\r\n (*.bin; Size:280K~350K) for KORAMI Reader";

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/fwimage_testXXXXXX";
    if (mkdtemp(tmpl)) m_path = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  const std::string& Path() const { return m_path; }
  std::string Write(const std::string& name, const std::vector<BYTE>& data) const {
    const std::string path = m_path + "/" + name;
    std::string err;
    // An empty vector's data() may be null, which fwrite must not get.
    EXPECT_TRUE(WriteWholeFile(path, data.empty() ? "" : static_cast<const void*>(data.data()), data.size(), &err))
        << err;
    return path;
  }

 private:
  std::string m_path;
};

class FileChoiceTest : public ::testing::Test {
 protected:
  FileChoiceTest() { m_dlg.AttachView(&m_view); }
  ~FileChoiceTest() override { m_dlg.AttachView(nullptr); }

  RecordingView m_view;
  CTAVDownloadApDlg m_dlg;
  TempDir m_dir;
};

TEST(GetFileNamePart, FindsTheNameAfterTheSeparatorBeforeTheLastDot) {
  struct Row {
    const char* path;
    const char* want;  // null: no name part
  } rows[] = {
      {"D:\\fw\\app.rel.bin", "app.rel.bin"},
      {"image.bin", "image.bin"},
      {"D:\\fw.d\\image", "fw.d\\image"},  // the last dot is in a folder name
      {"/home/op/fw/app.rel.bin", "app.rel.bin"},
      {"/home/op/fw.d/image", "fw.d/image"},
      {"C:/mixed\\dir/name.bin", "name.bin"},
      {"/tmp/noext", nullptr},
      {"", nullptr},
      {".bin", ".bin"},
      {"/.hidden", ".hidden"},
      {"dir/trailing.", "trailing."},
      {nullptr, nullptr},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.path ? r.path : "(null)");
    const char* got = GetFileNamePart(r.path);
    if (!r.want) {
      EXPECT_EQ(got, nullptr);
    } else {
      ASSERT_NE(got, nullptr);
      EXPECT_STREQ(got, r.want);
      // A pointer into the path, not a copy.
      EXPECT_GE(got, r.path);
      EXPECT_LT(got, r.path + std::strlen(r.path));
    }
  }
}

TEST(GetLastFile, WholePathOrThePartAfterTheLastSeparator) {
  struct Row {
    const char* path;
    const char* name;
  } rows[] = {
      {"", ""},
      {"D:\\fw\\image.bin", "image.bin"},
      {"/tmp/fw/image.bin", "image.bin"},
      {"image.bin", "image.bin"},
      {"/tmp/fw.d/image", "image"},
      {"/tmp/dir/", ""},
  };
  CTAVDownloadApDlg dlg;
  EXPECT_EQ(dlg.GetLastFile(false), "");
  for (const auto& r : rows) {
    SCOPED_TRACE(r.path);
    dlg.m_strLastFile = r.path;
    EXPECT_EQ(dlg.GetLastFile(false), r.path);
    EXPECT_EQ(dlg.GetLastFile(true), r.name);
  }
}

TEST(IsValidImageFile, NameAndSizeRules) {
  const BYTE data[1] = {0};
  struct Row {
    const char* path;
    const BYTE* data;
    int len;
    bool want;
  } rows[] = {
      {"fw.bin", data, 286719, false},
      {"fw.bin", data, 286720, true},  // in the window; refused later as a multiple of 4096
      {"fw.bin", data, 300000, true},
      {"fw.bin", data, 358400, true},
      {"fw.bin", data, 358401, false},
      {"fw.bin", data, 0, false},
      {"fw.bin", data, -1, false},
      {"fw.bin", data, INT_MIN, false},
      {"fw.bin", data, INT_MAX, false},
      {"FIRMWARE.BIN", data, 300000, true},
      {"/tmp/x/Fw.BiN", data, 300000, true},
      {"a.bin", data, 300000, true},
      {".bin", data, 300000, false},  // shorter than five characters
      {"firmware.bin.txt", data, 300000, false},
      {"firmware.bin ", data, 300000, false},
      {"firmwarebin", data, 300000, false},
      {nullptr, data, 300000, false},
      {"fw.bin", nullptr, 300000, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.path ? r.path : "(null)") + " " + std::to_string(r.len));
    EXPECT_EQ(IsValidImageFile(r.path, r.data, r.len), r.want);
  }
}

TEST_F(FileChoiceTest, ReadsTheWholeFileFollowedByAZeroByte) {
  const std::vector<BYTE> content = {'S', 'E', 'N', 'D', ':', 0x01, 0xFF};
  const std::string path = m_dir.Write("update_rs232.txt", content);
  m_view.QueueFileChoice(path);
  int nLen = -5;
  char szPath[kFilePathCap + 1];
  std::memset(szPath, 'x', sizeof szPath);
  auto data = SelectAndReadFile(&m_dlg, &nLen, "Text Script File (*.txt)|*.txt||", szPath, kFilePathCap);
  ASSERT_TRUE(data);
  EXPECT_EQ(nLen, 7);
  EXPECT_EQ(std::vector<BYTE>(data.get(), data.get() + 7), content);
  EXPECT_EQ(data[7], 0);
  EXPECT_STREQ(szPath, path.c_str());
  EXPECT_EQ(m_dlg.m_strLastFile, path);
  EXPECT_EQ(m_view.FileFilters(), std::vector<std::string>{"Text Script File (*.txt)|*.txt||"});
  EXPECT_EQ(m_view.LogText(), "Opening File.....\r\nupdate_rs232.txt\r\n");
}

TEST_F(FileChoiceTest, EmptyFileGivesOneZeroByte) {
  const std::string path = m_dir.Write("empty.bin", {});
  m_view.QueueFileChoice(path);
  int nLen = -5;
  char szPath[kFilePathCap + 1];
  auto data = SelectAndReadFile(&m_dlg, &nLen, kImageFileFilter, szPath, kFilePathCap);
  ASSERT_TRUE(data);
  EXPECT_EQ(nLen, 0);
  EXPECT_EQ(data[0], 0);
}

TEST_F(FileChoiceTest, CancelledChoiceReadsNothing) {
  int nLen = -5;
  char szPath[kFilePathCap + 1] = "untouched";
  m_dlg.m_strLastFile = "/earlier/choice.bin";
  EXPECT_FALSE(SelectAndReadFile(&m_dlg, &nLen, kImageFileFilter, szPath, kFilePathCap));
  EXPECT_EQ(nLen, 0);
  EXPECT_STREQ(szPath, "untouched");
  EXPECT_EQ(m_dlg.m_strLastFile, "/earlier/choice.bin");
  EXPECT_EQ(m_view.LogText(), "[Err] Open file fail.\r\n");
}

TEST_F(FileChoiceTest, PathWithoutADotShowsNoMsgAndIsStillRead) {
  const std::string path = m_dir.Write("firmware", {1, 2, 3});
  m_view.QueueFileChoice(path);
  int nLen = 0;
  char szPath[kFilePathCap + 1];
  auto data = SelectAndReadFile(&m_dlg, &nLen, kImageFileFilter, szPath, kFilePathCap);
  ASSERT_TRUE(data);
  EXPECT_EQ(nLen, 3);
  // The temporary folder's name has no dot either.
  ASSERT_EQ(m_dir.Path().find('.'), std::string::npos);
  EXPECT_EQ(m_view.LogText(), "Opening File.....\r\nNo Msg\r\n");
}

TEST_F(FileChoiceTest, ALongPathIsCutInTheCopyButReadWhole) {
  const std::string dir = m_dir.Path() + "/" + std::string(40, 'd');
  ASSERT_TRUE(std::filesystem::create_directory(dir));
  const std::string path = dir + "/image.bin";
  std::string err;
  ASSERT_TRUE(WriteWholeFile(path, "abc", 3, &err));
  m_view.QueueFileChoice(path);
  int nLen = 0;
  char szPath[21];
  std::memset(szPath, 'x', sizeof szPath);
  auto data = SelectAndReadFile(&m_dlg, &nLen, kImageFileFilter, szPath, 20);
  ASSERT_TRUE(data);
  EXPECT_EQ(nLen, 3);
  EXPECT_EQ(std::string(szPath), path.substr(0, 20));
  EXPECT_EQ(m_dlg.m_strLastFile, path);
  // The shortened copy holds no dot: the name part falls back to "No Msg".
  EXPECT_EQ(m_view.LogText(), "Opening File.....\r\nNo Msg\r\n");
}

// Whatever cannot be read whole ends in "[Err] Read file fail.", never in a
// hang (a FIFO with no writer) or a giant allocation.
TEST_F(FileChoiceTest, WhatCannotBeReadIsReportedAsSuch) {
  const std::string base = m_dir.Path();
  ASSERT_EQ(mkfifo((base + "/pipe.bin").c_str(), 0600), 0);
  ASSERT_TRUE(std::filesystem::create_directory(base + "/folder.bin"));
  ASSERT_EQ(symlink((base + "/gone.bin").c_str(), (base + "/dangling.bin").c_str()), 0);
  // A sparse file one byte over the limit: no disk space, but too large.
  {
    const std::string big = base + "/huge.bin";
    ASSERT_TRUE(WriteWholeFile(big, "", 0, nullptr));
    ASSERT_EQ(truncate(big.c_str(), kMaxReadFileSize + 1), 0);
  }
  for (const char* name : {"missing.bin", "pipe.bin", "folder.bin", "dangling.bin", "huge.bin"}) {
    SCOPED_TRACE(name);
    m_view.QueueFileChoice(base + "/" + name);
    m_dlg.m_strLog.clear();
    int nLen = -5;
    char szPath[kFilePathCap + 1];
    EXPECT_FALSE(SelectAndReadFile(&m_dlg, &nLen, kImageFileFilter, szPath, kFilePathCap));
    EXPECT_EQ(nLen, 0);
    EXPECT_EQ(m_view.LogText(), "Opening File.....\r\n" + std::string(name) + "\r\n[Err] Read file fail.\r\n");
  }
  // Exactly at the limit is read.
  const std::string atLimit = base + "/limit.bin";
  ASSERT_TRUE(WriteWholeFile(atLimit, "", 0, nullptr));
  ASSERT_EQ(truncate(atLimit.c_str(), kMaxReadFileSize), 0);
  m_view.QueueFileChoice(atLimit);
  int nLen = 0;
  char szPath[kFilePathCap + 1];
  auto data = SelectAndReadFile(&m_dlg, &nLen, kImageFileFilter, szPath, kFilePathCap);
  ASSERT_TRUE(data);
  EXPECT_EQ(nLen, kMaxReadFileSize);
  EXPECT_EQ(data[kMaxReadFileSize], 0);
}

TEST_F(FileChoiceTest, NoViewOrNoWindowIsACancelledChoice) {
  int nLen = -5;
  char szPath[kFilePathCap + 1];
  EXPECT_FALSE(SelectAndReadFile(nullptr, &nLen, kImageFileFilter, szPath, kFilePathCap));
  EXPECT_EQ(nLen, 0);
  CTAVDownloadApDlg detached;
  EXPECT_FALSE(SelectAndReadFile(&detached, &nLen, kImageFileFilter, szPath, kFilePathCap));
  EXPECT_EQ(detached.m_strLog, "[Err] Open file fail.\r\n");
}

// ---- LoadFirmwareImage ----

std::vector<BYTE> Pattern(std::size_t n) {
  std::vector<BYTE> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<BYTE>(i * 7 + (i >> 8));
  return v;
}

struct Loaded {
  bool ok = false;
  std::unique_ptr<BYTE[]> data;
  int nLen = -1;
  DWORD dwSum = 0;
  BYTE trailer[256] = {};
};

class LoadImageTest : public FileChoiceTest {
 protected:
  Loaded Load(const std::string& name, const std::vector<BYTE>& content) {
    m_view.QueueFileChoice(m_dir.Write(name, content));
    Loaded r;
    std::memset(r.trailer, 0xEE, sizeof r.trailer);
    r.ok = LoadFirmwareImage(&m_dlg, &r.data, &r.nLen, &r.dwSum, r.trailer);
    return r;
  }
};

TEST_F(LoadImageTest, RefusedSizesAndNamesShowTheBoxAndTheSize) {
  struct Row {
    const char* name;
    std::size_t size;
    const char* sizeLine;
  } rows[] = {
      {"small.bin", 286719, "Selected Image Size = 279K (286719 bytes)"},
      {"large.bin", 358401, "Selected Image Size = 350K (358401 bytes)"},
      {"empty.bin", 0, "Selected Image Size = 0K (0 bytes)"},
      {"firmware.bin.txt", 300000, "Selected Image Size = 292K (300000 bytes)"},
      {"firmware", 300000, "Selected Image Size = 292K (300000 bytes)"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    m_dlg.m_strLog.clear();
    m_view.ClearCalls();
    Loaded got = Load(r.name, Pattern(r.size));
    EXPECT_FALSE(got.ok);
    EXPECT_FALSE(got.data);
    const char* shown = GetFileNamePart(r.name) ? r.name : "No Msg";
    EXPECT_EQ(m_view.LogText(),
              "Opening File.....\r\n" + std::string(shown) + kCrLf + kWrongImage + kCrLf + r.sizeLine + kCrLf);
    const auto boxes = m_view.MessageBoxes();
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back().strText, kWrongImage);
    // The box comes first; the log lines follow once it is closed.
    const auto calls = m_view.CallTexts();
    std::size_t box = 0, lastLog = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
      if (calls[i].rfind("MessageBox(", 0) == 0) box = i;
      if (calls[i].rfind("SetLogText(", 0) == 0) lastLog = i;
    }
    EXPECT_LT(box, lastLog);
  }
  EXPECT_EQ(m_view.MessageBoxes().size(), std::size(rows));
}

TEST_F(LoadImageTest, AMultipleOf4096IsRefusedAfterItsLengthLine) {
  Loaded got = Load("fw.bin", std::vector<BYTE>(286720, 0x01));
  EXPECT_FALSE(got.ok);
  EXPECT_FALSE(got.data);
  EXPECT_TRUE(m_view.MessageBoxes().empty());
  EXPECT_EQ(m_view.LogText(),
            "Opening File.....\r\nfw.bin\r\nFile Len = 00046000, Check sum [Total File] : 00046000\r\n");
}

TEST_F(LoadImageTest, AcceptedImagesAreSplitIntoBodyAndTrailer) {
  struct Row {
    const char* name;
    std::vector<BYTE> content;
    const char* line;
  } rows[] = {
      {"fw.bin", std::vector<BYTE>(300000, 0xFF), "File Len = 000493E0, Check sum [Total File] : 048F4C20"},
      {"FIRMWARE.BIN", Pattern(358400), nullptr},
      {"min.bin", Pattern(286721), nullptr},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    m_dlg.m_strLog.clear();
    Loaded got = Load(r.name, r.content);
    ASSERT_TRUE(got.ok);
    ASSERT_TRUE(got.data);
    const std::size_t S = r.content.size();
    EXPECT_EQ(got.nLen, static_cast<int>(S) - 256);
    DWORD sum = 0;
    for (BYTE b : r.content) sum += b;
    EXPECT_EQ(got.dwSum, sum);
    EXPECT_EQ(std::vector<BYTE>(got.data.get(), got.data.get() + S), r.content);
    EXPECT_EQ(got.data[S], 0);
    EXPECT_EQ(std::vector<BYTE>(got.trailer, got.trailer + 256),
              std::vector<BYTE>(r.content.end() - 256, r.content.end()));
    char line[96];
    std::snprintf(line, sizeof line, "File Len = %08X, Check sum [Total File] : %08X", static_cast<unsigned>(S),
                  static_cast<unsigned>(sum));
    if (r.line) {
      EXPECT_STREQ(line, r.line);
    }
    EXPECT_EQ(m_view.LogText(), "Opening File.....\r\n" + std::string(r.name) + kCrLf + line + kCrLf);
  }
  EXPECT_TRUE(m_view.MessageBoxes().empty());
}

TEST_F(LoadImageTest, TheChecksumWrapsAt32Bits) {
  const BYTE ff[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(ImageChecksum(ff, 4), 0x3FCu);
  EXPECT_EQ(ImageChecksum(nullptr, 0), 0u);
  // 16,843,010 bytes of 0xFF sum to 0x1_0000_00FE.
  std::vector<BYTE> big(16843010, 0xFF);
  EXPECT_EQ(ImageChecksum(big.data(), big.size()), 0xFEu);
}

TEST_F(LoadImageTest, NothingIsHandedOutOnFailure) {
  Loaded got;
  got.data.reset(new BYTE[4]);
  // Cancelled choice.
  EXPECT_FALSE(LoadFirmwareImage(&m_dlg, &got.data, &got.nLen, &got.dwSum, got.trailer));
  EXPECT_FALSE(got.data);
  EXPECT_EQ(m_view.LogText(), "[Err] Open file fail.\r\n");
  // Missing arguments: nothing asked, nothing logged.
  m_view.ClearCalls();
  EXPECT_FALSE(LoadFirmwareImage(nullptr, &got.data, &got.nLen, &got.dwSum, got.trailer));
  EXPECT_FALSE(LoadFirmwareImage(&m_dlg, &got.data, &got.nLen, &got.dwSum, nullptr));
  EXPECT_TRUE(m_view.CallTexts().empty());
}

}  // namespace
