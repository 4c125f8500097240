// The entry points of the telephony library, with the names and C linkage of TAPI32's, so
// that the program's binding loads them by name. Each forwards to the member of the
// process's service that bears the request's name: lineMakeCall to Service::MakeCall.
#include "linesvc/service.h"
#include "platform/tapi.h"

using telvane::linesvc::ProcessService;

#ifdef _WIN32
// The system's header maps these names to their ANSI variants (lineOpenA); the binding asks
// for the plain names, which the system's TAPI32 exports too.
#undef lineGetCallInfo
#undef lineGetDevCaps
#undef lineOpen
#define TELVANE_LINESVC_ENTRY extern "C" __declspec(dllexport)
#else
#define TELVANE_LINESVC_ENTRY extern "C" __attribute__((visibility("default")))
#endif

#define TELVANE_LINESVC_EXPORT(name, params, args) \
  TELVANE_LINESVC_ENTRY LONG WINAPI line##name params { return ProcessService().name args; }
TELVANE_TAPI_REQUESTS(TELVANE_LINESVC_EXPORT)
#undef TELVANE_LINESVC_EXPORT
