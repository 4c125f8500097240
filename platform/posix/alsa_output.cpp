// The default audio output over ALSA: one PCM, one writer thread, and the loop it posts to.
//
// Write and Reset run on the loop thread; the writer thread hands queued samples to the
// PCM as it makes room and watches how far the device has played. Every use of the PCM and
// of the queues is under one mutex, held by the writer except while it waits in poll(), so
// the loop thread can drop the PCM's contents in Reset without racing the writer.
//
// Positions count frames since the last reset: "given" by Write, "written" to the PCM, and
// "heard", which is written less what the device still holds (snd_pcm_delay). A write is
// heard once heard reaches its end; its played callback is then posted, under the mutex,
// so the loop runs the callbacks in the order the sound was heard.
#include "platform/posix/alsa_output.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/lazy_library.h"
#include "platform/message_loop.h"

namespace telvane::platform {
namespace {

// The ALSA entries this output uses. ALSA is loaded when the default output is first opened,
// not linked: a run that never plays on the sound card (every call of a headless server)
// does not map it, and a machine without it can still place calls.
// clang-format off
#define TELVANE_ALSA_ENTRIES(X)                                                                 \
  X(snd_lib_error_set_handler)                                                                  \
  X(snd_pcm_open) X(snd_pcm_close) X(snd_pcm_set_params) X(snd_pcm_sw_params_malloc)            \
  X(snd_pcm_sw_params_free) X(snd_pcm_sw_params_current) X(snd_pcm_sw_params_set_start_threshold) \
  X(snd_pcm_sw_params) X(snd_pcm_drop) X(snd_pcm_prepare) X(snd_pcm_writei) X(snd_pcm_delay)    \
  X(snd_pcm_recover) X(snd_pcm_poll_descriptors_count) X(snd_pcm_poll_descriptors)              \
  X(snd_pcm_poll_descriptors_revents)
// clang-format on

struct AlsaLibrary {
#define TELVANE_ALSA_MEMBER(name) decltype(&::name) name = nullptr;
  TELVANE_ALSA_ENTRIES(TELVANE_ALSA_MEMBER)
#undef TELVANE_ALSA_MEMBER
};

// ALSA's entries, looked up on the first call in the library kept for the life of the process
// (outputs and their writer threads may use them until the very end); null when the library
// or one of its entries is missing. Thread-safe.
const AlsaLibrary* LoadAlsa() {
  static const AlsaLibrary* const loaded = []() -> const AlsaLibrary* {
    LazyLibrary& library = KeptLibrary("libasound.so.2");
    AlsaLibrary alsa;
    bool complete = true;
#define TELVANE_ALSA_RESOLVE(name)                                              \
  alsa.name = library.Entry<std::remove_pointer_t<decltype(alsa.name)>>(#name); \
  complete = complete && alsa.name != nullptr;
    TELVANE_ALSA_ENTRIES(TELVANE_ALSA_RESOLVE)
#undef TELVANE_ALSA_RESOLVE
    if (!complete) return nullptr;
    return new AlsaLibrary(alsa);  // never freed: see above
  }();
  return loaded;
}

// Only reached once OpenPcm has found LoadAlsa() loaded.
const AlsaLibrary& Alsa() { return *LoadAlsa(); }

// How much sound the device may hold ahead of what is heard: enough to ride out a busy
// moment of the machine, little enough that a reset silences it at once.
constexpr unsigned kLatencyUs = 100'000;

// How long a closing output may still play what it was given; the rest is cut, so that
// closing never holds the application up for long.
constexpr auto kCloseDrainLimit = std::chrono::milliseconds(500);

// ALSA prints its failures on stderr by itself. Ours are reported through the wave
// output's results, and the program's console carries only the program's lines.
void QuietAlsaError(const char* /*file*/, int /*line*/, const char* /*function*/, int /*err*/,
                    const char* /*format*/, ...) {}

void SilenceAlsaErrors() {
  static std::once_flag once;
  std::call_once(once, [] { Alsa().snd_lib_error_set_handler(QuietAlsaError); });
}

struct PcmCloser {
  void operator()(snd_pcm_t* pcm) const { Alsa().snd_pcm_close(pcm); }
};
using Pcm = std::unique_ptr<snd_pcm_t, PcmCloser>;

struct SwParamsFree {
  void operator()(snd_pcm_sw_params_t* params) const { Alsa().snd_pcm_sw_params_free(params); }
};

// By default ALSA starts playing only once its buffer is full, so a short sound written on
// its own would never be heard. Starting at the first frame plays every write at once.
bool StartOnFirstFrame(snd_pcm_t* pcm) {
  snd_pcm_sw_params_t* raw = nullptr;
  if (Alsa().snd_pcm_sw_params_malloc(&raw) < 0) return false;
  std::unique_ptr<snd_pcm_sw_params_t, SwParamsFree> params(raw);
  return Alsa().snd_pcm_sw_params_current(pcm, raw) >= 0 &&
         Alsa().snd_pcm_sw_params_set_start_threshold(pcm, raw, 1) >= 0 &&
         Alsa().snd_pcm_sw_params(pcm, raw) >= 0;
}

// Opens the PCM for the line's samples: host-order 16-bit (our samples are int16_t), one
// channel, 8000 Hz, resampled by ALSA's plug layer where the device wants another rate. Not
// blocking: a busy device is refused at once, and the writer waits in poll(), not in ALSA.
Pcm OpenPcm(const std::string& name) {
  if (LoadAlsa() == nullptr) return nullptr;
  SilenceAlsaErrors();
  snd_pcm_t* raw = nullptr;
  if (Alsa().snd_pcm_open(&raw, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
    return nullptr;
  }
  Pcm pcm(raw);
  if (Alsa().snd_pcm_set_params(raw, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED,
                                /*channels=*/1, kLineSampleRate, /*soft_resample=*/1,
                                kLatencyUs) < 0 ||
      !StartOnFirstFrame(raw)) {
    return nullptr;
  }
  return pcm;
}

// An eventfd that wakes the writer from its poll() when the loop thread has news for it.
class WakeUp {
 public:
  WakeUp() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  }
  ~WakeUp() { close(fd_); }
  WakeUp(const WakeUp&) = delete;
  WakeUp& operator=(const WakeUp&) = delete;

  int fd() const { return fd_; }
  void Signal() {
    const uint64_t one = 1;
    // Only fails when the counter is full, and then the writer is woken anyway.
    [[maybe_unused]] const ssize_t written = write(fd_, &one, sizeof one);
  }
  void Clear() {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t read_bytes = read(fd_, &count, sizeof count);
  }

 private:
  const int fd_;
};

class AlsaOutput final : public WaveSink {
 public:
  AlsaOutput(Pcm pcm, MessageLoop* loop) : pcm_(std::move(pcm)), loop_(loop) {
    writer_ = std::thread([this] { Run(); });
  }

  // The writer plays out what it was given (within kCloseDrainLimit) and stops; the played
  // callbacks still due are dropped, since whoever gave them has let the output go.
  ~AlsaOutput() override {
    {
      std::lock_guard lock(mu_);
      closing_ = true;
      close_deadline_ = std::chrono::steady_clock::now() + kCloseDrainLimit;
      due_.clear();
    }
    wake_.Signal();
    writer_.join();
    Alsa().snd_pcm_drop(pcm_.get());
  }

  AlsaOutput(const AlsaOutput&) = delete;
  AlsaOutput& operator=(const AlsaOutput&) = delete;

  void Write(std::vector<int16_t> samples, std::function<void()> played) override {
    {
      std::lock_guard lock(mu_);
      given_ += samples.size();
      if (!samples.empty() && !broken_) queue_.push_back(Chunk{std::move(samples), 0});
      due_.push_back(Due{given_, std::move(played)});
      // A broken device hears nothing more: its callers get their buffers back at once.
      if (broken_) PostHeardLocked();
    }
    wake_.Signal();
  }

  void Reset() override {
    {
      std::lock_guard lock(mu_);
      if (!broken_) {
        Alsa().snd_pcm_drop(pcm_.get());
        if (Alsa().snd_pcm_prepare(pcm_.get()) < 0) broken_ = true;
      }
      queue_.clear();
      given_ = written_ = heard_ = 0;
      for (Due& due : due_) loop_->PostTask(std::move(due.played));
      due_.clear();
    }
    wake_.Signal();
  }

  uint64_t SamplesHeard() const override {
    std::lock_guard lock(mu_);
    return heard_;
  }

 private:
  struct Chunk {
    std::vector<int16_t> samples;
    size_t handed = 0;  // how many of them the PCM has taken
  };
  struct Due {
    uint64_t end;  // the "given" position of the write's last frame
    std::function<void()> played;
  };

  void Run() {
    std::unique_lock lock(mu_);
    for (;;) {
      if (!broken_) {
        HandOverLocked();
        UpdateHeardLocked();
      }
      PostHeardLocked();
      if (closing_ && (broken_ || (queue_.empty() && heard_ >= written_) ||
                       std::chrono::steady_clock::now() >= close_deadline_)) {
        return;
      }
      WaitLocked(lock);
    }
  }

  // Writes queued samples until the PCM has no room left.
  void HandOverLocked() {
    while (!queue_.empty() && !broken_) {
      Chunk& chunk = queue_.front();
      const snd_pcm_sframes_t taken = Alsa().snd_pcm_writei(
          pcm_.get(), chunk.samples.data() + chunk.handed, chunk.samples.size() - chunk.handed);
      if (taken == -EAGAIN) return;
      if (taken < 0) {
        RecoverLocked(static_cast<int>(taken));
        continue;
      }
      chunk.handed += static_cast<size_t>(taken);
      written_ += static_cast<uint64_t>(taken);
      if (chunk.handed == chunk.samples.size()) queue_.pop_front();
    }
  }

  // What the device no longer holds has been heard.
  void UpdateHeardLocked() {
    if (heard_ >= written_ || broken_) return;
    snd_pcm_sframes_t delay = 0;
    if (const int err = Alsa().snd_pcm_delay(pcm_.get(), &delay); err < 0) {
      RecoverLocked(err);
      return;
    }
    const uint64_t held = delay > 0 ? std::min(static_cast<uint64_t>(delay), written_) : 0;
    heard_ = std::max(heard_, written_ - held);
  }

  // An underrun (the device played everything it had) or a suspend: whatever the PCM held
  // is gone, heard or not, and it is made ready to play on. A device that cannot recover
  // (unplugged, sound server gone) is broken for good.
  void RecoverLocked(int err) {
    if (Alsa().snd_pcm_recover(pcm_.get(), err, /*silent=*/1) < 0) {
      FailLocked();
      return;
    }
    heard_ = written_;
  }

  // Gives every buffer back, so that nothing waits for an end that never comes.
  void FailLocked() {
    broken_ = true;
    queue_.clear();
    Alsa().snd_pcm_drop(pcm_.get());
  }

  // Posted under the mutex, so the loop runs them in the order they were heard, before
  // anything a later Reset posts.
  void PostHeardLocked() {
    while (!due_.empty() && (broken_ || due_.front().end <= heard_)) {
      loop_->PostTask(std::move(due_.front().played));
      due_.pop_front();
    }
  }

  // Sleeps until the PCM has room for queued samples, the next due write should have been
  // heard, the close deadline passes, or the loop thread signals.
  void WaitLocked(std::unique_lock<std::mutex>& lock) {
    std::vector<pollfd> fds(1, pollfd{wake_.fd(), POLLIN, 0});
    const bool wants_room = !queue_.empty() && !broken_;
    if (wants_room) {
      const int count = Alsa().snd_pcm_poll_descriptors_count(pcm_.get());
      if (count > 0) {
        fds.resize(1 + static_cast<size_t>(count));
        Alsa().snd_pcm_poll_descriptors(pcm_.get(), fds.data() + 1, static_cast<unsigned>(count));
      }
    }
    const int timeout_ms = TimeoutLocked(wants_room);
    lock.unlock();
    poll(fds.data(), fds.size(), timeout_ms);
    lock.lock();
    if (fds.size() > 1 && !broken_) {
      // Lets the plugin clear what made its descriptors ready.
      unsigned short revents = 0;
      Alsa().snd_pcm_poll_descriptors_revents(pcm_.get(), fds.data() + 1,
                                              static_cast<unsigned>(fds.size() - 1), &revents);
    }
    if (fds[0].revents & POLLIN) wake_.Clear();
  }

  // -1 waits for a signal alone. Otherwise the time the device needs to play up to the
  // position the writer waits for; while samples wait for room, at most one latency, in case
  // a plugin's descriptors never become ready.
  int TimeoutLocked(bool wants_room) const {
    int64_t timeout_ms = wants_room ? kLatencyUs / 1000 : -1;
    uint64_t target = heard_;
    if (closing_) {
      target = written_;
    } else if (!due_.empty()) {
      target = std::min(due_.front().end, written_);
    }
    if (target > heard_ && !broken_) {
      const auto ms = static_cast<int64_t>((target - heard_) * 1000 / kLineSampleRate + 1);
      timeout_ms = timeout_ms < 0 ? ms : std::min(timeout_ms, ms);
    }
    if (closing_) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            close_deadline_ - std::chrono::steady_clock::now())
                            .count() +
                        1;
      timeout_ms = timeout_ms < 0 ? left : std::min<int64_t>(timeout_ms, left);
      timeout_ms = std::max<int64_t>(timeout_ms, 0);
    }
    return static_cast<int>(timeout_ms);
  }

  const Pcm pcm_;
  MessageLoop* const loop_;
  WakeUp wake_;
  mutable std::mutex mu_;
  std::deque<Chunk> queue_;  // given, not yet all taken by the PCM
  std::deque<Due> due_;      // played callbacks, in the order of their ends
  uint64_t given_ = 0;
  uint64_t written_ = 0;
  uint64_t heard_ = 0;
  bool broken_ = false;
  bool closing_ = false;
  std::chrono::steady_clock::time_point close_deadline_;
  std::thread writer_;  // started last, once everything it uses exists
};

}  // namespace

std::string DefaultAudioOutputName() {
  const char* name = std::getenv("TELVANE_AUDIO_DEVICE");
  return name != nullptr && *name != '\0' ? name : "default";
}

std::unique_ptr<WaveSink> OpenAlsaOutput(const std::string& pcm_name) {
  MessageLoop* loop = MessageLoop::Current();
  if (loop == nullptr) return nullptr;
  Pcm pcm = OpenPcm(pcm_name);
  if (!pcm) return nullptr;
  return std::make_unique<AlsaOutput>(std::move(pcm), loop);
}

std::unique_ptr<WaveSink> OpenDefaultAudioOutput() {
  return OpenAlsaOutput(DefaultAudioOutputName());
}

bool DefaultAudioOutputAvailable() { return OpenPcm(DefaultAudioOutputName()) != nullptr; }

}  // namespace telvane::platform
