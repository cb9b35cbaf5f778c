// COM basics of the stand-in: class ids as text, task memory, ANSI/wide conversion.

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "standin/win32/com_host.h"
#include "win32/windows.h"

namespace {

constexpr CLSID kClass = {
    0xA3C9E217, 0x6F4B, 0x4D8A, {0x9E, 0x05, 0x2B, 0x71, 0xC8, 0x4D, 0x6F, 0x3A}};

TEST(Com, ClassIdTextIsBracedUpperCaseInTaskMemory) {
    const long blocks = standin::win32::liveTaskMemoryBlocks();
    LPOLESTR text = nullptr;
    ASSERT_EQ(StringFromCLSID(kClass, &text), S_OK);
    EXPECT_EQ(std::wstring(text), L"{A3C9E217-6F4B-4D8A-9E05-2B71C84D6F3A}");
    EXPECT_EQ(standin::win32::liveTaskMemoryBlocks(), blocks + 1);
    CoTaskMemFree(text);
    EXPECT_EQ(standin::win32::liveTaskMemoryBlocks(), blocks);
    CoTaskMemFree(nullptr);
    EXPECT_EQ(standin::win32::liveTaskMemoryBlocks(), blocks);

    ASSERT_EQ(StringFromCLSID(IID_IUnknown, &text), S_OK);
    EXPECT_EQ(std::wstring(text), L"{00000000-0000-0000-C000-000000000046}");
    CoTaskMemFree(text);
    EXPECT_EQ(StringFromCLSID(kClass, nullptr), E_INVALIDARG);
}

TEST(Com, ClassIdFromTextTakesOnlyTheBracedForm) {
    CLSID parsed = GUID_NULL;
    EXPECT_EQ(CLSIDFromString(L"{a3c9e217-6f4b-4d8a-9e05-2b71c84d6f3a}", &parsed), S_OK);
    EXPECT_TRUE(IsEqualCLSID(parsed, kClass));
    EXPECT_EQ(CLSIDFromString(L"{00000001-0000-0000-C000-000000000046}", &parsed), S_OK);
    EXPECT_TRUE(parsed == IID_IClassFactory);
    EXPECT_FALSE(parsed == IID_IUnknown);

    const wchar_t* bad[] = {L"",
                            L"A3C9E217-6F4B-4D8A-9E05-2B71C84D6F3A",
                            L"{A3C9E217-6F4B-4D8A-9E05-2B71C84D6F3A",
                            L"{A3C9E217-6F4B-4D8A-9E05-2B71C84D6F3A}x",
                            L"{A3C9E217-6F4B-4D8A-9E052B71C84D6F3A}",
                            L"{A3C9E21G-6F4B-4D8A-9E05-2B71C84D6F3A}",
                            L"{A3C9E217-6F4B-4D8A-9E05-2B71C84D6F3}"};
    for (const wchar_t* text : bad) {
        parsed = kClass;
        EXPECT_EQ(CLSIDFromString(text, &parsed), CO_E_CLASSSTRING);
        EXPECT_TRUE(parsed == CLSID_NULL);
    }
    parsed = kClass;
    EXPECT_EQ(CLSIDFromString(nullptr, &parsed), S_OK);
    EXPECT_TRUE(parsed == CLSID_NULL);
    EXPECT_EQ(CLSIDFromString(L"{A3C9E217-6F4B-4D8A-9E05-2B71C84D6F3A}", nullptr), E_INVALIDARG);
}

TEST(Com, WideToAnsiSizesAndCodePage1252) {
    char out[16];
    // With -1 the terminating zero is converted and counted.
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"abc", -1, nullptr, 0, nullptr, nullptr), 4);
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"abc", -1, out, sizeof out, nullptr, nullptr), 4);
    EXPECT_STREQ(out, "abc");
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"abc", 2, out, sizeof out, nullptr, nullptr), 2);
    EXPECT_EQ(std::string(out, 3), "abx");

    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"abc", -1, out, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    BOOL usedDefault = TRUE;
    EXPECT_EQ(WideCharToMultiByte(1252, 0, L"\u20AC\u00E9\u2122", -1, out, sizeof out, nullptr,
                                  &usedDefault),
              4);
    EXPECT_EQ(std::string(out), "\x80\xE9\x99");
    EXPECT_FALSE(usedDefault);
    const char star = '*';
    EXPECT_EQ(
        WideCharToMultiByte(CP_ACP, 0, L"a\u0100b\u4E2D", -1, out, sizeof out, &star, &usedDefault),
        5);
    EXPECT_EQ(std::string(out), "a*b*");
    EXPECT_TRUE(usedDefault);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"\u0100", -1, out, sizeof out, nullptr, nullptr), 2);
    EXPECT_EQ(std::string(out), "?");

    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0x400, L"abc", -1, out, sizeof out, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    EXPECT_EQ(WideCharToMultiByte(65001, 0, L"abc", -1, out, sizeof out, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, nullptr, -1, out, sizeof out, nullptr, nullptr), 0);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"abc", 0, out, sizeof out, nullptr, nullptr), 0);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"abc", -1, nullptr, 4, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Com, AnsiToWideRoundTripsEveryByte) {
    char all[256];
    for (int i = 1; i < 256; ++i) all[i - 1] = static_cast<char>(i);
    all[255] = '\0';
    wchar_t wide[256];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, all, -1, nullptr, 0), 256);
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, all, -1, wide, 256), 256);
    EXPECT_EQ(wide[0x80 - 1], L'\u20AC');
    EXPECT_EQ(wide[0x9F - 1], L'\u0178');
    EXPECT_EQ(wide[0x81 - 1], L'\u0081');  // undefined in the code page: the control character
    EXPECT_EQ(wide[0xE9 - 1], L'\u00E9');
    char back[256];
    BOOL usedDefault = TRUE;
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, back, sizeof back, nullptr, &usedDefault),
              256);
    EXPECT_FALSE(usedDefault);
    EXPECT_EQ(std::memcmp(back, all, 256), 0);

    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 3), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 8, "abc", -1, wide, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
}

}  // namespace
