// Wave output for systems without a multimedia API: the published waveOut* functions over
// the wave devices that line drivers register (platform/wave_devices.h).
//
// Each open device converts what it is given to the line format and hands it to the line's
// sink; the sink says when a write has been heard, and the device then marks the header
// done and posts MM_WOM_DONE to the window given at open, on the loop of the thread that
// opened it. One converter serves every write of an open device, so the sound of one
// buffer runs on into the next without a seam; when the line is about to fall silent (no
// buffer queued behind the one just heard) the converter's last milliseconds are played
// before that buffer is done.
//
// WAVE_MAPPER is the machine's default audio output (platform/posix/alsa_output.h). Like
// the mapper of the published API it converts every format it can read, mapped or not.
// Where no default output opens (no sound card, no sound server) it is refused with
// MMSYSERR_NODRIVER: a message played nowhere would look like success to the caller.
//
// The position (waveOutGetPosition) is what the line has heard since the open or the last
// reset, as its sink counts it, in sample frames of the opened format: a line that has not
// carried the sound yet stands at 0, however much it was given.
//
// Handles are numbers in a table, never pointers handed out: a handle used after
// waveOutClose, or one that never existed, gets MMSYSERR_INVALHANDLE. A device belongs to
// the loop of the thread that opened it; calls from another thread are refused the same
// way, since its notifications and its sink live on that loop.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <vector>

#include "platform/message_loop.h"
#include "platform/mmsystem.h"
#include "platform/posix/alsa_output.h"
#include "platform/posix/audio_convert.h"
#include "platform/wave_devices.h"

namespace telvane::platform {
namespace {

constexpr DWORD kCallbackTypeMask = 0x00070000;
// WAVE_ALLOWSYNC: lets a synchronous driver be opened; all of ours are asynchronous.
constexpr DWORD kAllowSync = 0x0002;
constexpr DWORD kAcceptedOpenFlags =
    WAVE_FORMAT_QUERY | WAVE_MAPPED | kAllowSync | kCallbackTypeMask;

class WaveOut {
 public:
  WaveOut(uintptr_t id, MessageLoop* loop, uint64_t window, const WAVEFORMATEX& format,
          std::unique_ptr<WaveSink> sink, std::unique_ptr<LineAudioConverter> converter)
      : id_(id),
        loop_(loop),
        window_(window),
        frame_rate_(format.nSamplesPerSec),
        frame_bytes_(std::max<DWORD>(format.nBlockAlign, 1)),
        sink_(std::move(sink)),
        converter_(std::move(converter)) {}

  MessageLoop* loop() const { return loop_; }
  HWAVEOUT handle() const { return reinterpret_cast<HWAVEOUT>(id_); }
  bool playing() const { return !queued_.empty(); }
  bool IsQueued(const WAVEHDR* header) const {
    return std::find(queued_.begin(), queued_.end(), header) != queued_.end();
  }

  void Notify(UINT message, intptr_t lparam) {
    if (window_ != 0) {
      loop_->PostToWindow(window_, message, id_, lparam);
    }
  }

  void Write(WAVEHDR* header);
  void Reset();
  void Close();

  DWORD FrameBytes() const { return frame_bytes_; }
  // The frames written since the open or the last reset that the line has heard: its line
  // samples taken back to the opened rate, never more than were written.
  uint64_t HeardFrames() const {
    const uint64_t frames = sink_->SamplesHeard() * frame_rate_ / kLineSampleRate;
    return std::min<uint64_t>(frames, written_bytes_ / frame_bytes_);
  }

  // What the sink runs once a write for the header has been heard. The report may come
  // after the device is closed: it finds the device by its number.
  std::function<void()> PlayedReport(WAVEHDR* header) const;

  // A write reached the end of the line: only the oldest queued buffer can be done. When it
  // is the last one queued the line would fall silent, and the converter may still hold the
  // last milliseconds of its sound: they are heard first, and the buffer is done only then,
  // so a caller that ends the call on the last buffer's return has lost nothing of it.
  void Played(uint64_t generation, WAVEHDR* header) {
    if (generation != generation_ || queued_.empty() || queued_.front() != header) return;
    if (queued_.size() == 1) {
      std::vector<int16_t> held = converter_->Drain();
      if (!held.empty()) {
        sink_->Write(std::move(held), PlayedReport(header));
        return;
      }
    }
    queued_.pop_front();
    Complete(header);
  }

 private:
  void Complete(WAVEHDR* header) {
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    Notify(MM_WOM_DONE, reinterpret_cast<intptr_t>(header));
  }

  const uintptr_t id_;
  MessageLoop* const loop_;
  const uint64_t window_;
  const uint64_t frame_rate_;  // of the opened format
  const DWORD frame_bytes_;
  uint64_t written_bytes_ = 0;  // since the open or the last reset
  std::unique_ptr<WaveSink> sink_;
  std::unique_ptr<LineAudioConverter> converter_;
  std::deque<WAVEHDR*> queued_;
  // Counts resets: a played report of a write from before the last reset is stale, since
  // the reset has already given that buffer back.
  uint64_t generation_ = 0;
};

class HandleTable {
 public:
  uintptr_t NextId() {
    std::lock_guard lock(mu_);
    return ++last_id_;
  }
  void Add(uintptr_t id, std::shared_ptr<WaveOut> device) {
    std::lock_guard lock(mu_);
    devices_.emplace(id, std::move(device));
  }
  // The device of a handle, if it is open and belongs to the calling thread's loop.
  std::shared_ptr<WaveOut> Find(HWAVEOUT handle) {
    std::lock_guard lock(mu_);
    auto it = devices_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == devices_.end() || it->second->loop() != MessageLoop::Current()) return nullptr;
    return it->second;
  }
  std::shared_ptr<WaveOut> FindById(uintptr_t id) {
    std::lock_guard lock(mu_);
    auto it = devices_.find(id);
    return it == devices_.end() ? nullptr : it->second;
  }
  // The caller may hold the device still; the table's share of it goes outside the lock.
  void Remove(uintptr_t id) {
    std::shared_ptr<WaveOut> device;
    std::lock_guard lock(mu_);
    auto it = devices_.find(id);
    if (it == devices_.end()) return;
    device = std::move(it->second);
    devices_.erase(it);
  }

 private:
  std::mutex mu_;
  uintptr_t last_id_ = 0;
  std::map<uintptr_t, std::shared_ptr<WaveOut>> devices_;
};

HandleTable& Handles() {
  static HandleTable table;
  return table;
}

void WaveOut::Write(WAVEHDR* header) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(header->lpData);
  std::vector<int16_t> samples = converter_->Convert({bytes, header->dwBufferLength});
  sink_->Write(std::move(samples), PlayedReport(header));
  // Queued only once the sink has taken it, so a sink that throws leaves nothing behind
  // that would never come back.
  header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
  queued_.push_back(header);
  written_bytes_ += header->dwBufferLength;
}

std::function<void()> WaveOut::PlayedReport(WAVEHDR* header) const {
  return [id = id_, generation = generation_, header] {
    if (auto device = Handles().FindById(id)) device->Played(generation, header);
  };
}

// Every queued buffer comes back at once, in order, as the published function does; what
// the sink still reports about them afterwards is ignored.
void WaveOut::Reset() {
  ++generation_;
  sink_->Reset();
  converter_->Reset();
  written_bytes_ = 0;
  while (!queued_.empty()) {
    WAVEHDR* header = queued_.front();
    queued_.pop_front();
    Complete(header);
  }
}

// A device closed before its last buffer came back may still hold the last few
// milliseconds of the sound in the resampler. They go to the sink before it is let go, for a
// line that plays out what it holds when closed.
void WaveOut::Close() {
  std::vector<int16_t> tail = converter_->Flush();
  if (!tail.empty()) sink_->Write(std::move(tail), [] {});
  sink_.reset();
  Notify(MM_WOM_CLOSE, 0);
}

MMRESULT CheckHeader(const WAVEHDR* header, UINT header_size) {
  if (header == nullptr || header_size < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
  if (header->lpData == nullptr && header->dwBufferLength != 0) return MMSYSERR_INVALPARAM;
  return MMSYSERR_NOERROR;
}

// Checks the format for the open flags: a mapped open takes every format the converter
// reads, an unmapped one only the line's own.
MMRESULT CheckFormat(const WAVEFORMATEX* format, DWORD open_flags) {
  const size_t size = WaveFormatSize(format);
  const bool playable =
      (open_flags & WAVE_MAPPED) ? CanConvert(format, size) : IsLineFormat(format, size);
  return playable ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
}

std::unique_ptr<WaveSink> OpenSink(UINT device_id) {
  return device_id == WAVE_MAPPER ? OpenDefaultAudioOutput() : OpenWaveOutDevice(device_id);
}

MMRESULT RefusedSinkResult(UINT device_id) {
  if (device_id == WAVE_MAPPER) return MMSYSERR_NODRIVER;
  // Registered a moment ago, but the driver would not give a sink: the line is in use or
  // has no call that can carry sound.
  return HasWaveOutDevice(device_id) ? MMSYSERR_ALLOCATED : MMSYSERR_BADDEVICEID;
}

MMRESULT OpenDevice(LPHWAVEOUT handle, UINT device_id, LPCWAVEFORMATEX format, DWORD_PTR callback,
                    DWORD open_flags) {
  MessageLoop* loop = MessageLoop::Current();
  if (loop == nullptr) return MMSYSERR_ERROR;
  const DWORD callback_type = open_flags & kCallbackTypeMask;
  if (callback_type != CALLBACK_NULL && callback_type != CALLBACK_WINDOW) {
    return MMSYSERR_NOTSUPPORTED;
  }
  const uint64_t window = callback_type == CALLBACK_WINDOW ? callback : 0;
  auto converter = LineAudioConverter::Create(format, WaveFormatSize(format));
  if (!converter) return WAVERR_BADFORMAT;
  std::unique_ptr<WaveSink> sink = OpenSink(device_id);
  if (!sink) return RefusedSinkResult(device_id);
  const uintptr_t id = Handles().NextId();
  auto device =
      std::make_shared<WaveOut>(id, loop, window, *format, std::move(sink), std::move(converter));
  Handles().Add(id, device);
  *handle = device->handle();
  device->Notify(MM_WOM_OPEN, 0);
  return MMSYSERR_NOERROR;
}

struct ErrorText {
  MMRESULT result;
  const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {MMSYSERR_NOERROR, "The operation completed successfully."},
    {MMSYSERR_ERROR, "An unspecified error occurred in the wave output device."},
    {MMSYSERR_BADDEVICEID, "The wave output device ID is out of range: no such device exists."},
    {MMSYSERR_NOTENABLED, "The wave output driver is not enabled."},
    {MMSYSERR_ALLOCATED, "The wave output device is already in use or cannot be opened now."},
    {MMSYSERR_INVALHANDLE, "The wave output device handle is invalid or already closed."},
    {MMSYSERR_NODRIVER, "No default audio output is available; play into a call instead."},
    {MMSYSERR_NOMEM, "There is not enough memory available for this task."},
    {MMSYSERR_NOTSUPPORTED, "This function is not supported by the wave output device."},
    {MMSYSERR_BADERRNUM, "The error number is not defined in the system."},
    {MMSYSERR_INVALFLAG, "An invalid flag was passed to a wave output function."},
    {MMSYSERR_INVALPARAM, "An invalid parameter was passed to a wave output function."},
    {WAVERR_BADFORMAT, "The wave format is not supported by the device."},
    {WAVERR_STILLPLAYING, "The wave output device is still playing buffers; reset it first."},
    {WAVERR_UNPREPARED, "The wave header was not prepared; prepare it before writing it."},
};

}  // namespace
}  // namespace telvane::platform

using telvane::platform::Handles;
using telvane::platform::WaveOut;

MMRESULT waveOutOpen(LPHWAVEOUT handle, UINT device_id, LPCWAVEFORMATEX format, DWORD_PTR callback,
                     DWORD_PTR /*instance*/, DWORD open_flags) {
  using namespace telvane::platform;
  if (format == nullptr) return MMSYSERR_INVALPARAM;
  if ((open_flags & ~kAcceptedOpenFlags) != 0) return MMSYSERR_INVALFLAG;
  const bool mapper = device_id == WAVE_MAPPER;
  if (!mapper && !HasWaveOutDevice(device_id)) return MMSYSERR_BADDEVICEID;
  // The mapper's whole point is to play what the caller has: it always converts.
  if (mapper) open_flags |= WAVE_MAPPED;
  if (const MMRESULT result = CheckFormat(format, open_flags); result != MMSYSERR_NOERROR) {
    return result;
  }
  if (open_flags & WAVE_FORMAT_QUERY) {
    return !mapper || DefaultAudioOutputAvailable() ? MMSYSERR_NOERROR : MMSYSERR_NODRIVER;
  }
  if (handle == nullptr) return MMSYSERR_INVALPARAM;
  try {
    return OpenDevice(handle, device_id, format, callback, open_flags);
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  } catch (const std::exception&) {
    // A driver's sink factory failed: report it as a failed open, not through a C API.
    return MMSYSERR_ERROR;
  }
}

MMRESULT waveOutPrepareHeader(HWAVEOUT handle, LPWAVEHDR header, UINT header_size) {
  using namespace telvane::platform;
  if (!Handles().Find(handle)) return MMSYSERR_INVALHANDLE;
  if (const MMRESULT result = CheckHeader(header, header_size); result != MMSYSERR_NOERROR) {
    return result;
  }
  header->dwFlags |= WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, LPWAVEHDR header, UINT header_size) {
  using namespace telvane::platform;
  const std::shared_ptr<WaveOut> device = Handles().Find(handle);
  if (!device) return MMSYSERR_INVALHANDLE;
  if (header == nullptr || header_size < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
  if (device->IsQueued(header)) return WAVERR_STILLPLAYING;
  header->dwFlags &= ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutWrite(HWAVEOUT handle, LPWAVEHDR header, UINT header_size) {
  using namespace telvane::platform;
  const std::shared_ptr<WaveOut> device = Handles().Find(handle);
  if (!device) return MMSYSERR_INVALHANDLE;
  if (const MMRESULT result = CheckHeader(header, header_size); result != MMSYSERR_NOERROR) {
    return result;
  }
  if (!(header->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  if (device->IsQueued(header)) return WAVERR_STILLPLAYING;
  try {
    device->Write(header);
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  } catch (const std::exception&) {
    return MMSYSERR_ERROR;
  }
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutReset(HWAVEOUT handle) {
  const std::shared_ptr<WaveOut> device = Handles().Find(handle);
  if (!device) return MMSYSERR_INVALHANDLE;
  device->Reset();
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetPosition(HWAVEOUT handle, LPMMTIME position, UINT position_size) {
  const std::shared_ptr<WaveOut> device = Handles().Find(handle);
  if (!device) return MMSYSERR_INVALHANDLE;
  if (position == nullptr || position_size < sizeof(MMTIME)) return MMSYSERR_INVALPARAM;
  const uint64_t frames = device->HeardFrames();
  if (position->wType == TIME_SAMPLES) {
    position->u.sample = static_cast<DWORD>(frames);
  } else {
    // The unit every wave output knows; the caller learns from wType what it got.
    position->wType = TIME_BYTES;
    position->u.cb = static_cast<DWORD>(frames * device->FrameBytes());
  }
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutClose(HWAVEOUT handle) {
  const std::shared_ptr<WaveOut> device = Handles().Find(handle);
  if (!device) return MMSYSERR_INVALHANDLE;
  if (device->playing()) return WAVERR_STILLPLAYING;
  Handles().Remove(reinterpret_cast<uintptr_t>(handle));
  device->Close();
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetErrorText(MMRESULT result, LPSTR text, UINT text_size) {
  using namespace telvane::platform;
  if (text == nullptr || text_size == 0) return MMSYSERR_INVALPARAM;
  const auto* entry = std::find_if(std::begin(kErrorTexts), std::end(kErrorTexts),
                                   [result](const ErrorText& e) { return e.result == result; });
  char unknown[96];
  const char* message = unknown;
  if (entry != std::end(kErrorTexts)) {
    message = entry->text;
  } else {
    std::snprintf(unknown, sizeof unknown, "Unknown wave output error %u.",
                  static_cast<unsigned>(result));
  }
  const size_t length = std::min<size_t>(std::strlen(message), text_size - 1);
  std::memcpy(text, message, length);
  text[length] = '\0';
  return entry != std::end(kErrorTexts) ? MMSYSERR_NOERROR : MMSYSERR_BADERRNUM;
}
