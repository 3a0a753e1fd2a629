// MultiByteToWideChar and WideCharToMultiByte for the ANSI code page of an
// English Windows (1252) and UTF-8, with Windows' length rules: -1 counts
// the terminator, a zero output size asks for the size needed.
#include <windows.h>

#include <vector>

namespace {

// Windows-1252's 0x80-0x9F; the five bytes it leaves undefined map to the
// C1 control of the same value, as Windows maps them.
const WCHAR k1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                             0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                             0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                             0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool Ansi(UINT cp) { return cp == CP_ACP || cp == CP_OEMCP || cp == 1252; }

WCHAR From1252(unsigned char b) { return b >= 0x80 && b < 0xA0 ? k1252High[b - 0x80] : WCHAR(b); }

int To1252(WCHAR c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return c;
  for (int i = 0; i < 32; ++i)
    if (k1252High[i] == c) return 0x80 + i;
  return -1;
}

// UTF-8 to UTF-16; false at the first ill-formed sequence when `strict`,
// else U+FFFD stands for it.
bool DecodeUtf8(const unsigned char *s, int n, bool strict, std::vector<WCHAR> *out) {
  for (int i = 0; i < n;) {
    unsigned char b = s[i];
    int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    uint32_t cp = extra == 0 ? b : extra == 1 ? b & 0x1F : extra == 2 ? b & 0x0F : b & 0x07;
    bool ok = extra >= 0;
    for (int k = 1; ok && k <= extra; ++k) {
      if (i + k >= n || (s[i + k] & 0xC0) != 0x80) ok = false;
      else cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    static const uint32_t kLeast[4] = {0, 0x80, 0x800, 0x10000};
    if (ok && extra > 0 && (cp < kLeast[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (!ok) {
      if (strict) return false;
      out->push_back(0xFFFD);
      i += 1;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out->push_back(WCHAR(0xD800 + (cp >> 10)));
      out->push_back(WCHAR(0xDC00 + (cp & 0x3FF)));
    } else {
      out->push_back(WCHAR(cp));
    }
    i += extra + 1;
  }
  return true;
}

void EncodeUtf8(const WCHAR *s, int n, std::vector<char> *out) {
  for (int i = 0; i < n; ++i) {
    uint32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;  // a lone surrogate
    }
    if (cp < 0x80) {
      out->push_back(char(cp));
    } else if (cp < 0x800) {
      out->push_back(char(0xC0 | cp >> 6));
      out->push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out->push_back(char(0xE0 | cp >> 12));
      out->push_back(char(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(char(0x80 | (cp & 0x3F)));
    } else {
      out->push_back(char(0xF0 | cp >> 18));
      out->push_back(char(0x80 | ((cp >> 12) & 0x3F)));
      out->push_back(char(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(char(0x80 | (cp & 0x3F)));
    }
  }
}

// The common ending: the size needed when asked, else the copy if it fits.
template <typename Char>
int Store(const std::vector<Char> &result, Char *out, int size) {
  if (size == 0) return (int)result.size();
  if ((int)result.size() > size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  for (size_t i = 0; i < result.size(); ++i) out[i] = result[i];
  return (int)result.size();
}

}  // namespace

extern "C" int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                                          LPWSTR lpWideCharStr, int cchWideChar) {
  if (!lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
      (cchWideChar > 0 && (!lpWideCharStr || (const void *)lpWideCharStr == (const void *)lpMultiByteStr))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!Ansi(CodePage) && CodePage != CP_UTF8) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (dwFlags & ~(DWORD)(MB_PRECOMPOSED | MB_ERR_INVALID_CHARS) ||
      (CodePage == CP_UTF8 && (dwFlags & ~(DWORD)MB_ERR_INVALID_CHARS))) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  int n = cbMultiByte == -1 ? (int)strlen(lpMultiByteStr) + 1 : cbMultiByte;
  auto bytes = (const unsigned char *)lpMultiByteStr;
  std::vector<WCHAR> result;
  if (CodePage == CP_UTF8) {
    if (!DecodeUtf8(bytes, n, (dwFlags & MB_ERR_INVALID_CHARS) != 0, &result)) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return 0;
    }
  } else {
    for (int i = 0; i < n; ++i) result.push_back(From1252(bytes[i]));
  }
  return Store(result, lpWideCharStr, cchWideChar);
}

extern "C" int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                                          LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                                          LPBOOL lpUsedDefaultChar) {
  if (!lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
      (cbMultiByte > 0 && (!lpMultiByteStr || (const void *)lpWideCharStr == (const void *)lpMultiByteStr))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!Ansi(CodePage) && CodePage != CP_UTF8) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // UTF-8 maps every character: no flags, no default character.
  if (CodePage == CP_UTF8 && (lpDefaultChar || lpUsedDefaultChar)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if ((CodePage == CP_UTF8 && dwFlags) || (dwFlags & ~(DWORD)(WC_NO_BEST_FIT_CHARS | WC_COMPOSITECHECK |
                                                                  WC_DEFAULTCHAR | WC_DISCARDNS | WC_SEPCHARS))) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  int n = cchWideChar == -1 ? (int)wcslen(lpWideCharStr) + 1 : cchWideChar;
  std::vector<char> result;
  if (lpUsedDefaultChar) *lpUsedDefaultChar = FALSE;
  if (CodePage == CP_UTF8) {
    EncodeUtf8(lpWideCharStr, n, &result);
  } else {
    char fallback = lpDefaultChar ? *lpDefaultChar : '?';
    for (int i = 0; i < n; ++i) {
      int b = To1252(lpWideCharStr[i]);
      if (b < 0) {
        b = (unsigned char)fallback;
        if (lpUsedDefaultChar) *lpUsedDefaultChar = TRUE;
      }
      result.push_back(char(b));
    }
  }
  return Store(result, lpMultiByteStr, cbMultiByte);
}
