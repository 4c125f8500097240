// libre's C headers, as the SIP driver's sources include them. Only the adapter's
// .cpp files include this; nothing of libre shows in the driver's headers.
#pragma once

#ifndef HAVE_INTTYPES_H
#define HAVE_INTTYPES_H 1
#endif
#ifndef HAVE_STDBOOL_H
#define HAVE_STDBOOL_H 1
#endif

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#include <re.h>
#pragma GCC diagnostic pop

// libre's headers define these function-like macros, which clash with the standard library.
#undef MAX
#undef MIN
