// Wide and counted strings on 16-bit WCHARs.
#include "kernel/sched_test_util.h"

namespace {

TEST(WideStrings, WorkOnSixteenBitCharacters) {
  static_assert(sizeof(WCHAR) == 2, "host WCHAR is 16-bit");
  WCHAR buffer[16];
  EXPECT_EQ(wcslen(L"COM7"), 4u);
  wcscpy(buffer, L"COM");
  wcscat(buffer, L"7");
  EXPECT_EQ(wcscmp(buffer, L"COM7"), 0);
  EXPECT_LT(wcscmp(L"COM1", L"COM7"), 0);
  EXPECT_GT(wcscmp(L"COM10", L"COM1"), 0);
  EXPECT_EQ(_wcsicmp(L"com7", L"COM7"), 0);
  EXPECT_NE(_wcsicmp(L"com8", L"COM7"), 0);
  WCHAR padded[6];
  wcsncpy(padded, L"AB", 6);
  EXPECT_EQ(padded[1], L'B');
  for (int i = 2; i < 6; ++i) EXPECT_EQ(padded[i], 0) << i;
  wcsncpy(padded, L"ABCDEFGH", 3);
  EXPECT_EQ(padded[2], L'C');
  EXPECT_EQ(padded[3], 0) << "untouched beyond n";
}

TEST(UnicodeStrings, InitAppendCopyCompare) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, L"\\DosDevices\\");
  EXPECT_EQ(s.Length, 12 * sizeof(WCHAR));
  EXPECT_EQ(s.MaximumLength, 13 * sizeof(WCHAR));
  RtlInitUnicodeString(&s, nullptr);
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(s.Buffer, nullptr);

  WCHAR storage[20];
  UNICODE_STRING name = {0, sizeof storage, storage};
  EXPECT_EQ(RtlAppendUnicodeToString(&name, L"\\??\\"), STATUS_SUCCESS);
  UNICODE_STRING com;
  RtlInitUnicodeString(&com, L"COM7");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&name, &com), STATUS_SUCCESS);
  EXPECT_EQ(wcscmp(name.Buffer, L"\\??\\COM7"), 0);
  EXPECT_EQ(name.Length, 8 * sizeof(WCHAR));

  WCHAR small[4];
  UNICODE_STRING tight = {0, sizeof small, small};
  EXPECT_EQ(RtlAppendUnicodeToString(&tight, L"COM17"), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(tight.Length, 0) << "nothing appended on failure";
  RtlCopyUnicodeString(&tight, &name);
  EXPECT_EQ(tight.Length, sizeof small) << "copy truncates to the destination";
  EXPECT_EQ(memcmp(small, L"\\??\\", sizeof small), 0);

  UNICODE_STRING lower, upper, shorter;
  RtlInitUnicodeString(&lower, L"com7");
  RtlInitUnicodeString(&upper, L"COM7");
  RtlInitUnicodeString(&shorter, L"COM");
  EXPECT_TRUE(RtlEqualUnicodeString(&lower, &upper, TRUE));
  EXPECT_FALSE(RtlEqualUnicodeString(&lower, &upper, FALSE));
  EXPECT_EQ(RtlCompareUnicodeString(&lower, &upper, TRUE), 0);
  EXPECT_GT(RtlCompareUnicodeString(&lower, &upper, FALSE), 0);
  EXPECT_LT(RtlCompareUnicodeString(&shorter, &upper, FALSE), 0);
  EXPECT_FALSE(RtlEqualUnicodeString(&shorter, &upper, TRUE));
}

TEST(UnicodeStrings, FreeReturnsThePoolBuffer) {
  sim::Kernel k(sched_test::Options());
  k.Run([] {
    UNICODE_STRING s;
    s.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, 16, 0x74736554));
    s.Length = 0;
    s.MaximumLength = 16;
    RtlFreeUnicodeString(&s);
    EXPECT_EQ(s.Buffer, nullptr);
    EXPECT_EQ(s.MaximumLength, 0);
  });
  k.Shutdown();
  EXPECT_TRUE(k.Faults().empty()) << sched_test::DescribeFaults(k);
}

}  // namespace
