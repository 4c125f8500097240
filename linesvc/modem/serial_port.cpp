// The serial port of a voice modem over termios.
#include "linesvc/modem/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace telvane::linesvc {

namespace {

// Raw 8-bit, no echo, no line discipline; CLOCAL because a voice call has no carrier and a
// DCD drop would otherwise hang up the tty under us; HUPCL as the on-hook backstop. XON/XOFF
// stays off: it would eat 0x11 and 0x13 out of the sound in either direction.
bool SetRawMode(int fd) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return false;
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD | HUPCL;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  ::cfsetispeed(&tio, B115200);
  ::cfsetospeed(&tio, B115200);
  return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

void RaiseDtr(int fd) {
  int bits = TIOCM_DTR | TIOCM_RTS;
  ::ioctl(fd, TIOCMBIS, &bits);  // fails on a pseudo-terminal, which has no DTR: harmless
}

}  // namespace

std::unique_ptr<SerialPort> SerialPort::Open(const std::string& path, const std::string& lock_dir,
                                             std::string* error, Failure* failure) {
  UucpLock::Failure lock_failure = UucpLock::Failure::kNone;
  std::unique_ptr<UucpLock> lock = UucpLock::Acquire(path, lock_dir, error, &lock_failure);
  if (!lock) {
    *failure = lock_failure == UucpLock::Failure::kHeld ? Failure::kHeld : Failure::kError;
    return nullptr;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int code = errno;
    *error = "cannot open " + path + ": " + std::strerror(code);
    *failure = code == ENOENT || code == ENODEV || code == ENXIO ? Failure::kMissing
               : code == EBUSY                                   ? Failure::kHeld
                                                                 : Failure::kError;
    return nullptr;
  }
  if (!::isatty(fd) || !SetRawMode(fd)) {
    *error = path + " is not a serial port";
    *failure = Failure::kError;
    ::close(fd);
    return nullptr;
  }
  RaiseDtr(fd);
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    *failure = Failure::kError;
    ::close(fd);
    return nullptr;
  }
  *failure = Failure::kNone;
  return std::unique_ptr<SerialPort>(new SerialPort(path, fd, wake[0], wake[1], std::move(lock)));
}

SerialPort::SerialPort(std::string path, int fd, int wake_read, int wake_write,
                       std::unique_ptr<UucpLock> lock)
    : path_(std::move(path)),
      fd_(fd),
      wake_read_(wake_read),
      wake_write_(wake_write),
      lock_(std::move(lock)) {}

SerialPort::~SerialPort() {
  if (reader_.joinable()) {
    const char stop = 0;
    [[maybe_unused]] const ssize_t ignored = ::write(wake_write_, &stop, 1);
    reader_.join();
  }
  ::close(fd_);  // HUPCL drops DTR here
  ::close(wake_read_);
  ::close(wake_write_);
}

long SerialPort::Write(std::string_view bytes) {
  if (gone_) return -1;
  if (bytes.empty()) return 0;
  const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
  if (written >= 0) return written;
  if (errno == EAGAIN || errno == EINTR) return 0;
  gone_ = true;
  return -1;
}

bool SerialPort::WriteAll(std::string_view bytes, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!bytes.empty()) {
    const long written = Write(bytes);
    if (written < 0) return false;
    bytes.remove_prefix(static_cast<size_t>(written));
    if (bytes.empty()) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLOUT, 0};
    ::poll(&p, 1, static_cast<int>(left.count()));
  }
  return true;
}

SerialPort::ReadStatus SerialPort::ReadFor(int timeout_ms, std::string* out) {
  if (gone_) return ReadStatus::kGone;
  pollfd p{fd_, POLLIN, 0};
  const int ready = ::poll(&p, 1, timeout_ms);
  if (ready == 0) return ReadStatus::kTimeout;
  char buffer[512];
  const ssize_t n = ::read(fd_, buffer, sizeof buffer);
  if (n > 0) {
    out->append(buffer, static_cast<size_t>(n));
    return ReadStatus::kData;
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return ReadStatus::kTimeout;
  gone_ = true;
  return ReadStatus::kGone;
}

void SerialPort::StartReader(platform::MessageLoop& loop, std::function<void(std::string)> on_data,
                             std::function<void(std::string)> on_gone) {
  reader_tasks_ = std::make_unique<platform::TaskGroup>(loop);
  reader_ = std::thread(&SerialPort::ReaderMain, this, std::move(on_data), std::move(on_gone));
}

void SerialPort::ReaderMain(std::function<void(std::string)> on_data,
                            std::function<void(std::string)> on_gone) {
  // The tasks hold the callbacks; the group runs them only while the port exists.
  auto data = std::make_shared<std::function<void(std::string)>>(std::move(on_data));
  auto gone = std::make_shared<std::function<void(std::string)>>(std::move(on_gone));
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_read_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) return;
    char buffer[1024];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n > 0) {
      std::string bytes(buffer, static_cast<size_t>(n));
      reader_tasks_->Post([data, bytes = std::move(bytes)] { (*data)(bytes); });
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    const std::string reason =
        n == 0 ? std::string("end of file") : std::string(std::strerror(errno));
    reader_tasks_->Post([this, gone, reason] {
      gone_ = true;
      (*gone)(reason);
    });
    return;
  }
}

void SerialPort::DiscardOutput() { ::tcflush(fd_, TCOFLUSH); }

void SerialPort::PulseDtr() {
  int bits = TIOCM_DTR;
  if (::ioctl(fd_, TIOCMBIC, &bits) != 0) return;
  ::usleep(200 * 1000);  // long enough for &D2 to take effect; rare (hang-up only)
  ::ioctl(fd_, TIOCMBIS, &bits);
}

}  // namespace telvane::linesvc
