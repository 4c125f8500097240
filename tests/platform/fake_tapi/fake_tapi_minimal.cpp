// A stand-in telephony library that offers nothing but registering a line application: every
// other entry, the growing queries' requests among them, is missing.
#include "platform/tapi.h"

extern "C" LONG lineInitialize(LPHLINEAPP lphLineApp, HINSTANCE, LINECALLBACK, LPCSTR,
                               LPDWORD lpdwNumDevs) {
  *lphLineApp = 1;
  *lpdwNumDevs = 0;
  return 0;
}
