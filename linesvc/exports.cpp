// The entry points of the telephony library, with the names and C linkage of TAPI32's, so
// that the program's binding loads them by name. Each forwards to the member of the
// process's service that bears the request's name: lineMakeCall to Service::MakeCall.
#include "linesvc/service.h"
#include "platform/tapi.h"

using telvane::linesvc::ProcessService;

#define TELVANE_LINESVC_EXPORT(name, params, args)                           \
  extern "C" __attribute__((visibility("default"))) LONG line##name params { \
    return ProcessService().name args;                                       \
  }
TELVANE_TAPI_REQUESTS(TELVANE_LINESVC_EXPORT)
#undef TELVANE_LINESVC_EXPORT
