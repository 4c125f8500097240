// What the telephony service's library shares with the line drivers built as modules of their
// own (driver_module.h). The library is built with hidden symbols: only the TAPI entry points
// and what is marked here are exported, that is the driver interface and the line-audio
// timeline, which every driver uses.
#pragma once

#ifdef _WIN32
// Windows has no driver modules (its service runs simulated lines only): the service's DLL
// exports the TAPI entry points and nothing else.
#define TELVANE_DRIVER_KIT
#define TELVANE_DRIVER_EXPORT
#else
// Marks a class or function of the service that driver modules use.
#define TELVANE_DRIVER_KIT __attribute__((visibility("default")))

// Marks the entry a driver module exports.
#define TELVANE_DRIVER_EXPORT __attribute__((visibility("default")))
#endif
