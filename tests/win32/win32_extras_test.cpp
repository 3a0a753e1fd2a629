// The system's message texts, the local heap, code page conversions, the
// performance counter on the virtual clock, and flushing a port.
#include <gtest/gtest.h>

#include <string>

#include "sim/world/world.h"
#include "support/win32_machine.h"
#include "support/win32_port.h"

using namespace testing_support;

namespace {

std::string SystemText(DWORD id) {
  LPSTR text = NULL;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                           NULL, id, 0, (LPSTR)&text, 0, NULL);
  if (n == 0) return "<none>";
  std::string s(text, n);
  EXPECT_EQ(nullptr, LocalFree(text));
  return s;
}

TEST(FormatMessage, TheSystemsEnglishTextsAndTheBufferRules) {
  EXPECT_EQ("The operation completed successfully.\r\n", SystemText(ERROR_SUCCESS));
  EXPECT_EQ("Access is denied.\r\n", SystemText(ERROR_ACCESS_DENIED));
  EXPECT_EQ("The I/O operation has been aborted because of either a thread exit or an application request.\r\n",
            SystemText(ERROR_OPERATION_ABORTED));
  EXPECT_EQ("Overlapped I/O operation is in progress.\r\n", SystemText(ERROR_IO_PENDING));
  EXPECT_EQ("The device is not connected.\r\n", SystemText(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_EQ("The semaphore timeout period has expired.\r\n", SystemText(ERROR_SEM_TIMEOUT));
  EXPECT_EQ("<none>", SystemText(0xC0DE));
  EXPECT_EQ((DWORD)ERROR_MR_MID_NOT_FOUND, GetLastError());

  // Wide, into the caller's buffer: the count leaves out the terminator.
  WCHAR wide[64];
  const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  DWORD n = FormatMessageW(flags, NULL, ERROR_INVALID_HANDLE, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), wide, 64,
                           NULL);
  ASSERT_EQ(24u, n);  // "The handle is invalid.\r\n"
  EXPECT_EQ(0, wide[n]);
  EXPECT_EQ((WCHAR)'\n', wide[n - 1]);
  EXPECT_EQ(0u, FormatMessageW(flags, NULL, ERROR_INVALID_HANDLE, 0, wide, n, NULL));
  EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
  EXPECT_EQ(0u, FormatMessageW(flags, NULL, ERROR_INVALID_HANDLE, MAKELANGID(0x07, 0x01), wide, 64, NULL));
  EXPECT_EQ((DWORD)ERROR_RESOURCE_LANG_NOT_FOUND, GetLastError());
  // The one text with inserts needs them filled or ignored.
  char narrow[200];
  EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, ERROR_MR_MID_NOT_FOUND, 0, narrow, 200, NULL));
  EXPECT_NE(0u, FormatMessageA(flags, NULL, ERROR_MR_MID_NOT_FOUND, 0, narrow, 200, NULL));
  EXPECT_NE(nullptr, strstr(narrow, "0x%1"));

  // LocalFree: NULL is fine, a block it never gave out is refused.
  EXPECT_EQ(nullptr, LocalFree(NULL));
  char stack;
  EXPECT_EQ((HLOCAL)&stack, LocalFree(&stack));
  EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
  HLOCAL block = LocalAlloc(LPTR, 8);
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(0, ((char *)block)[7]);
  EXPECT_EQ(nullptr, LocalFree(block));
  EXPECT_EQ(block, LocalFree(block));
}

TEST(CodePages, Utf8AndTheAnsiPageWithTheirLengthRules) {
  // U+00E9, U+20AC and U+1F600 (a surrogate pair) in UTF-8.
  const char utf8[] = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  int needed = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, NULL, 0);
  ASSERT_EQ(5, needed);  // terminator counted
  WCHAR wide[8];
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, needed - 1));
  EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
  ASSERT_EQ(5, MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, 8));
  EXPECT_EQ(0x00E9, wide[0]);
  EXPECT_EQ(0x20AC, wide[1]);
  EXPECT_EQ(0xD83D, wide[2]);
  EXPECT_EQ(0xDE00, wide[3]);
  EXPECT_EQ(0, wide[4]);
  char back[16];
  ASSERT_EQ(10, WideCharToMultiByte(CP_UTF8, 0, wide, -1, back, sizeof back, NULL, NULL));
  EXPECT_STREQ(utf8, back);
  BOOL used = FALSE;
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, wide, -1, back, sizeof back, NULL, &used));
  EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());

  // Ill-formed UTF-8: refused when asked, else U+FFFD.
  const char bad[] = {'a', (char)0xC3, 'b'};
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bad, 3, wide, 8));
  EXPECT_EQ((DWORD)ERROR_NO_UNICODE_TRANSLATION, GetLastError());
  ASSERT_EQ(3, MultiByteToWideChar(CP_UTF8, 0, bad, 3, wide, 8));
  EXPECT_EQ(0xFFFD, wide[1]);
  const char overlong[] = {(char)0xC0, (char)0x80};
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, overlong, 2, wide, 8));

  // 1252: the euro at 0x80; what it lacks becomes the default character.
  const char ansi[] = {(char)0x80, (char)0xE9};
  ASSERT_EQ(2, MultiByteToWideChar(CP_ACP, 0, ansi, 2, wide, 8));
  EXPECT_EQ(0x20AC, wide[0]);
  EXPECT_EQ(0x00E9, wide[1]);
  const WCHAR mixed[] = {'A', 0x20AC, 0x0416, 0};
  ASSERT_EQ(4, WideCharToMultiByte(CP_ACP, 0, mixed, -1, back, sizeof back, NULL, &used));
  EXPECT_EQ(std::string("A\x80?"), std::string(back));
  EXPECT_TRUE(used);
  EXPECT_EQ(3, WideCharToMultiByte(CP_ACP, 0, mixed, 3, NULL, 0, NULL, NULL));
  EXPECT_EQ(0, WideCharToMultiByte(CP_ACP, 0, mixed, 0, back, sizeof back, NULL, NULL));
  EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

TEST(PerformanceCounter, MovesWithVirtualTimeAtItsFrequency) {
  RunOnOneMachine([](sim::World &) {
    LARGE_INTEGER frequency, before, after, last;
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    ASSERT_GT(frequency.QuadPart, 0);
    ASSERT_TRUE(QueryPerformanceCounter(&before));
    last = before;
    for (int i = 0; i < 50; ++i) {
      LARGE_INTEGER now;
      QueryPerformanceCounter(&now);
      EXPECT_GE(now.QuadPart, last.QuadPart);
      last = now;
      Sleep(2);
    }
    Sleep(100);
    ASSERT_TRUE(QueryPerformanceCounter(&after));
    double seconds = double(after.QuadPart - before.QuadPart) / double(frequency.QuadPart);
    EXPECT_GE(seconds, 0.2);   // 50 sleeps of at least 2 ms, then 100 ms
    EXPECT_LT(seconds, 1.5);   // each sleep rounds up to a clock tick at most
  });
}

TEST(FlushFileBuffers, ADriverWithoutAFlushRoutineRefusesIt) {
  RunOnOneMachine([](sim::World &) {
    HANDLE port = OpenCom7(true);
    ASSERT_NE(INVALID_HANDLE_VALUE, port);
    EXPECT_FALSE(FlushFileBuffers(port));
    EXPECT_EQ((DWORD)ERROR_INVALID_FUNCTION, GetLastError());
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_FALSE(FlushFileBuffers(port));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
  });
}

}  // namespace
