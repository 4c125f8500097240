// System error texts from the system's message table.
#include <windows.h>

#include "platform/system_error_text.h"

namespace telvane {

std::string SystemErrorText(uint32_t number) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, number, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  if (text == nullptr) return {};
  std::string result(text, length);
  LocalFree(text);
  return result;
}

}  // namespace telvane
