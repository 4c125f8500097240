// Messages and greetings written as text (a ".txt" file, UTF-8): spoken once per run, before
// the first dial, into WAV files that the calls then play like any other.
//
//   SpokenMessages spoken(settings.speech_voice);
//   const std::string message = spoken.Prepare(message_file);   // may raise
//   ... the dial plan plays the WAV ...
//   // destroying `spoken` removes the WAV files and their directory
//
// The WAV files go to a directory of their own, readable by the user only, in the user's
// temporary directory ($TMPDIR, else /tmp); nothing is written anywhere else. Loop thread only.
#pragma once

#include <filesystem>
#include <string>

namespace telvane {

class SpokenMessages {
 public:
  explicit SpokenMessages(std::string voice);
  // Removes every file it wrote and its directory.
  ~SpokenMessages();
  SpokenMessages(const SpokenMessages&) = delete;
  SpokenMessages& operator=(const SpokenMessages&) = delete;

  // True for a file name ending in ".txt", in any case.
  static bool IsText(const std::string& file_name);

  // The file to play for file_name: file_name itself unless it is text; a text file is spoken
  // with the voice and written as a line-format WAV, whose path is returned. Raises Exception
  // with a message naming the file when it cannot be read, has nothing to say, or cannot be
  // spoken (unknown voice, no synthesiser, a system without speech).
  std::string Prepare(const std::string& file_name);

 private:
  std::filesystem::path NewDirectory();

  std::string voice_;
  std::filesystem::path dir_;  // empty until the first text is spoken
  int count_ = 0;
};

}  // namespace telvane
