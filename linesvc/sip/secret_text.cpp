// A password's buffer, wiped when freed.
#include "linesvc/sip/secret_text.h"

#include <cstring>
#include <utility>

namespace telvane::linesvc {

void WipeMemory(void* data, size_t size) {
  if (data != nullptr) explicit_bzero(data, size);
}

SecretText::SecretText(std::string_view text)
    : data_(std::make_unique<char[]>(text.size())), size_(text.size()) {
  std::memcpy(data_.get(), text.data(), text.size());
}

SecretText::SecretText(SecretText&& other) noexcept
    : data_(std::move(other.data_)), size_(std::exchange(other.size_, 0)) {}

SecretText& SecretText::operator=(SecretText&& other) noexcept {
  if (this != &other) {
    Clear();
    data_ = std::move(other.data_);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void SecretText::Clear() {
  WipeMemory(data_.get(), size_);
  data_.reset();
  size_ = 0;
}

}  // namespace telvane::linesvc
