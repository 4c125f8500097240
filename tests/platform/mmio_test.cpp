#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/mmsystem.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

void Put32(Bytes& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
void PutId(Bytes& out, const char* id) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(id[i]));
}

// A chunk as it sits in a file: id, the size given (the real size unless stated), data and
// the pad byte after odd-sized data.
Bytes Chunk(const char* id, const Bytes& data) {
  Bytes out;
  PutId(out, id);
  Put32(out, static_cast<uint32_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  if (data.size() % 2) out.push_back(0);
  return out;
}
Bytes ChunkClaiming(const char* id, uint32_t size, const Bytes& data) {
  Bytes out;
  PutId(out, id);
  Put32(out, size);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

// A RIFF form holding the subchunks in order.
Bytes Riff(const char* form, const std::vector<Bytes>& chunks) {
  Bytes body;
  PutId(body, form);
  for (const Bytes& chunk : chunks) body.insert(body.end(), chunk.begin(), chunk.end());
  Bytes out;
  PutId(out, "RIFF");
  Put32(out, static_cast<uint32_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes Pcm16Format() {
  Bytes out;
  auto put16 = [&out](uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
  };
  put16(WAVE_FORMAT_PCM);
  put16(1);
  Put32(out, 8000);
  Put32(out, 16000);
  put16(2);
  put16(16);
  return out;
}

Bytes Sequence(size_t size, uint8_t first = 1) {
  Bytes out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(first + i);
  return out;
}

class MmioTest : public testing::Test {
 protected:
  MmioTest()
      : dir_(fs::temp_directory_path() /
             ("telvane_mmio_" + std::to_string(getpid()) + "_" +
              testing::UnitTest::GetInstance()->current_test_info()->name())) {
    fs::create_directories(dir_);
  }
  ~MmioTest() override {
    if (file_) mmioClose(file_, 0);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // Writes the bytes to a file of the test and opens it as the player does.
  HMMIO Open(const Bytes& bytes) {
    const fs::path path = dir_ / "sound.wav";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    std::string name = path.string();
    file_ = mmioOpen(name.data(), nullptr, MMIO_READ | MMIO_ALLOCBUF);
    return file_;
  }

  MMRESULT FindRiffWave() {
    riff_.fccType = mmioStringToFOURCC("WAVE", 0);
    return mmioDescend(file_, &riff_, nullptr, MMIO_FINDRIFF);
  }
  MMRESULT FindChunk(const char* id) {
    chunk_.ckid = mmioStringToFOURCC(id, 0);
    return mmioDescend(file_, &chunk_, &riff_, MMIO_FINDCHUNK);
  }
  Bytes ReadBytes(LONG count) {
    Bytes out(static_cast<size_t>(count));
    const LONG got = mmioRead(file_, reinterpret_cast<HPSTR>(out.data()), count);
    out.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return out;
  }

  fs::path dir_;
  HMMIO file_ = nullptr;
  MMCKINFO riff_{};
  MMCKINFO chunk_{};
};

// The canonical 44-byte header: format at offset 20, sound from offset 44, read whole.
TEST_F(MmioTest, CanonicalFileGivesFormatAndDataAtTheirOffsets) {
  const Bytes sound = Sequence(10);
  ASSERT_NE(Open(Riff("WAVE", {Chunk("fmt ", Pcm16Format()), Chunk("data", sound)})), nullptr);
  ASSERT_EQ(FindRiffWave(), MMSYSERR_NOERROR);
  EXPECT_EQ(riff_.ckid, mmioFOURCC('R', 'I', 'F', 'F'));
  EXPECT_EQ(riff_.cksize, 4u + 24u + 18u);
  EXPECT_EQ(riff_.dwDataOffset, 8u);
  ASSERT_EQ(FindChunk("fmt "), MMSYSERR_NOERROR);
  EXPECT_EQ(chunk_.cksize, 16u);
  EXPECT_EQ(chunk_.dwDataOffset, 20u);
  EXPECT_EQ(ReadBytes(16), Pcm16Format());
  ASSERT_EQ(mmioAscend(file_, &chunk_, 0), MMSYSERR_NOERROR);
  ASSERT_EQ(FindChunk("data"), MMSYSERR_NOERROR);
  EXPECT_EQ(chunk_.cksize, 10u);
  EXPECT_EQ(chunk_.dwDataOffset, 44u);
  EXPECT_EQ(ReadBytes(10), sound);
  EXPECT_EQ(ReadBytes(10), Bytes{});  // the end of the file reads 0 bytes
  EXPECT_EQ(mmioClose(file_, 0), MMSYSERR_NOERROR);
  file_ = nullptr;
}

// List, fact and unknown chunks, before and between the two wanted ones, are stepped over;
// a list's own form type does not make it match.
TEST_F(MmioTest, OtherChunksAreSkipped) {
  Bytes list_body;
  PutId(list_body, "INFO");
  const Bytes info = Chunk("INAM", Sequence(6));
  list_body.insert(list_body.end(), info.begin(), info.end());
  const Bytes sound = Sequence(8, 50);
  ASSERT_NE(Open(Riff("WAVE", {Chunk("JUNK", Sequence(12)), Chunk("fmt ", Pcm16Format()),
                               Chunk("LIST", list_body), Chunk("fact", Sequence(4)),
                               Chunk("data", sound)})),
            nullptr);
  ASSERT_EQ(FindRiffWave(), MMSYSERR_NOERROR);
  ASSERT_EQ(FindChunk("fmt "), MMSYSERR_NOERROR);
  EXPECT_EQ(chunk_.dwDataOffset, 12u + 20u + 8u);
  ASSERT_EQ(mmioAscend(file_, &chunk_, 0), MMSYSERR_NOERROR);
  ASSERT_EQ(FindChunk("data"), MMSYSERR_NOERROR);
  EXPECT_EQ(ReadBytes(8), sound);
}

// Format chunks of 18 and 40 bytes are found with their full size and read whole.
TEST_F(MmioTest, ExtendedFormatChunksAreReadWhole) {
  for (const size_t size : {size_t{18}, size_t{40}}) {
    SCOPED_TRACE(size);
    const Bytes format = Sequence(size, 3);
    ASSERT_NE(Open(Riff("WAVE", {Chunk("fmt ", format), Chunk("data", Sequence(2))})), nullptr);
    ASSERT_EQ(FindRiffWave(), MMSYSERR_NOERROR);
    ASSERT_EQ(FindChunk("fmt "), MMSYSERR_NOERROR);
    EXPECT_EQ(chunk_.cksize, size);
    EXPECT_EQ(ReadBytes(static_cast<LONG>(size)), format);
    ASSERT_EQ(mmioAscend(file_, &chunk_, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(FindChunk("data"), MMSYSERR_NOERROR);
    mmioClose(file_, 0);
    file_ = nullptr;
  }
}

// Searches go forward only: a data chunk before the format chunk is not found after it,
// and neither is a chunk the search has already passed.
TEST_F(MmioTest, SearchesNeverGoBack) {
  ASSERT_NE(Open(Riff("WAVE", {Chunk("data", Sequence(4)), Chunk("fmt ", Pcm16Format())})),
            nullptr);
  ASSERT_EQ(FindRiffWave(), MMSYSERR_NOERROR);
  ASSERT_EQ(FindChunk("fmt "), MMSYSERR_NOERROR);
  ASSERT_EQ(mmioAscend(file_, &chunk_, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(FindChunk("data"), MMIOERR_CHUNKNOTFOUND);
  EXPECT_EQ(FindChunk("fmt "), MMIOERR_CHUNKNOTFOUND);
}

// Chunk ids match exactly: case and the trailing blank count.
TEST_F(MmioTest, ChunkIdsMatchExactly) {
  ASSERT_NE(Open(Riff("WAVE", {Chunk("FMT ", Pcm16Format()), Chunk("fmt", Sequence(2)),
                               Chunk("DATA", Sequence(2))})),
            nullptr);
  ASSERT_EQ(FindRiffWave(), MMSYSERR_NOERROR);
  EXPECT_EQ(FindChunk("fmt "), MMIOERR_CHUNKNOTFOUND);
  EXPECT_EQ(FindChunk("data"), MMIOERR_CHUNKNOTFOUND);
}

// An odd-sized chunk is followed by a pad byte: the search steps over it, and leaving an
// odd-sized format chunk lands past its pad byte.
TEST_F(MmioTest, OddSizedChunksArePadded) {
  const Bytes sound = Sequence(5, 90);
  ASSERT_NE(Open(Riff("WAVE", {Chunk("odd ", Sequence(3)), Chunk("fmt ", Sequence(19)),
                               Chunk("data", sound)})),
            nullptr);
  ASSERT_EQ(FindRiffWave(), MMSYSERR_NOERROR);
  ASSERT_EQ(FindChunk("fmt "), MMSYSERR_NOERROR);
  EXPECT_EQ(chunk_.dwDataOffset, 12u + 12u + 8u);
  EXPECT_EQ(ReadBytes(4).size(), 4u);  // part of the chunk only: ascend still finds its end
  ASSERT_EQ(mmioAscend(file_, &chunk_, 0), MMSYSERR_NOERROR);
  ASSERT_EQ(FindChunk("data"), MMSYSERR_NOERROR);
  EXPECT_EQ(chunk_.cksize, 5u);
  EXPECT_EQ(ReadBytes(5), sound);
}

// A form of another type is stepped over to reach the WAVE form after it; a file without
// any RIFF WAVE form, such as text, is refused.
TEST_F(MmioTest, FindsTheWaveFormOnly) {
  Bytes file = Riff("AVI ", {Chunk("data", Sequence(4))});
  const Bytes wave = Riff("WAVE", {Chunk("fmt ", Pcm16Format())});
  file.insert(file.end(), wave.begin(), wave.end());
  ASSERT_NE(Open(file), nullptr);
  ASSERT_EQ(FindRiffWave(), MMSYSERR_NOERROR);
  EXPECT_EQ(riff_.dwDataOffset, 24u + 8u);
  EXPECT_EQ(FindChunk("fmt "), MMSYSERR_NOERROR);
  mmioClose(file_, 0);

  const std::string text = "This is not a sound file at all, just some words.\n";
  ASSERT_NE(Open(Bytes(text.begin(), text.end())), nullptr);
  EXPECT_EQ(FindRiffWave(), MMIOERR_CHUNKNOTFOUND);
  mmioClose(file_, 0);

  ASSERT_NE(Open(Bytes{}), nullptr);
  EXPECT_EQ(FindRiffWave(), MMIOERR_CHUNKNOTFOUND);
}

// Names that are no readable file give a null handle; the name is used as given.
TEST_F(MmioTest, UnopenableFilesGiveNoHandle) {
  std::string missing = (dir_ / "missing.wav").string();
  EXPECT_EQ(mmioOpen(missing.data(), nullptr, MMIO_READ | MMIO_ALLOCBUF), nullptr);
  std::string directory = dir_.string();
  EXPECT_EQ(mmioOpen(directory.data(), nullptr, MMIO_READ | MMIO_ALLOCBUF), nullptr);
  EXPECT_EQ(mmioOpen(nullptr, nullptr, MMIO_READ), nullptr);
  const fs::path mixed = dir_ / "Alert.WAV";
  std::ofstream(mixed) << "RIFF";
  std::string lower = (dir_ / "alert.wav").string();
  EXPECT_EQ(mmioOpen(lower.data(), nullptr, MMIO_READ), nullptr);
  std::string exact = mixed.string();
  HMMIO file = mmioOpen(exact.data(), nullptr, MMIO_READ);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(mmioClose(file, 0), MMSYSERR_NOERROR);
}

// Sizes from a broken or hostile file never make a search run past its parent or the end
// of the file, nor loop: each of these files ends the search with "not found".
TEST_F(MmioTest, HostileSizesEndTheSearchCleanly) {
  struct Case {
    const char* what;
    Bytes file;
  };
  Bytes short_form = Riff("WAVE", {Chunk("fmt ", Pcm16Format()), Chunk("data", Sequence(4))});
  short_form[4] = 4 + 24;  // the form claims to end after its format chunk
  Bytes cut_header = Riff("WAVE", {Bytes{'J', 'U', 'N', 'K', 2}});
  cut_header[4] = 100;  // the form claims more than the file holds
  const std::vector<Case> cases = {
      {"a chunk claiming 4 GiB hides what follows",
       Riff("WAVE", {ChunkClaiming("big ", 0xFFFFFFFF, Sequence(4)), Chunk("data", Bytes(4))})},
      {"a chunk reaching past its form",
       Riff("WAVE", {ChunkClaiming("big ", 1000, Bytes(4)), Chunk("data", Bytes(4))})},
      {"the file ends inside a chunk header", cut_header},
      {"the data lies outside its form", short_form},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NE(Open(c.file), nullptr);
    ASSERT_EQ(FindRiffWave(), MMSYSERR_NOERROR);
    EXPECT_EQ(FindChunk("data"), MMIOERR_CHUNKNOTFOUND);
    mmioClose(file_, 0);
    file_ = nullptr;
  }
}

// A form whose size field claims 4 GiB, and a data chunk longer than the file, are still
// found; reading the data gives what the file holds and then 0, never more.
TEST_F(MmioTest, DataLongerThanTheFileReadsWhatExists) {
  Bytes file =
      Riff("WAVE", {Chunk("fmt ", Pcm16Format()), ChunkClaiming("data", 0x7FFFFFF0, Sequence(6))});
  file[4] = file[5] = file[6] = file[7] = 0xFF;
  ASSERT_NE(Open(file), nullptr);
  ASSERT_EQ(FindRiffWave(), MMSYSERR_NOERROR);
  ASSERT_EQ(FindChunk("fmt "), MMSYSERR_NOERROR);
  ASSERT_EQ(mmioAscend(file_, &chunk_, 0), MMSYSERR_NOERROR);
  ASSERT_EQ(FindChunk("data"), MMSYSERR_NOERROR);
  EXPECT_EQ(chunk_.cksize, 0x7FFFFFF0u);
  EXPECT_EQ(ReadBytes(48000), Sequence(6));
  EXPECT_EQ(ReadBytes(48000), Bytes{});
  // Ascending out of it lands past the end of the file: nothing more is found there.
  ASSERT_EQ(mmioAscend(file_, &chunk_, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(FindChunk("data"), MMIOERR_CHUNKNOTFOUND);
}

// Reads return the file's bytes in order whatever the piece sizes, buffered or not, across
// the I/O buffer's edges; bad arguments read nothing and say so.
TEST_F(MmioTest, ReadsDeliverTheBytesInOrder) {
  const Bytes content = Sequence(50000, 7);
  const fs::path path = dir_ / "plain.bin";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(content.data()),
             static_cast<std::streamsize>(content.size()));
  std::string name = path.string();
  for (const DWORD flags : {MMIO_READ | MMIO_ALLOCBUF, MMIO_READ}) {
    SCOPED_TRACE(flags);
    file_ = mmioOpen(name.data(), nullptr, flags);
    ASSERT_NE(file_, nullptr);
    Bytes got;
    for (const LONG piece : {1, 3000, 8191, 9000, 5, 48000}) {
      const Bytes part = ReadBytes(piece);
      got.insert(got.end(), part.begin(), part.end());
    }
    EXPECT_EQ(got, content);
    EXPECT_EQ(mmioRead(file_, nullptr, 10), -1);
    char byte = 0;
    EXPECT_EQ(mmioRead(file_, &byte, -1), -1);
    EXPECT_EQ(mmioRead(file_, &byte, 0), 0);
    mmioClose(file_, 0);
    file_ = nullptr;
  }
}

// Opening for anything but reading is refused: this reader cannot write.
TEST_F(MmioTest, OnlyReadingIsOffered) {
  std::string name = (dir_ / "new.wav").string();
  constexpr DWORD kWrite = 0x1;
  constexpr DWORD kCreate = 0x1000;
  EXPECT_EQ(mmioOpen(name.data(), nullptr, kCreate | kWrite), nullptr);
  EXPECT_FALSE(fs::exists(name));
}

// A closed handle is refused by every function instead of reaching freed memory.
TEST_F(MmioTest, ClosedHandleIsRefused) {
  ASSERT_NE(Open(Riff("WAVE", {Chunk("data", Sequence(4))})), nullptr);
  HMMIO closed = file_;
  ASSERT_EQ(mmioClose(closed, 0), MMSYSERR_NOERROR);
  file_ = nullptr;
  MMCKINFO chunk{};
  char byte = 0;
  EXPECT_EQ(mmioDescend(closed, &chunk, nullptr, MMIO_FINDRIFF), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(mmioAscend(closed, &chunk, 0), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(mmioRead(closed, &byte, 1), -1);
  EXPECT_EQ(mmioClose(closed, 0), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(mmioClose(nullptr, 0), MMSYSERR_INVALHANDLE);
}

// Four-character codes keep the text's case with flags 0, and are blank-padded or cut.
TEST(MmioFourccTest, CodesKeepCaseAndArePadded) {
  EXPECT_EQ(mmioStringToFOURCC("WAVE", 0), mmioFOURCC('W', 'A', 'V', 'E'));
  EXPECT_EQ(mmioStringToFOURCC("fmt ", 0), mmioFOURCC('f', 'm', 't', ' '));
  EXPECT_EQ(mmioStringToFOURCC("data", 0), mmioFOURCC('d', 'a', 't', 'a'));
  EXPECT_EQ(mmioStringToFOURCC("fmt", 0), mmioFOURCC('f', 'm', 't', ' '));
  EXPECT_EQ(mmioStringToFOURCC("datafile", 0), mmioFOURCC('d', 'a', 't', 'a'));
  constexpr UINT kToUpper = 0x0010;
  EXPECT_EQ(mmioStringToFOURCC("wave", kToUpper), mmioFOURCC('W', 'A', 'V', 'E'));
}

}  // namespace
