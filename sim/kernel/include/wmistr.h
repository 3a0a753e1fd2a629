// Host rendition of wmistr.h: the WMI records and flags live with the library.
#pragma once
#include <wmilib.h>
