// The one instance of each GUID the driver names.
#include <initguid.h>
#include <ntddser.h>
