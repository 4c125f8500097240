// Our own wave output into sinks; see sink_wave_out.h.
#include "platform/sink_wave_out.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "platform/audio_convert.h"
#include "platform/handle_table.h"
#include "platform/message_loop.h"
#include "platform/timers.h"

namespace telvane::platform {
namespace {

constexpr DWORD kCallbackTypeMask = 0x00070000;
// WAVE_ALLOWSYNC: lets a synchronous driver be opened; all of ours are asynchronous.
constexpr DWORD kAllowSync = 0x0002;
constexpr DWORD kAcceptedOpenFlags =
    WAVE_FORMAT_QUERY | WAVE_MAPPED | kAllowSync | kCallbackTypeMask;

class WaveOut {
 public:
  WaveOut(HWAVEOUT handle, MessageLoop& loop, uint64_t window, const WAVEFORMATEX& format,
          std::unique_ptr<WaveSink> sink, std::unique_ptr<LineAudioConverter> converter)
      : handle_(handle),
        loop_(loop),
        window_(window),
        frame_rate_(format.nSamplesPerSec),
        frame_bytes_(std::max<DWORD>(format.nBlockAlign, 1)),
        sink_(std::move(sink)),
        converter_(std::move(converter)),
        reports_(loop) {}

  MessageLoop* loop() const { return &loop_; }
  HWAVEOUT handle() const { return handle_; }
  bool playing() const { return !queued_.empty(); }
  bool IsQueued(const WAVEHDR* header) const {
    return std::find(queued_.begin(), queued_.end(), header) != queued_.end();
  }

  void Notify(UINT message, intptr_t lparam) {
    if (window_ != 0) {
      loop_.PostToWindow(window_, message, reinterpret_cast<uintptr_t>(handle_), lparam);
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
  // after a reset has given the buffer back, or after the device is gone: it then does
  // nothing.
  std::function<void()> PlayedReport(WAVEHDR* header) {
    return reports_.Bind([this, header] { Played(header); });
  }

  // A write reached the end of the line: only the oldest queued buffer can be done. When it
  // is the last one queued the line would fall silent, and the converter may still hold the
  // last milliseconds of its sound: they are heard first, and the buffer is done only then,
  // so a caller that ends the call on the last buffer's return has lost nothing of it.
  void Played(WAVEHDR* header) {
    if (queued_.empty() || queued_.front() != header) return;
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

  const HWAVEOUT handle_;
  MessageLoop& loop_;
  const uint64_t window_;
  const uint64_t frame_rate_;  // of the opened format
  const DWORD frame_bytes_;
  uint64_t written_bytes_ = 0;  // since the open or the last reset
  std::unique_ptr<WaveSink> sink_;
  std::unique_ptr<LineAudioConverter> converter_;
  std::deque<WAVEHDR*> queued_;
  // The played reports handed to the sink; a reset cancels those of the buffers it gave back.
  TaskGroup reports_;
};

// The mark of this output's handles: top bits no address of a 64-bit process has.
constexpr uintptr_t kHandleMark = uintptr_t{0x7E1E} << (sizeof(uintptr_t) * 8 - 16);
constexpr uintptr_t kHandleMarkMask = uintptr_t{0xFFFF} << (sizeof(uintptr_t) * 8 - 16);

HandleTable<WaveOut, HWAVEOUT>& Handles() {
  static HandleTable<WaveOut, HWAVEOUT> table(kHandleMark);
  return table;
}

// The device of a handle, if it is open and belongs to the calling thread's loop.
std::shared_ptr<WaveOut> FindDevice(HWAVEOUT handle) {
  std::shared_ptr<WaveOut> device = Handles().Find(handle);
  return device && device->loop() == MessageLoop::Current() ? device : nullptr;
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

// Every queued buffer comes back at once, in order, as the published function does; what
// the sink still reports about them afterwards is ignored.
void WaveOut::Reset() {
  reports_.CancelAll();
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

MMRESULT OpenDevice(LPHWAVEOUT handle, const SinkWaveDevice& device, LPCWAVEFORMATEX format,
                    DWORD_PTR callback, DWORD open_flags) {
  MessageLoop* loop = MessageLoop::Current();
  if (loop == nullptr) return MMSYSERR_ERROR;
  const DWORD callback_type = open_flags & kCallbackTypeMask;
  if (callback_type != CALLBACK_NULL && callback_type != CALLBACK_WINDOW) {
    return MMSYSERR_NOTSUPPORTED;
  }
  const uint64_t window = callback_type == CALLBACK_WINDOW ? callback : 0;
  auto converter = LineAudioConverter::Create(format, WaveFormatSize(format));
  if (!converter) return WAVERR_BADFORMAT;
  MMRESULT refused = MMSYSERR_ALLOCATED;
  std::unique_ptr<WaveSink> sink = device.open(&refused);
  if (!sink) return refused;
  const HWAVEOUT new_handle = Handles().NewHandle();
  auto output = std::make_shared<WaveOut>(new_handle, *loop, window, *format, std::move(sink),
                                          std::move(converter));
  Handles().Add(new_handle, output);
  *handle = output->handle();
  output->Notify(MM_WOM_OPEN, 0);
  return MMSYSERR_NOERROR;
}

}  // namespace

SinkWaveDevice LineWaveDevice(UINT device_id) {
  SinkWaveDevice device;
  device.exists = HasWaveOutDevice(device_id);
  device.open = [device_id](MMRESULT* refused) {
    std::unique_ptr<WaveSink> sink = OpenWaveOutDevice(device_id);
    // Registered a moment ago, but the driver would not give a sink: the line is in use or
    // has no call that can carry sound.
    if (!sink) *refused = HasWaveOutDevice(device_id) ? MMSYSERR_ALLOCATED : MMSYSERR_BADDEVICEID;
    return sink;
  };
  return device;
}

MMRESULT OpenSinkWaveOut(LPHWAVEOUT handle, const SinkWaveDevice& device, LPCWAVEFORMATEX format,
                         DWORD_PTR callback, DWORD open_flags) {
  if (format == nullptr) return MMSYSERR_INVALPARAM;
  if ((open_flags & ~kAcceptedOpenFlags) != 0) return MMSYSERR_INVALFLAG;
  if (!device.exists) return MMSYSERR_BADDEVICEID;
  // The mapper's whole point is to play what the caller has: it always converts.
  if (device.always_mapped) open_flags |= WAVE_MAPPED;
  if (const MMRESULT result = CheckFormat(format, open_flags); result != MMSYSERR_NOERROR) {
    return result;
  }
  if (open_flags & WAVE_FORMAT_QUERY) {
    return !device.available || device.available() ? MMSYSERR_NOERROR : MMSYSERR_NODRIVER;
  }
  if (handle == nullptr) return MMSYSERR_INVALPARAM;
  try {
    return OpenDevice(handle, device, format, callback, open_flags);
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  } catch (const std::exception&) {
    // A driver's sink factory failed: report it as a failed open, not through a C API.
    return MMSYSERR_ERROR;
  }
}

bool IsSinkWaveOut(HWAVEOUT handle) {
  return (reinterpret_cast<uintptr_t>(handle) & kHandleMarkMask) == kHandleMark;
}

MMRESULT PrepareSinkWaveOutHeader(HWAVEOUT handle, LPWAVEHDR header, UINT header_size) {
  if (!FindDevice(handle)) return MMSYSERR_INVALHANDLE;
  if (const MMRESULT result = CheckHeader(header, header_size); result != MMSYSERR_NOERROR) {
    return result;
  }
  header->dwFlags |= WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT UnprepareSinkWaveOutHeader(HWAVEOUT handle, LPWAVEHDR header, UINT header_size) {
  const std::shared_ptr<WaveOut> device = FindDevice(handle);
  if (!device) return MMSYSERR_INVALHANDLE;
  if (header == nullptr || header_size < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
  if (device->IsQueued(header)) return WAVERR_STILLPLAYING;
  header->dwFlags &= ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT WriteSinkWaveOut(HWAVEOUT handle, LPWAVEHDR header, UINT header_size) {
  const std::shared_ptr<WaveOut> device = FindDevice(handle);
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

MMRESULT ResetSinkWaveOut(HWAVEOUT handle) {
  const std::shared_ptr<WaveOut> device = FindDevice(handle);
  if (!device) return MMSYSERR_INVALHANDLE;
  device->Reset();
  return MMSYSERR_NOERROR;
}

MMRESULT GetSinkWaveOutPosition(HWAVEOUT handle, LPMMTIME position, UINT position_size) {
  const std::shared_ptr<WaveOut> device = FindDevice(handle);
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

MMRESULT CloseSinkWaveOut(HWAVEOUT handle) {
  const std::shared_ptr<WaveOut> device = FindDevice(handle);
  if (!device) return MMSYSERR_INVALHANDLE;
  if (device->playing()) return WAVERR_STILLPLAYING;
  Handles().Remove(handle);
  device->Close();
  return MMSYSERR_NOERROR;
}

}  // namespace telvane::platform
