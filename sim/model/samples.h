// Sample files for the simulated reader, made by a command and never by
// hand: a firmware image whose trailer follows the simulated bootloader's
// verification rule (image_rule.h), and the two text scripts that carry the
// same update ("#RS232 version" and "#USBHID version").
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

constexpr std::size_t kSimImageMin = 286721;  // smallest accepted: 286,720 is 70 * 4096
constexpr std::size_t kSimImageMax = 358400;
constexpr std::size_t kSimDefaultImageSize = 300000;
constexpr char kSimDefaultModel[] = "Reader model: SR-1 simulated reader, 1 MB flash";

constexpr char kSimSampleImage[] = "firmware.bin";
constexpr char kSimSampleRs232Script[] = "update_rs232.txt";
constexpr char kSimSampleUsbHidScript[] = "update_usbhid.txt";

enum class SimScriptKind { Rs232, UsbHid };

// A size the tool takes as a firmware image: inside 286,720-358,400 and not a
// multiple of 4096.
bool IsSimImageSize(std::size_t n);

// An image of nSize bytes: a pseudo-random body (from nSeed) and its trailer.
bool MakeSampleImage(std::size_t nSize, std::uint32_t nSeed, std::vector<BYTE>* pImage, std::string* pErr);
// An image from any bytes taken as the body: padded with 0xFF up to the
// smallest valid size (one byte more when that size is a multiple of 4096),
// then the trailer. Refused when the body is too large for the flash.
bool MakeImageFromBody(const std::vector<BYTE>& body, std::vector<BYTE>* pImage, std::string* pErr);

// The update script of an image (body programmed, trailer verified):
// line 1 the kind's header, line 2 the reader model, then one "SEND:" per
// command in this order — C7-41 enter bootloader, C7-10 bootloader version,
// C7-02 erase, the C7-03 blocks (address k * 2032) with one C7-15 halfway,
// C7-04 verify with the trailer, C7-05 restart — each followed by "SLEEP:"
// or "WAIT:", and "END>" at the end. In an "#USBHID version" script each
// command is the frame cut into tagged 64-byte reports, one report a line.
// Refused (empty result) for an image of an invalid size or a model text that
// holds a line break or a script keyword.
std::string MakeUpdateScript(const std::vector<BYTE>& image, SimScriptKind kind, const std::string& strModel,
                             const std::string& strSource, std::string* pErr);

struct SampleOptions {
  std::size_t nImageSize = kSimDefaultImageSize;
  std::uint32_t nSeed = 1;
  std::string strModel = kSimDefaultModel;
  // When set, the image is made from this file's bytes taken as the body.
  std::string strBodyFile;
};
// Writes firmware.bin, update_rs232.txt and update_usbhid.txt into strDir
// (created when missing).
bool WriteSamples(const std::string& strDir, const SampleOptions& opt, std::string* pErr);

bool ReadWholeFile(const std::string& path, std::vector<BYTE>* pData, std::string* pErr);
bool WriteWholeFile(const std::string& path, const void* p, std::size_t n, std::string* pErr);
