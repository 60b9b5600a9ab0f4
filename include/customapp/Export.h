// Thread rule: not applicable (macros only).
#pragma once

// CUSTOMAPP_EXPORT marks the public API of libcustomapp.so; everything else
// in the library is hidden. CUSTOMAPP_BUILDING is defined while the library
// itself is compiled.
#if defined(CUSTOMAPP_STATIC)
#define CUSTOMAPP_EXPORT
#elif defined(CUSTOMAPP_BUILDING)
#define CUSTOMAPP_EXPORT __attribute__((visibility("default")))
#else
#define CUSTOMAPP_EXPORT
#endif
