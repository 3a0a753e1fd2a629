// Generic-text names: the narrow routines, or with _UNICODE the 16-bit wide
// ones of <windows.h>. _tmain is main only in the narrow build (the runner
// starts main, not wmain); glibc's wide printf family assumes 32-bit wide
// characters, so there is no wide _tprintf.
#pragma once

#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <strings.h>

#ifdef _UNICODE
typedef WCHAR _TCHAR;
typedef WCHAR _TSCHAR;
#define __T(x) L##x
#define _tcslen wcslen
#define _tcscpy wcscpy
#define _tcsncpy wcsncpy
#define _tcscat wcscat
#define _tcscmp wcscmp
#define _tcsicmp _wcsicmp
#else
typedef char _TCHAR;
typedef char _TSCHAR;
#define __T(x) x
#define _tmain main
#define _tcslen strlen
#define _tcscpy strcpy
#define _tcsncpy strncpy
#define _tcscat strcat
#define _tcscmp strcmp
#define _tcsicmp strcasecmp
#define _tprintf printf
#define _ftprintf fprintf
#define _stprintf sprintf
#endif
#define _TEXT(x) __T(x)
#undef _T  // <windows.h> keys its own on UNICODE; here _UNICODE decides
#define _T(x) __T(x)
