// A password in memory: one buffer of its own that is never copied behind the owner's back
// (moving hands the buffer over, copying is not allowed) and is overwritten with zeros when it
// is freed. std::string leaves copies of short texts in every object it was moved from and of
// long ones in every buffer it outgrew.
//
//   SecretText password = ...;            // ReadPasswordFile fills one
//   Hash(password.View());                // read it where it is needed, never keep a copy
//
// Not thread-safe; plain data that may be handed to another thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

namespace telvane::linesvc {

class SecretText {
 public:
  SecretText() = default;
  // Copies `text`; the caller wipes its own copy.
  explicit SecretText(std::string_view text);
  SecretText(SecretText&& other) noexcept;
  SecretText& operator=(SecretText&& other) noexcept;
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;
  ~SecretText() { Clear(); }

  std::string_view View() const { return {data_.get(), size_}; }
  bool Empty() const { return size_ == 0; }
  // Zeros the text and frees it.
  void Clear();

 private:
  std::unique_ptr<char[]> data_;
  size_t size_ = 0;
};

// Overwrites `size` bytes at `data` with zeros in a way the compiler may not leave out.
void WipeMemory(void* data, size_t size);

}  // namespace telvane::linesvc
