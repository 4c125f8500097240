// A serial port for a modem, as POSIX offers it: locked with a UUCP lock, raw 8-bit mode
// with the modem's flow control left to the pacing of the sound, CLOCAL (a voice call has no
// carrier), and HUPCL, so that DTR drops when the port is closed for whatever reason, even by
// a crash, and a modem set to &D2 goes on hook.
//
//   auto port = SerialPort::Open("/dev/ttyACM0", "/var/lock", &error, &failure);
//   port->Write("ATZ\r");                        // before the reader: ReadFor for answers
//   port->StartReader(loop, on_data, on_gone);    // then bytes reach the loop as tasks
//
// Threads: the reader thread only posts to the loop; every member is for the thread that owns
// the port (the loop thread once the reader runs). Destroying the port stops the reader, and
// the tasks it posted that have not run yet do nothing.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "linesvc/modem/uucp_lock.h"
#include "platform/message_loop.h"
#include "platform/timers.h"

namespace telvane::linesvc {

class SerialPort {
 public:
  enum class Failure { kNone, kHeld, kMissing, kError };

  // Opens and locks the device; null with a sentence in *error when it cannot.
  static std::unique_ptr<SerialPort> Open(const std::string& path, const std::string& lock_dir,
                                          std::string* error, Failure* failure);
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Writes without blocking; returns how many bytes went, or -1 when the port is gone.
  long Write(std::string_view bytes);
  // Writes all of it, waiting at most timeout_ms for room; false when that fails.
  bool WriteAll(std::string_view bytes, int timeout_ms);

  enum class ReadStatus { kData, kTimeout, kGone };
  // Before the reader runs: what arrives within timeout_ms, appended to *out.
  ReadStatus ReadFor(int timeout_ms, std::string* out);

  // Starts the reader thread: what it reads reaches on_data on the loop; when the port fails
  // (end of file, EIO: a USB modem unplugged) on_gone runs once with the reason.
  void StartReader(platform::MessageLoop& loop, std::function<void(std::string)> on_data,
                   std::function<void(std::string)> on_gone);

  // Drops the bytes not yet sent to the modem (an aborted sound).
  void DiscardOutput();
  // Hangs up by dropping DTR for a moment; harmless where there is no DTR (a pseudo-terminal).
  void PulseDtr();

  const std::string& Path() const { return path_; }
  bool IsGone() const { return gone_; }

 private:
  SerialPort(std::string path, int fd, int wake_read, int wake_write,
             std::unique_ptr<UucpLock> lock);
  void ReaderMain(std::function<void(std::string)> on_data,
                  std::function<void(std::string)> on_gone);

  const std::string path_;
  const int fd_;
  const int wake_read_;  // a pipe that stops the reader's poll
  const int wake_write_;
  std::unique_ptr<UucpLock> lock_;
  std::thread reader_;
  // What the reader posts; destroyed after the reader has stopped.
  std::unique_ptr<platform::TaskGroup> reader_tasks_;
  bool gone_ = false;
};

}  // namespace telvane::linesvc
