// The RIFF walk over the platform's multimedia file I/O: which files yield a format block and
// a data chunk, and what the reader hands on from them.
#include "voice/wave_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/wave_files.h"

namespace telvane {
namespace {

using namespace testing_wave;

class WaveReaderTest : public ::testing::Test {
 protected:
  WaveReaderTest() {
    dir_ = std::filesystem::temp_directory_path() /
           ("telvane_reader_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  ~WaveReaderTest() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Writes the bytes to a file and opens a reader on it.
  WaveReader OpenBytes(const std::string& bytes) {
    const auto path = dir_ / "test.wav";
    WriteFile(path, bytes);
    WaveReader reader;
    reader.Open(path.string());
    return reader;
  }

  // Walks to the data chunk the way playback does; fails the test at the first refusal.
  static void WalkToData(WaveReader& reader) {
    ASSERT_EQ(reader.FindForm(), 0u);
    ASSERT_EQ(reader.FindFormat(), 0u);
    ASSERT_TRUE(reader.ReadFormat());
    ASSERT_EQ(reader.FindData(), 0u);
  }

  static std::string ReadAll(WaveReader& reader, LONG piece) {
    std::string out;
    std::vector<char> buffer(static_cast<size_t>(piece));
    for (;;) {
      const LONG got = reader.Read(buffer.data(), piece);
      EXPECT_NE(got, -1);
      if (got <= 0) return out;
      out.append(buffer.data(), static_cast<size_t>(got));
    }
  }

  std::filesystem::path dir_;
};

// A canonical 44-byte-header file: a 16-byte format block and the data from offset 44.
TEST_F(WaveReaderTest, CanonicalFileGivesFormatAndData) {
  const std::vector<int16_t> samples = Ramp(1000);
  WaveReader reader = OpenBytes(LineWave(samples));
  ASSERT_TRUE(reader.IsOpen());
  WalkToData(reader);
  EXPECT_EQ(reader.FormatSize(), 16u);
  EXPECT_EQ(reader.Format()->wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(reader.Format()->nSamplesPerSec, 8000u);
  EXPECT_EQ(reader.Format()->wBitsPerSample, 16u);
  EXPECT_EQ(reader.DataSize(), 2000u);
  EXPECT_EQ(ReadAll(reader, 300), Samples16(samples));
}

// Chunks other than the two it needs are stepped over, odd sizes with their pad byte, and
// an extended format block is handed on whole.
TEST_F(WaveReaderTest, SkipsOtherChunksAndKeepsExtendedFormatWhole) {
  const std::string extended = PcmFormat(2, 44100, 16) + Le(22, 2) + std::string(22, '\x5A');
  WaveReader reader =
      OpenBytes(Riff("WAVE", Chunk("JUNK", "abc") + Chunk("fmt ", extended) + Chunk("LIST", "odd") +
                                 Chunk("fact", "1234") + Chunk("data", "0123456789")));
  WalkToData(reader);
  ASSERT_EQ(reader.FormatSize(), 40u);
  EXPECT_EQ(std::memcmp(reader.Format(), extended.data(), extended.size()), 0);
  EXPECT_EQ(ReadAll(reader, 4), "0123456789");
}

// A format block shorter than the fixed fields comes with zeros after it, never heap bytes.
TEST_F(WaveReaderTest, ShortFormatIsPaddedWithZeros) {
  WaveReader reader = OpenBytes(Riff("WAVE", Chunk("fmt ", Le(1, 2)) + Chunk("data", "")));
  WalkToData(reader);
  EXPECT_EQ(reader.FormatSize(), 2u);
  EXPECT_EQ(reader.Format()->wFormatTag, 1u);
  EXPECT_EQ(reader.Format()->nChannels, 0u);
  EXPECT_EQ(reader.Format()->cbSize, 0u);
}

// Files that are not RIFF "WAVE", or lack a chunk in the order the walk needs, are refused
// at the step that cannot find what it looks for.
TEST_F(WaveReaderTest, RefusesFilesWithoutTheNeededChunks) {
  const std::string fmt = Chunk("fmt ", PcmFormat(1, 8000, 16));
  {
    SCOPED_TRACE("text file");
    WaveReader reader = OpenBytes("hello, this is not a wave file\n");
    EXPECT_NE(reader.FindForm(), 0u);
  }
  {
    SCOPED_TRACE("another RIFF form");
    WaveReader reader = OpenBytes(Riff("AVI ", fmt + Chunk("data", "ab")));
    EXPECT_NE(reader.FindForm(), 0u);
  }
  {
    SCOPED_TRACE("no format chunk");
    WaveReader reader = OpenBytes(Riff("WAVE", Chunk("data", "ab")));
    ASSERT_EQ(reader.FindForm(), 0u);
    EXPECT_NE(reader.FindFormat(), 0u);
  }
  {
    SCOPED_TRACE("data before the format");
    WaveReader reader = OpenBytes(Riff("WAVE", Chunk("data", "ab") + fmt));
    ASSERT_EQ(reader.FindForm(), 0u);
    ASSERT_EQ(reader.FindFormat(), 0u);
    ASSERT_TRUE(reader.ReadFormat());
    EXPECT_NE(reader.FindData(), 0u);
  }
  {
    SCOPED_TRACE("no data chunk");
    WaveReader reader = OpenBytes(Riff("WAVE", fmt + Chunk("LIST", "info")));
    ASSERT_EQ(reader.FindForm(), 0u);
    ASSERT_EQ(reader.FindFormat(), 0u);
    ASSERT_TRUE(reader.ReadFormat());
    EXPECT_NE(reader.FindData(), 0u);
  }
}

// A file that cannot be opened shows as a refusal of the first search, and reads fail.
TEST_F(WaveReaderTest, MissingFileFailsAtTheFirstStep) {
  WaveReader reader;
  reader.Open((dir_ / "missing.wav").string());
  EXPECT_FALSE(reader.IsOpen());
  EXPECT_NE(reader.FindForm(), 0u);
  EXPECT_FALSE(reader.ReadFormat());
  char byte = 0;
  EXPECT_EQ(reader.Read(&byte, 1), -1);
}

// A format chunk larger than any format block can be is a damaged file, not an allocation.
TEST_F(WaveReaderTest, OversizedFormatChunkIsARefusedRead) {
  WaveReader reader = OpenBytes(
      Riff("WAVE", Chunk("fmt ", PcmFormat(1, 8000, 16), 0x7FFFFFF0) + Chunk("data", "ab")));
  ASSERT_EQ(reader.FindForm(), 0u);
  ASSERT_EQ(reader.FindFormat(), 0u);
  EXPECT_FALSE(reader.ReadFormat());
  EXPECT_EQ(reader.Format(), nullptr);
}

// An empty data chunk has size 0 and reads nothing; a chunk claiming more than the file
// holds reads only what is there.
TEST_F(WaveReaderTest, DataSizesAsClaimedAndReadsAsPresent) {
  {
    WaveReader reader = OpenBytes(LineWave({}));
    WalkToData(reader);
    EXPECT_EQ(reader.DataSize(), 0u);
    EXPECT_EQ(ReadAll(reader, 16), "");
  }
  {
    const std::string present = Samples16(Ramp(50));
    WaveReader reader = OpenBytes(
        Riff("WAVE", Chunk("fmt ", PcmFormat(1, 8000, 16)) + Chunk("data", present, 100000)));
    WalkToData(reader);
    EXPECT_EQ(reader.DataSize(), 100000u);
    EXPECT_EQ(ReadAll(reader, 64), present);
  }
}

// The format block is trusted only as far as the file gave it: a chunk that ends early has
// the size that was read, and a format whose extra-size field claims more bytes than the
// block holds (an extensible format of 18 bytes saying 22 more follow) is not whole, since a
// wave output would read past the block for them.
TEST_F(WaveReaderTest, FormatIsTrustedOnlyAsFarAsItWasRead) {
  const std::string extensible = PcmFormat(2, 44100, 16).replace(0, 2, Le(0xFFFE, 2)) + Le(22, 2);
  {
    WaveReader reader = OpenBytes(Riff("WAVE", Chunk("fmt ", extensible) + Chunk("data", "ab")));
    WalkToData(reader);
    EXPECT_EQ(reader.FormatSize(), 18u);
    EXPECT_FALSE(reader.FormatIsWhole());
  }
  {
    WaveReader reader = OpenBytes(Riff("WAVE", "fmt " + Le(40, 4) + extensible));
    ASSERT_EQ(reader.FindForm(), 0u);
    ASSERT_EQ(reader.FindFormat(), 0u);
    ASSERT_TRUE(reader.ReadFormat());
    EXPECT_EQ(reader.FormatSize(), 18u);
    EXPECT_FALSE(reader.FormatIsWhole());
  }
  {
    WaveReader reader = OpenBytes(LineWave(Ramp(4)));
    WalkToData(reader);
    EXPECT_TRUE(reader.FormatIsWhole());
  }
}

// Moving a reader moves the open file; closing lets it go and ends reading.
TEST_F(WaveReaderTest, MoveAndCloseOwnTheFile) {
  WaveReader first = OpenBytes(LineWave(Ramp(10)));
  WalkToData(first);
  WaveReader second = std::move(first);
  EXPECT_FALSE(first.IsOpen());
  ASSERT_TRUE(second.IsOpen());
  EXPECT_EQ(second.DataSize(), 20u);
  EXPECT_EQ(second.FormatSize(), 16u);
  char buffer[4];
  EXPECT_EQ(second.Read(buffer, 4), 4);
  second.Close();
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(second.Format(), nullptr);
  EXPECT_EQ(second.Read(buffer, 4), -1);
}

}  // namespace
}  // namespace telvane
