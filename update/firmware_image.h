// The file the operator picks for a run, and what makes a file a firmware
// image: the open-file choice and the whole-file read that the bootloader
// download and the script runner share, the image's name and size rules, its
// byte-sum checksum and its split into the programmed body and the 256-byte
// trailer that goes into the verification command.
//
// Ownership: the buffers handed out here belong to the caller from then on
// (a std::unique_ptr, released once when the caller drops it).
#pragma once
#include <cstddef>
#include <memory>

#include "platform/types.h"

class CTAVDownloadApDlg;

// Image size window, inclusive: 280 KiB to 350 KiB.
constexpr int kImageMinSize = 286720;
constexpr int kImageMaxSize = 358400;
// The image ends in this many bytes of trailer, which are not programmed.
constexpr int kImageTrailerSize = 256;
// An image whose size is a multiple of this is refused.
constexpr int kImageSizeQuantum = 4096;
// Largest file read into memory. Images stop at 350 KiB and scripts are
// text of a few MiB at most; a larger file (or one whose size does not fit
// in memory) is reported as unreadable rather than allocated.
constexpr long long kMaxReadFileSize = 64LL * 1024 * 1024;

// Room that the two callers give the chosen path (plus one for the NUL).
constexpr int kFilePathCap = 512;

constexpr char kImageFileFilter[] = "Binary File (*.bin)|*.bin||";

// The log line before the chosen file's name.
constexpr char kOpeningFileText[] = "Opening File.....";

// Shows the open-file dialog with pszFilter. On OK remembers the full path
// (m_strLastFile), copies at most nPathCap characters of it into pszPath
// (which must have room for nPathCap + 1), logs "Opening File....." and the
// file's name, and reads the whole file. Returns the content followed by one
// zero byte (S + 1 bytes, all zero past the content) and sets *pnFileLen to
// S; returns null with *pnFileLen 0 when the dialog was cancelled ("[Err]
// Open file fail.") or the file could not be read ("[Err] Read file fail.":
// missing, unreadable, not a regular file, or larger than kMaxReadFileSize).
// A FIFO or a device is never opened, so the call cannot block on one.
std::unique_ptr<BYTE[]> SelectAndReadFile(CTAVDownloadApDlg* pDialog, int* pnFileLen, const char* pszFilter,
                                          char* pszPath, int nPathCap);

// Where the file's name begins in pszPath: after the nearest separator
// before the last dot. '\' and '/' both separate (Windows paths and ours).
// The whole path when no separator comes before the last dot; null when the
// path holds no dot at all (or is null). So a dot in a folder name with none
// in the file's name gives "folder.d/name".
const char* GetFileNamePart(const char* pszPath);

// True when the path ends in ".bin" (any case, at least one character before
// it): the image's name rule.
bool HasImageFileName(const char* pszPath);

// True when the path has the image's name (HasImageFileName), the data is
// there and the size lies in 286,720..358,400.
bool IsValidImageFile(const char* pszPath, const BYTE* pData, int nFileLen);

// The unsigned 32-bit byte sum of the whole file.
DWORD ImageChecksum(const BYTE* pData, std::size_t nLen);

// Lets the operator choose an image and loads it. On success *ppData holds
// the whole file plus a zero byte, *pnLen the body length (S - 256),
// *pdwChecksum the byte sum of all S bytes, and pTrailer (256 bytes) a copy
// of the last 256. On failure *ppData is empty; the wrong-image message box
// and the log lines have been shown, except for an image whose size is a
// multiple of 4096, after whose "File Len" line the caller reports.
bool LoadFirmwareImage(CTAVDownloadApDlg* pDialog, std::unique_ptr<BYTE[]>* ppData, int* pnLen, DWORD* pdwChecksum,
                       BYTE* pTrailer);
