// Reading the lines file: a small INI reader that keeps sections in file order (the profile
// string reader of the platform looks keys up one by one and cannot list sections), the
// service's own keys.
#include "linesvc/lines_file.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <unordered_set>
#include <utility>

#include "platform/lines_file_location.h"
#include "platform/text.h"

namespace telvane::linesvc {

namespace {

// Lines may end in CR LF.
std::string TrimLine(std::string_view text) { return platform::Trim(text, " \t\r\n"); }

// Splits "a, b ,c" into trimmed, lower-case words; empty words are dropped.
std::vector<std::string> SplitList(const std::string& value) {
  std::vector<std::string> words;
  std::stringstream stream(value);
  std::string word;
  while (std::getline(stream, word, ',')) {
    word = platform::LowerCase(TrimLine(word));
    if (!word.empty()) words.push_back(word);
  }
  return words;
}

bool ParseMedia(const std::string& value, DWORD* modes, std::string* error) {
  DWORD result = 0;
  for (const std::string& word : SplitList(value)) {
    if (word == "voice") {
      result |= LINEMEDIAMODE_AUTOMATEDVOICE;
    } else if (word == "interactive") {
      result |= LINEMEDIAMODE_INTERACTIVEVOICE;
    } else if (word == "data") {
      result |= LINEMEDIAMODE_DATAMODEM;
    } else if (word == "fax") {
      result |= LINEMEDIAMODE_G3FAX;
    } else {
      *error = "unknown media '" + word + "' (voice, interactive, data or fax)";
      return false;
    }
  }
  if (result == 0) {
    *error = "no media mode";
    return false;
  }
  *modes = result;
  return true;
}

bool ParseFeatures(const std::string& value, DWORD* features, std::string* error) {
  DWORD result = 0;
  for (const std::string& word : SplitList(value)) {
    if (word == "makecall") {
      result |= LINEFEATURE_MAKECALL;
    } else {
      *error = "unknown feature '" + word + "' (makecall)";
      return false;
    }
  }
  *features = result;
  return true;
}

// A section being read: its header line, name and raw keys in order.
struct Section {
  std::string header;
  int file_line = 0;
  std::vector<DriverKey> keys;
  std::unordered_set<std::string> names;  // of the keys, to find one given twice at once
  std::string error;                      // the first structural fault found inside it
};

// Turns a "[line NAME]" section into a line configuration, or explains why it cannot be used.
bool BuildLine(const Section& section, const std::string& name, LineConfig* line,
               std::string* error) {
  line->name = name;
  line->file_line = section.file_line;
  bool have_driver = false;
  for (const DriverKey& key : section.keys) {
    std::string reason;
    if (key.key == "driver") {
      line->driver = platform::LowerCase(key.value);
      have_driver = true;
    } else if (key.key == "media") {
      if (!ParseMedia(key.value, &line->media_modes, &reason)) {
        *error = "line " + std::to_string(key.file_line) + ": " + reason;
        return false;
      }
    } else if (key.key == "features") {
      if (!ParseFeatures(key.value, &line->line_features, &reason)) {
        *error = "line " + std::to_string(key.file_line) + ": " + reason;
        return false;
      }
    } else {
      line->driver_keys.push_back(key);
    }
  }
  if (!have_driver || line->driver.empty()) {
    *error = "no driver given";
    return false;
  }
  return true;
}

void AddSection(const Section& section, const std::string& source, LinesConfig* config,
                std::set<std::string>* names) {
  const std::string where = source + ":" + std::to_string(section.file_line) + ": ";
  const std::string header = TrimLine(section.header);
  const std::string lower = platform::LowerCase(header);
  if (lower == "service") {
    for (const DriverKey& key : section.keys) {
      if (key.key == "log") {
        config->log_path = key.value;
      } else {
        config->problems.push_back(source + ":" + std::to_string(key.file_line) +
                                   ": unknown key '" + key.key + "' in [service] ignored");
      }
    }
    return;
  }
  if (lower.rfind("line", 0) != 0 || (header.size() > 4 && header[4] != ' ' && header[4] != '\t')) {
    config->problems.push_back(where + "section [" + header +
                               "] ignored: not [service] or [line NAME]");
    return;
  }
  const std::string name = TrimLine(header.substr(4));
  const std::string left_out = where + "[" + header + "] left out: ";
  if (name.empty()) {
    config->problems.push_back(left_out + "the line has no name");
    return;
  }
  if (!section.error.empty()) {
    config->problems.push_back(left_out + section.error);
    return;
  }
  if (!names->insert(platform::LowerCase(name)).second) {
    config->problems.push_back(left_out + "a line of that name comes earlier");
    return;
  }
  LineConfig line;
  std::string error;
  if (!BuildLine(section, name, &line, &error)) {
    config->problems.push_back(left_out + error);
    return;
  }
  config->lines.push_back(std::move(line));
}

}  // namespace

LinesConfig ParseLinesFile(const std::string& text, const std::string& source) {
  LinesConfig config;
  config.source = source;
  std::set<std::string> names;  // lower case, for duplicates
  std::optional<Section> section;
  std::stringstream stream(text);
  std::string raw;
  int file_line = 0;
  while (std::getline(stream, raw)) {
    ++file_line;
    const std::string line = TrimLine(raw);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      if (section) AddSection(*section, source, &config, &names);
      section.emplace();
      section->file_line = file_line;
      if (line.back() != ']') {
        section->header = line.substr(1);
        section->error = "line " + std::to_string(file_line) + ": the header lacks its ']'";
      } else {
        section->header = line.substr(1, line.size() - 2);
      }
      continue;
    }
    const std::string where = source + ":" + std::to_string(file_line) + ": ";
    if (!section) {
      config.problems.push_back(where + "text before the first section ignored");
      continue;
    }
    const auto equals = line.find('=');
    if (equals == std::string::npos || TrimLine(line.substr(0, equals)).empty()) {
      if (section->error.empty()) {
        section->error = "line " + std::to_string(file_line) + ": not 'key = value'";
      }
      continue;
    }
    DriverKey key{platform::LowerCase(TrimLine(line.substr(0, equals))),
                  platform::Unquote(TrimLine(line.substr(equals + 1))), file_line};
    const bool repeated = !section->names.insert(key.key).second;
    if (repeated && section->error.empty()) {
      section->error = "line " + std::to_string(file_line) + ": key '" + key.key + "' repeated";
    }
    section->keys.push_back(std::move(key));
  }
  if (section) AddSection(*section, source, &config, &names);
  return config;
}

LinesConfig ReadLinesFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    LinesConfig config;
    config.source = path;
    config.problems.push_back(path + ": cannot be read; no line devices");
    return config;
  }
  std::stringstream text;
  text << file.rdbuf();
  return ParseLinesFile(text.str(), path);
}

LinesConfig LoadLinesConfig() {
  const std::string path = platform::FindLinesFile();
  LinesConfig config = path.empty() ? LinesConfig{} : ReadLinesFile(path);
  if (const char* log = std::getenv("TELVANE_LINES_LOG"); log != nullptr && *log != '\0') {
    config.log_path = log;
  }
  return config;
}

}  // namespace telvane::linesvc
