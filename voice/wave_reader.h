// Reads a RIFF "WAVE" file forward through the platform's multimedia file I/O: the format
// chunk whole, then the sound data in pieces.
//
//   WaveReader reader;
//   reader.Open(name);                             // a failure shows in the next step
//   if (reader.FindForm() != 0 || reader.FindFormat() != 0) ...;
//   if (!reader.ReadFormat()) ...;                 // reader.Format(), reader.FormatSize()
//   if (reader.FindData() != 0) ...;               // reader.DataSize()
//   LONG got = reader.Read(buffer, count);         // -1 on failure
//
// The reader does not look into the format block: whether the sound can be played is the
// wave output's call. It owns the open file and the format block; both go with it.
// Not thread-safe: used on the thread that plays.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/mmsystem.h"

namespace telvane {

class WaveReader {
 public:
  WaveReader() = default;
  ~WaveReader() { Close(); }
  WaveReader(WaveReader&& other) noexcept;
  WaveReader& operator=(WaveReader&& other) noexcept;
  WaveReader(const WaveReader&) = delete;
  WaveReader& operator=(const WaveReader&) = delete;

  // Opens the file for buffered reading; closes a file opened before.
  void Open(const std::string& file_name);
  bool IsOpen() const { return file_ != nullptr; }
  // Closes the file and drops the format block. Nothing when nothing is open.
  void Close();

  // Finds the first top-level RIFF chunk of form "WAVE" and stands at its first subchunk.
  // 0 on success, a multimedia error otherwise (also when no file is open).
  MMRESULT FindForm();
  // Finds the "fmt " chunk inside the form and stands at its data.
  MMRESULT FindFormat();
  // Reads the format chunk into a block of exactly its size. False when the read fails or
  // the chunk is larger than any format block can be. FormatSize() is what the file gave,
  // never more: a chunk that ends early is as long as what was read.
  bool ReadFormat();
  // Whether the block holds every byte its own fields claim. A format other than plain PCM
  // counts extra bytes in its extra-size field, and a wave output reads that many from the
  // block it is handed; a block that claims more than was read must not reach one (it is a
  // damaged file, to be refused as a format nobody plays).
  bool FormatIsWhole() const;
  const WAVEFORMATEX* Format() const {
    return reinterpret_cast<const WAVEFORMATEX*>(format_.get());
  }
  DWORD FormatSize() const { return format_size_; }
  void ReleaseFormat();
  // Leaves the format chunk and finds the "data" chunk after it; DataSize() is its size.
  MMRESULT FindData();
  DWORD DataSize() const { return chunk_.cksize; }
  // Reads up to count bytes of sound in file order: the number read, or -1 on failure.
  LONG Read(char* buffer, LONG count);

 private:
  struct FileCloser {
    void operator()(HMMIO file) const { mmioClose(file, 0); }
  };

  std::unique_ptr<HMMIO__, FileCloser> file_;
  MMCKINFO riff_chunk_{};
  // The "fmt " chunk, then the "data" chunk.
  MMCKINFO chunk_{};
  std::unique_ptr<uint8_t[]> format_;
  DWORD format_size_ = 0;
};

}  // namespace telvane
