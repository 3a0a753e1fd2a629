// Including this before a header with DEFINE_GUID makes the GUIDs definitions.
#pragma once
#ifndef INITGUID
#define INITGUID
#endif
#include <wdm.h>
#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  extern "C++" const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
