// Host rendition of ntddk.h: the WDM interface is all this driver needs.
#pragma once
#include <wdm.h>
