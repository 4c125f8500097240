// The multimedia subset Telvane uses: RIFF file I/O (mmio*) and the structures, constants and
// results of wave output, with the published names.
//
// On Windows the system's header is used. Elsewhere this file declares the same interface,
// implemented by our own multimedia file reader (platform/posix/). The wave output requests
// themselves are the program's own on both systems (platform/wave_out.h): they post their
// notifications (MM_WOM_OPEN, MM_WOM_DONE, MM_WOM_CLOSE) to a MessageWindow of the thread
// that opened the device: pass MessageWindow::Handle() as the callback with CALLBACK_WINDOW.
#pragma once

#ifdef _WIN32
#include <windows.h>
// clang-format off
#include <mmsystem.h>
// clang-format on
#else

#include <cstdint>

#include "platform/tapi.h"

using UINT = uint32_t;
using WORD = uint16_t;
using MMRESULT = uint32_t;
using FOURCC = uint32_t;
using LPSTR = char*;
using HPSTR = char*;

struct HMMIO__;
using HMMIO = HMMIO__*;
struct HWAVEOUT__;
using HWAVEOUT = HWAVEOUT__*;
using LPHWAVEOUT = HWAVEOUT*;

#pragma pack(push, 1)
struct WAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
};
#pragma pack(pop)
using LPWAVEFORMATEX = WAVEFORMATEX*;
using LPCWAVEFORMATEX = const WAVEFORMATEX*;
static_assert(sizeof(WAVEFORMATEX) == 18);

struct WAVEHDR {
  LPSTR lpData;
  DWORD dwBufferLength;
  DWORD dwBytesRecorded;
  DWORD_PTR dwUser;
  DWORD dwFlags;
  DWORD dwLoops;
  WAVEHDR* lpNext;
  DWORD_PTR reserved;
};
using LPWAVEHDR = WAVEHDR*;

// A position of a wave output, in the unit wType names.
struct MMTIME {
  UINT wType;
  union {
    DWORD ms;
    DWORD sample;
    DWORD cb;
    DWORD ticks;
    struct {
      uint8_t hour;
      uint8_t min;
      uint8_t sec;
      uint8_t frame;
      uint8_t fps;
      uint8_t dummy;
      uint8_t pad[2];
    } smpte;
    struct {
      DWORD songptrpos;
    } midi;
  } u;
};
using LPMMTIME = MMTIME*;
static_assert(sizeof(MMTIME) == 12);

struct MMCKINFO {
  FOURCC ckid;
  DWORD cksize;
  FOURCC fccType;
  DWORD dwDataOffset;
  DWORD dwFlags;
};
using LPMMCKINFO = MMCKINFO*;

struct MMIOINFO;  // never passed: the reader is always opened without an info block
using LPMMIOINFO = MMIOINFO*;

inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_NOTENABLED = 3;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
inline constexpr MMRESULT MMSYSERR_BADERRNUM = 9;
inline constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT WAVERR_BADFORMAT = 32;
inline constexpr MMRESULT WAVERR_STILLPLAYING = 33;
inline constexpr MMRESULT WAVERR_UNPREPARED = 34;
inline constexpr MMRESULT MMIOERR_CHUNKNOTFOUND = 265;
inline constexpr MMRESULT MMIOERR_CANNOTSEEK = 264;
inline constexpr MMRESULT MMIOERR_CANNOTREAD = 262;

inline constexpr UINT WAVE_MAPPER = static_cast<UINT>(-1);
inline constexpr DWORD WAVE_FORMAT_QUERY = 0x0001;
inline constexpr DWORD WAVE_MAPPED = 0x0004;
inline constexpr DWORD CALLBACK_NULL = 0x00000000;
inline constexpr DWORD CALLBACK_WINDOW = 0x00010000;

inline constexpr WORD WAVE_FORMAT_PCM = 1;
inline constexpr WORD WAVE_FORMAT_IEEE_FLOAT = 3;
inline constexpr WORD WAVE_FORMAT_ALAW = 6;
inline constexpr WORD WAVE_FORMAT_MULAW = 7;
inline constexpr WORD WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

inline constexpr UINT TIME_MS = 0x0001;
inline constexpr UINT TIME_SAMPLES = 0x0002;
inline constexpr UINT TIME_BYTES = 0x0004;
inline constexpr UINT TIME_SMPTE = 0x0008;
inline constexpr UINT TIME_MIDI = 0x0010;
inline constexpr UINT TIME_TICKS = 0x0020;

inline constexpr DWORD WHDR_DONE = 0x00000001;
inline constexpr DWORD WHDR_PREPARED = 0x00000002;
inline constexpr DWORD WHDR_INQUEUE = 0x00000010;

inline constexpr UINT MM_WOM_OPEN = 0x3BB;
inline constexpr UINT MM_WOM_CLOSE = 0x3BC;
inline constexpr UINT MM_WOM_DONE = 0x3BD;

inline constexpr DWORD MMIO_READ = 0x00000000;
inline constexpr DWORD MMIO_ALLOCBUF = 0x00010000;
inline constexpr UINT MMIO_FINDCHUNK = 0x0010;
inline constexpr UINT MMIO_FINDRIFF = 0x0020;

constexpr FOURCC mmioFOURCC(char a, char b, char c, char d) {
  return static_cast<FOURCC>(static_cast<uint8_t>(a)) |
         (static_cast<FOURCC>(static_cast<uint8_t>(b)) << 8) |
         (static_cast<FOURCC>(static_cast<uint8_t>(c)) << 16) |
         (static_cast<FOURCC>(static_cast<uint8_t>(d)) << 24);
}

// Multimedia file I/O: a buffered, forward-reading RIFF reader.
HMMIO mmioOpen(LPSTR file_name, LPMMIOINFO info, DWORD open_flags);
FOURCC mmioStringToFOURCC(LPCSTR text, UINT flags);
MMRESULT mmioDescend(HMMIO file, LPMMCKINFO chunk, const MMCKINFO* parent, UINT flags);
MMRESULT mmioAscend(HMMIO file, LPMMCKINFO chunk, UINT flags);
LONG mmioRead(HMMIO file, HPSTR buffer, LONG count);
MMRESULT mmioClose(HMMIO file, UINT flags);

#endif  // _WIN32
