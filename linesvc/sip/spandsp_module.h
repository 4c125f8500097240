// The module of what the SIP driver takes from spandsp's library, libtelvane_spandsp.so: the
// DTMF receiver behind InbandDtmf (sip_keys.h) and the G.722 coder behind VoiceCodec
// (voice_codec.h). spandsp links image libraries (libtiff, libjpeg, libwebp, ...): mapping them
// costs a run about 1.4 MB of memory (a SIP call's whole peak is about 10 MB) and a few
// milliseconds, once; G.722 itself costs next to nothing (about 16 ms of CPU for a minute of
// sound). So they live in a module found as the driver's module is, loaded by the first call
// that hears keys as tones or speaks G.722, and then kept: calls in G.711 with keys by
// telephone-events or SIP INFO never map spandsp.
//
//   auto* entry = platform::KeptLibrary(kSpandspModule).Entry<G722CodecEntry>(kG722CodecEntryName);
//   std::unique_ptr<VoiceCodec> coder;
//   if (entry != nullptr && entry(&coder)) ...
#pragma once

#include <memory>

namespace telvane::linesvc {

class InbandDtmf;
class VoiceCodec;

// Loaded as a kept library (platform/lazy_library.h): the objects it made run its code.
inline constexpr const char* kSpandspModule = "telvane_spandsp";

// The module's entries: each makes a new object of its kind, or returns false when spandsp
// cannot.
using InbandDtmfEntry = bool(std::unique_ptr<InbandDtmf>* receiver);
inline constexpr const char* kInbandDtmfEntryName = "TelvaneNewInbandDtmf";
using G722CodecEntry = bool(std::unique_ptr<VoiceCodec>* coder);
inline constexpr const char* kG722CodecEntryName = "TelvaneNewG722Codec";

}  // namespace telvane::linesvc
