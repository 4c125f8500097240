// The text of a lines file with simulated lines, built line by line, for the tests and the
// benchmark that place calls on them.
//
//   const std::string text = SimLines()
//                                .Line("Sim Voice")
//                                .Record((dir / "heard-%n-%c.wav").string())
//                                .Default("answer after=2000; keys=heard+7000:5")
//                                .Number("111", "busy")
//                                .Text();
#pragma once

#include <string>

namespace telvane::testing {

class SimLines {
 public:
  // Starts the section of a simulated line; what follows adds keys to it.
  SimLines& Line(const std::string& name, const std::string& media = "voice") {
    text_ += "[line " + name + "]\ndriver = sim\nmedia = " + media + "\n";
    return *this;
  }
  // The script of every number the line has no script for, and of one number.
  SimLines& Default(const std::string& script) { return Key("default", script); }
  SimLines& Number(const std::string& number, const std::string& script) {
    return Key("number." + number, script);
  }
  // Where each call's heard sound is recorded (%n the number, %c the call's count).
  SimLines& Record(const std::string& pattern) { return Key("record", pattern); }
  SimLines& Key(const std::string& key, const std::string& value) {
    text_ += key + " = " + value + "\n";
    return *this;
  }
  // Any text of the file as it is: a [service] section, a line of another driver.
  SimLines& Raw(const std::string& text) {
    text_ += text;
    return *this;
  }

  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

}  // namespace telvane::testing
