// Reading the lines file: sections in order, the service's keys, what is left out and why.
#include "linesvc/lines_file.h"

#include <gtest/gtest.h>

namespace telvane::linesvc {
namespace {

// Lines keep file order, names keep their case, and the service's keys are read.
TEST(LinesFileTest, ReadsLinesInOrderWithMediaFeaturesAndDriverKeys) {
  const LinesConfig config = ParseLinesFile(R"(
; a comment
# another
[service]
log = "/tmp/x.log"

[line Sim Voice 1]
driver = SIM
media = voice, data
number.5551234 = busy

[LINE  Second Line ]
driver = sim
media = interactive
features =
)",
                                            "lines.ini");
  EXPECT_TRUE(config.problems.empty()) << config.problems.front();
  EXPECT_EQ(config.log_path, "/tmp/x.log");
  ASSERT_EQ(config.lines.size(), 2u);
  EXPECT_EQ(config.lines[0].name, "Sim Voice 1");
  EXPECT_EQ(config.lines[0].driver, "sim");
  EXPECT_EQ(config.lines[0].media_modes, LINEMEDIAMODE_AUTOMATEDVOICE | LINEMEDIAMODE_DATAMODEM);
  EXPECT_EQ(config.lines[0].line_features, LINEFEATURE_MAKECALL);
  ASSERT_EQ(config.lines[0].driver_keys.size(), 1u);
  EXPECT_EQ(config.lines[0].driver_keys[0].key, "number.5551234");
  EXPECT_EQ(config.lines[0].driver_keys[0].value, "busy");
  EXPECT_EQ(config.lines[0].driver_keys[0].file_line, 10);
  EXPECT_EQ(config.lines[1].name, "Second Line");
  EXPECT_EQ(config.lines[1].media_modes, LINEMEDIAMODE_INTERACTIVEVOICE);
  EXPECT_EQ(config.lines[1].line_features, 0u);
}

// Each fault costs only its own line, and the problem text names file, line and reason.
TEST(LinesFileTest, FaultyLinesAreLeftOutWithAReason) {
  const LinesConfig config = ParseLinesFile(R"(stray = 1
[line A]
driver = sim
media = voice, telepathy
[line B]
media = voice
[line]
driver = sim
[line C]
driver = sim
driver = sim
[line D]
driver = sim
just words
[line a]
driver = sim
[phone X]
[line Good]
driver = sim
[service]
colour = blue
)",
                                            "f.ini");
  ASSERT_EQ(config.lines.size(), 1u);
  EXPECT_EQ(config.lines[0].name, "Good");
  const std::vector<std::string> expected = {
      "f.ini:1: text before the first section ignored",
      "f.ini:2: [line A] left out: line 4: unknown media 'telepathy'",
      "f.ini:5: [line B] left out: no driver given",
      "f.ini:7: [line] left out: the line has no name",
      "f.ini:9: [line C] left out: line 11: key 'driver' repeated",
      "f.ini:12: [line D] left out: line 14: not 'key = value'",
      "f.ini:15: [line a] left out: a line of that name comes earlier",
      "f.ini:17: section [phone X] ignored",
      "f.ini:21: unknown key 'colour' in [service] ignored",
  };
  ASSERT_EQ(config.problems.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(config.problems[i].rfind(expected[i], 0), 0u)
        << config.problems[i] << "\nexpected to start with\n"
        << expected[i];
  }
}

// A file that is named but cannot be read gives no lines and says so.
TEST(LinesFileTest, UnreadableFileGivesNoLines) {
  const LinesConfig config = ReadLinesFile("/nonexistent/telvane/lines.ini");
  EXPECT_TRUE(config.lines.empty());
  ASSERT_EQ(config.problems.size(), 1u);
  EXPECT_NE(config.problems[0].find("cannot be read"), std::string::npos);
}

}  // namespace
}  // namespace telvane::linesvc
