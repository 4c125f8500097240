// System error texts on POSIX.
//
// The numbers MessageForCode asks about are Windows system error numbers and the library's own
// codes. POSIX has no message table for them: strerror covers errno values, which mean other
// things than the Windows numbers of the same value, and answers "Unknown error N" for the rest.
// A wrong or made-up text would mislead more than none, so there is no system text here and the
// caller keeps its empty result.
#include "platform/system_error_text.h"

namespace telvane {

std::string SystemErrorText(uint32_t /*number*/) { return {}; }

}  // namespace telvane
