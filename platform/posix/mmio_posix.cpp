// Multimedia file I/O for systems without it: a read-only RIFF reader with the published
// mmio* names and results.
//
// A handle is a number in a table, never a pointer handed out: a handle used after
// mmioClose is refused instead of reaching freed memory. Positions are kept in 64 bits and
// every chunk step is checked against the end of its parent, so sizes written by a broken
// or hostile file can neither wrap an offset round nor keep a search going for ever.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/handle_table.h"
#include "platform/mmsystem.h"

namespace telvane::platform {
namespace {

// The I/O buffer of a file opened with MMIO_ALLOCBUF, the size Windows gives by default.
constexpr size_t kBufferSize = 8192;

// Open flags we understand: buffering and the sharing modes, which mean nothing for a
// reader of our own. Anything that asks to write, create, delete or parse is refused.
constexpr DWORD kShareModes = 0x00000070;
constexpr DWORD kAcceptedOpenFlags = MMIO_ALLOCBUF | kShareModes;

// MMIO_TOUPPER for mmioStringToFOURCC, and MMIO_FINDLIST for lists inside a form.
constexpr UINT kToUpper = 0x0010;
constexpr UINT kFindList = 0x0040;

constexpr FOURCC kRiff = mmioFOURCC('R', 'I', 'F', 'F');
constexpr FOURCC kList = mmioFOURCC('L', 'I', 'S', 'T');

// Chunk offsets are 32-bit in MMCKINFO: nothing at or past 4 GiB can be described.
constexpr uint64_t kMaxOffset = 0xFFFFFFFF;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// One open file: a position of our own and, when buffered, a window of the file in memory.
// Used by one thread at a time, like the handle it belongs to.
class MmioFile {
 public:
  MmioFile(std::unique_ptr<FileDescriptor> fd, bool buffered)
      : fd_(std::move(fd)), buffer_(buffered ? kBufferSize : 0) {}

  uint64_t position() const { return position_; }
  void Seek(uint64_t position) { position_ = position; }

  // Reads up to size bytes at the position and moves past them. Returns the count read
  // (short only at the end of the file), or -1 when the system reports an error.
  int64_t Read(uint8_t* out, size_t size) {
    size_t done = 0;
    while (done < size) {
      const int64_t got = ReadSome(out + done, size - done);
      if (got < 0) return -1;
      if (got == 0) break;
      done += static_cast<size_t>(got);
      position_ += static_cast<uint64_t>(got);
    }
    return static_cast<int64_t>(done);
  }

 private:
  int64_t ReadSome(uint8_t* out, size_t size) {
    if (buffer_.empty() || size >= buffer_.size()) return ReadAt(position_, out, size);
    if (position_ < buffer_start_ || position_ >= buffer_start_ + buffer_length_) {
      const int64_t got = ReadAt(position_, buffer_.data(), buffer_.size());
      if (got < 0) return -1;
      buffer_start_ = position_;
      buffer_length_ = static_cast<size_t>(got);
      if (got == 0) return 0;
    }
    const size_t offset = static_cast<size_t>(position_ - buffer_start_);
    const size_t count = std::min(size, buffer_length_ - offset);
    std::memcpy(out, buffer_.data() + offset, count);
    return static_cast<int64_t>(count);
  }

  int64_t ReadAt(uint64_t offset, uint8_t* out, size_t size) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return 0;
    for (;;) {
      const ssize_t got = ::pread(fd_->get(), out, size, static_cast<off_t>(offset));
      if (got >= 0) return got;
      if (errno != EINTR) return -1;
    }
  }

  std::unique_ptr<FileDescriptor> fd_;
  std::vector<uint8_t> buffer_;
  uint64_t buffer_start_ = 0;
  size_t buffer_length_ = 0;
  uint64_t position_ = 0;
};

HandleTable<MmioFile, HMMIO>& Handles() {
  static HandleTable<MmioFile, HMMIO> table;
  return table;
}

uint32_t LittleEndian32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

// The header of the chunk at the file's position: id, size and, for RIFF and LIST, the
// form type. Leaves the position at the chunk's data, past the form type. False when the
// header does not fit before end or cannot be read whole.
bool ReadChunkHeader(MmioFile& file, uint64_t end, MMCKINFO& chunk) {
  const uint64_t start = file.position();
  if (start + 8 > end || start + 8 > kMaxOffset) return false;
  uint8_t header[8];
  if (file.Read(header, sizeof header) != static_cast<int64_t>(sizeof header)) return false;
  chunk.ckid = LittleEndian32(header);
  chunk.cksize = LittleEndian32(header + 4);
  chunk.fccType = 0;
  chunk.dwDataOffset = static_cast<DWORD>(start + 8);
  chunk.dwFlags = 0;
  if (chunk.ckid == kRiff || chunk.ckid == kList) {
    uint8_t form[4];
    if (start + 12 > end || file.Read(form, sizeof form) != static_cast<int64_t>(sizeof form)) {
      return false;
    }
    chunk.fccType = LittleEndian32(form);
  }
  return true;
}

bool Matches(const MMCKINFO& found, const MMCKINFO& wanted, UINT flags) {
  if (flags & MMIO_FINDRIFF) return found.ckid == kRiff && found.fccType == wanted.fccType;
  if (flags & kFindList) return found.ckid == kList && found.fccType == wanted.fccType;
  if (flags & MMIO_FINDCHUNK) return found.ckid == wanted.ckid;
  return true;  // no search: descend into whatever chunk is here
}

// The offset just past a chunk's data and its pad byte.
uint64_t ChunkEnd(const MMCKINFO& chunk) {
  const uint64_t size = chunk.cksize;
  return static_cast<uint64_t>(chunk.dwDataOffset) + size + (size & 1);
}

}  // namespace
}  // namespace telvane::platform

using telvane::platform::Handles;
using telvane::platform::MmioFile;

HMMIO mmioOpen(LPSTR file_name, LPMMIOINFO /*info*/, DWORD open_flags) {
  using telvane::platform::FileDescriptor;
  // No caller hands over an info block (it would name custom I/O procedures): ignored.
  if (file_name == nullptr || (open_flags & ~telvane::platform::kAcceptedOpenFlags) != 0) {
    return nullptr;
  }
  // Non-blocking so that a name that turns out to be a FIFO cannot hang the open; only
  // regular files are accepted after that.
  auto fd = std::make_unique<FileDescriptor>(::open(file_name, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd->get() < 0) return nullptr;
  struct stat info {};
  if (::fstat(fd->get(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
  const bool buffered = (open_flags & MMIO_ALLOCBUF) != 0;
  return Handles().Add(std::make_shared<MmioFile>(std::move(fd), buffered));
}

FOURCC mmioStringToFOURCC(LPCSTR text, UINT flags) {
  if (text == nullptr) return 0;
  // Shorter strings are padded with blanks and longer ones cut, as the published function
  // does.
  char code[4] = {' ', ' ', ' ', ' '};
  for (size_t i = 0; i < 4 && text[i] != '\0'; ++i) {
    char c = text[i];
    if ((flags & telvane::platform::kToUpper) && c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
    code[i] = c;
  }
  return mmioFOURCC(code[0], code[1], code[2], code[3]);
}

MMRESULT mmioDescend(HMMIO handle, LPMMCKINFO chunk, const MMCKINFO* parent, UINT flags) {
  using namespace telvane::platform;
  const std::shared_ptr<MmioFile> file = Handles().Find(handle);
  if (!file) return MMSYSERR_INVALHANDLE;
  if (chunk == nullptr) return MMSYSERR_INVALPARAM;
  // A search never leaves its parent; at the top level it may run to the end of the file,
  // where the next header read comes up short.
  const uint64_t end =
      parent ? static_cast<uint64_t>(parent->dwDataOffset) + parent->cksize : kMaxOffset + 1;
  const uint64_t start = file->position();
  const MMCKINFO wanted = *chunk;
  MMCKINFO found{};
  for (;;) {
    const uint64_t here = file->position();
    if (!ReadChunkHeader(*file, end, found)) break;
    if (Matches(found, wanted, flags)) {
      *chunk = found;
      return MMSYSERR_NOERROR;
    }
    // Every step moves forward by at least a header, so the search ends.
    const uint64_t next = ChunkEnd(found);
    if (next <= here || next >= end) break;
    file->Seek(next);
  }
  file->Seek(start);
  return MMIOERR_CHUNKNOTFOUND;
}

MMRESULT mmioAscend(HMMIO handle, LPMMCKINFO chunk, UINT /*flags*/) {
  using namespace telvane::platform;
  const std::shared_ptr<MmioFile> file = Handles().Find(handle);
  if (!file) return MMSYSERR_INVALHANDLE;
  if (chunk == nullptr) return MMSYSERR_INVALPARAM;
  file->Seek(ChunkEnd(*chunk));
  return MMSYSERR_NOERROR;
}

LONG mmioRead(HMMIO handle, HPSTR buffer, LONG count) {
  const std::shared_ptr<MmioFile> file = Handles().Find(handle);
  if (!file || count < 0 || (buffer == nullptr && count > 0)) return -1;
  const int64_t got = file->Read(reinterpret_cast<uint8_t*>(buffer), static_cast<size_t>(count));
  return static_cast<LONG>(got);
}

MMRESULT mmioClose(HMMIO handle, UINT /*flags*/) {
  return Handles().Remove(handle) ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}
