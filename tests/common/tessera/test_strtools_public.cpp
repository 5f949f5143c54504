#include "strtools_public.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "vrassert.h"
#include "vrlog.h"

namespace {

using Tokens = std::vector<std::string>;

std::string Encode(void (*fn)(char*, int, const char*, int), const std::string& sIn, int nDestLen) {
    std::vector<char> buffer(static_cast<size_t>(nDestLen) + 8, 'Z');
    fn(buffer.data(), nDestLen, sIn.data(), static_cast<int>(sIn.size()));
    // Nothing may be written past the destination.
    for (size_t i = static_cast<size_t>(nDestLen); i < buffer.size(); ++i) {
        EXPECT_EQ(buffer[i], 'Z') << "overrun at " << i;
    }
    return std::string(buffer.data());
}

TEST(StrTools, PrefixSuffixAndCase) {
    EXPECT_TRUE(StringHasPrefix("Foo.txt", "FOO"));
    EXPECT_TRUE(StringHasPrefix("Foo", ""));
    EXPECT_FALSE(StringHasPrefix("Fo", "Foo"));
    EXPECT_TRUE(StringHasPrefixCaseSensitive("Foo.txt", "Foo"));
    EXPECT_FALSE(StringHasPrefixCaseSensitive("Foo.txt", "FOO"));
    EXPECT_TRUE(StringHasSuffix("a.TXT", ".txt"));
    EXPECT_FALSE(StringHasSuffix("xt", ".txt"));
    EXPECT_TRUE(StringHasSuffixCaseSensitive("a.txt", ".txt"));
    EXPECT_FALSE(StringHasSuffixCaseSensitive("a.TXT", ".txt"));
    // Non-ASCII bytes are compared exactly, never case folded.
    EXPECT_FALSE(StringHasPrefix("\xC3\xA9", "\xC3\x89"));

    EXPECT_EQ(StringToUpper("abC1-\xC3\xA9"), "ABC1-\xC3\xA9");
    EXPECT_EQ(StringToLower("ABc1-"), "abc1-");
    EXPECT_EQ(stricmp("Hello", "hELLO"), 0);
    EXPECT_LT(stricmp("a", "B"), 0);
    EXPECT_EQ(strnicmp("HelloX", "hELLOy", 5), 0);
    EXPECT_NE(strnicmp("HelloX", "hELLOy", 6), 0);
}

TEST(StrTools, ReplaceTrimTokenizeStrip) {
    EXPECT_EQ(StringReplace("aaa", "aa", "b"), "ba");
    EXPECT_EQ(StringReplace("a.b.c", ".", "::"), "a::b::c");
    EXPECT_EQ(StringReplace("abc", "", "x"), "abc");
    // The replacement is not searched again.
    EXPECT_EQ(StringReplace("ab", "a", "aa"), "aab");

    EXPECT_EQ(TrimTrailingWhitespace("x \t\r\n"), "x");
    EXPECT_EQ(TrimTrailingWhitespace("  "), "  ");
    EXPECT_EQ(TrimTrailingWhitespace(""), "");
    EXPECT_EQ(TrimTrailingWhitespace(" a b\v"), " a b\v");

    EXPECT_EQ(TokenizeString("a==b=", '='), (Tokens{"a", "", "b", ""}));
    EXPECT_EQ(TokenizeString("", '='), Tokens{});
    EXPECT_EQ(TokenizeString("abc", '='), Tokens{"abc"});
    EXPECT_EQ(TokenizeString("=", '='), (Tokens{"", ""}));

    auto strip = [](std::string s) {
        V_StripExtension(s);
        return s;
    };
    EXPECT_EQ(strip("dir.d/file"), "dir.d/file");
    EXPECT_EQ(strip("dir.d\\file"), "dir.d\\file");
    EXPECT_EQ(strip("a/b.txt"), "a/b");
    EXPECT_EQ(strip("name.ext"), "name");
    EXPECT_EQ(strip("a.tar.gz"), "a.tar");
    EXPECT_EQ(strip("noext"), "noext");
}

class AssertRecorder {
public:
    AssertRecorder() {
        EXPECT_TRUE(m_callback.Initialize(
            [this](const char* pchMessage, const char*, unsigned int, bool bFatal, void*, bool*) {
                m_vecMessages.push_back(pchMessage);
                m_bAnyFatal = m_bAnyFatal || bFatal;
            },
            nullptr));
    }
    std::vector<std::string> m_vecMessages;
    bool m_bAnyFatal = false;

private:
    CAssertCallback m_callback;
};

TEST(StrTools, FormatShortLongAndFailure) {
    EXPECT_EQ(Format("%s-%d", "x", 42), "x-42");
    EXPECT_EQ(Format("%s", ""), "");

    std::string sLong(5000, 'q');
    sLong[4095] = 'E';
    EXPECT_EQ(Format("%s", sLong.c_str()), sLong);
    std::string sEdge(4095, 'e');
    EXPECT_EQ(Format("%s", sEdge.c_str()), sEdge);
    EXPECT_EQ(Format("%s!", sEdge.c_str()), sEdge + "!");

    AssertRecorder recorder;
    // In the "C" locale a wide character above 0x7F cannot be converted, so
    // vsnprintf reports failure.
    EXPECT_EQ(Format("a%lsb", L"\u0100"), "");
    EXPECT_EQ(recorder.m_vecMessages, (std::vector<std::string>{"Format string parse failure"}));
    EXPECT_FALSE(recorder.m_bAnyFatal);
}

TEST(StrTools, NumbersAndHex) {
    EXPECT_EQ(IpToString(0x7F000001u), "127.0.0.1");
    EXPECT_EQ(IpToString(0xFFFFFFFFu), "255.255.255.255");
    EXPECT_EQ(IpAndPortToString(0x0A000002u, 8080), "10.0.0.2:8080");
    EXPECT_EQ(IpAndPortToString(0xC0A80001u, 65535), "192.168.0.1:65535");
    EXPECT_EQ(Uint64ToString(18446744073709551615ull), "18446744073709551615");
    EXPECT_EQ(Uint64ToString(0), "0");
    EXPECT_EQ(StringToUint64("18446744073709551615"), 18446744073709551615ull);
    EXPECT_EQ(StringToUint64("0x10"), 16u);
    EXPECT_EQ(StringToUint64("010"), 8u);
    EXPECT_EQ(StringToUint64("12abc"), 12u);
    EXPECT_EQ(StringToUint64("nope"), 0u);
    EXPECT_EQ(StringToUint64(""), 0u);

    const std::string sDigits = "0123456789ABCDEF";
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(cIntToHexDigit(i), sDigits[static_cast<size_t>(i)]);
        EXPECT_EQ(cIntToHexDigit(i + 0x30), sDigits[static_cast<size_t>(i)]);
        EXPECT_EQ(iHexCharToInt(sDigits[static_cast<size_t>(i)]), i);
    }
    EXPECT_EQ(iHexCharToInt('b'), 11);
    EXPECT_EQ(iHexCharToInt('f'), 15);
    EXPECT_EQ(iHexCharToInt('g'), -1);
    EXPECT_EQ(iHexCharToInt('G'), -1);
    EXPECT_EQ(iHexCharToInt('/'), -1);
    EXPECT_EQ(iHexCharToInt(static_cast<char>(0xB0)), -1);
}

TEST(StrTools, CopyIntoCallerBuffers) {
    char rch[6];
    memset(rch, 'Z', sizeof(rch));
    strcpy_safe(rch, sizeof(rch), "ab");
    EXPECT_EQ(std::string(rch, sizeof(rch)), std::string("ab\0\0\0\0", 6));
    strcpy_safe(rch, "abcdefgh");
    EXPECT_EQ(std::string(rch), "abcde");
    strcpy_safe(rch, nullptr);
    EXPECT_EQ(std::string(rch), "");
    rch[0] = 'Z';
    strcpy_safe(rch, 0, "abc");  // size 0 writes nothing
    EXPECT_EQ(rch[0], 'Z');

    char rchOut[8];
    memset(rchOut, 'Z', sizeof(rchOut));
    EXPECT_EQ(ReturnStdString("abc", rchOut, 3), 4u);
    EXPECT_EQ(rchOut[0], '\0');
    EXPECT_EQ(rchOut[1], 'Z');
    memset(rchOut, 'Z', sizeof(rchOut));
    EXPECT_EQ(ReturnStdString("abc", rchOut, 4), 4u);
    EXPECT_EQ(std::string(rchOut), "abc");
    EXPECT_EQ(ReturnStdString("abc", nullptr, 100), 4u);
    memset(rchOut, 'Z', sizeof(rchOut));
    EXPECT_EQ(ReturnStdString("abc", rchOut, 0), 4u);
    EXPECT_EQ(rchOut[0], 'Z');
    EXPECT_EQ(ReturnStdString("", rchOut, 1), 1u);
    EXPECT_EQ(rchOut[0], '\0');
}

TEST(StrTools, Utf16Conversions) {
    EXPECT_EQ(UTF8to16("a\xC3\xA9"), (std::wstring{L'a', 0xE9}));
    // Outside the basic plane: a surrogate pair, one code unit per wchar_t.
    EXPECT_EQ(UTF8to16("\xF0\x9F\x98\x80"), (std::wstring{0xD83D, 0xDE00}));
    EXPECT_EQ(UTF16to8(std::wstring{0xD83D, 0xDE00}), "\xF0\x9F\x98\x80");
    EXPECT_EQ(UTF16to8(L"a\u00e9"), "a\xC3\xA9");
    EXPECT_EQ(UTF16to8(std::wstring()), "");
    EXPECT_EQ(UTF16to8(static_cast<const wchar_t*>(nullptr)), "");
    EXPECT_EQ(UTF8to16(static_cast<const char*>(nullptr)), L"");
    EXPECT_EQ(UTF8to16(std::string("x\0y", 3)), (std::wstring{L'x', 0, L'y'}));

    // What the standard converter does at the edges: an incomplete sequence
    // at the very end is dropped, an invalid byte inside throws.
    EXPECT_EQ(UTF8to16("a\xC3"), L"a");
    EXPECT_THROW(UTF8to16("a\xFF"
                          "b"),
                 std::range_error);
    EXPECT_THROW(UTF16to8(std::wstring{0xDE00, L'a'}), std::range_error);
    EXPECT_THROW(UTF16to8(std::wstring{0x110000}), std::range_error);
    // A failed conversion leaves the thread's converter usable.
    EXPECT_EQ(UTF16to8(L"ok"), "ok");
}

TEST(StrTools, Utf16ConversionsFromManyThreads) {
    std::atomic<int> nMismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&nMismatches, t] {
            for (int i = 0; i < 500; ++i) {
                std::string s =
                    "t" + std::to_string(t) + "-\xC3\xA9\xF0\x9F\x98\x80-" + std::to_string(i);
                if (UTF16to8(UTF8to16(s)) != s) {
                    ++nMismatches;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(nMismatches.load(), 0);
}

TEST(StrTools, RepairUtf8) {
    std::string sOut = "stale";
    EXPECT_FALSE(RepairUTF8(std::string("a\xFF"
                                        "b"),
                            sOut));
    EXPECT_EQ(sOut, "a?b");

    const std::string sValid = "plain \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBB\xBF";
    EXPECT_TRUE(RepairUTF8(sValid, sOut));
    EXPECT_EQ(sOut, sValid);

    EXPECT_TRUE(RepairUTF8(std::string(), sOut));
    EXPECT_EQ(sOut, "");

    // Truncated at the end: every byte that cannot start a code point is replaced.
    EXPECT_FALSE(RepairUTF8(std::string("ab\xE2\x82"), sOut));
    EXPECT_EQ(sOut, "ab??");
    // Overlong form and out-of-range code point.
    EXPECT_FALSE(RepairUTF8(std::string("\xC0\x80x"), sOut));
    EXPECT_EQ(sOut, "??x");
    EXPECT_FALSE(RepairUTF8(std::string("\xF4\x90\x80\x80"), sOut));
    EXPECT_EQ(sOut, "????");
    // An encoded UTF-16 surrogate is not valid UTF-8.
    EXPECT_FALSE(RepairUTF8(std::string("\xED\xA0\x80z"), sOut));
    EXPECT_EQ(sOut, "???z");
    // A NUL byte is a valid code point and is kept.
    EXPECT_TRUE(RepairUTF8(std::string("a\0b", 3), sOut));
    EXPECT_EQ(sOut, std::string("a\0b", 3));

    const char rchRange[] = "xy\x80z";
    EXPECT_FALSE(RepairUTF8(rchRange + 1, rchRange + 4, sOut));
    EXPECT_EQ(sOut, "y?z");
}

TEST(StrTools, UrlEncodeSetsAndBufferRules) {
    EXPECT_EQ(Encode(V_URLEncode, "a b/c", 64), "a+b%2Fc");
    EXPECT_EQ(Encode(V_URLEncodeNoPlusForSpace, "a b/c", 64), "a%20b%2Fc");
    EXPECT_EQ(Encode(V_URLEncodeFullPath, "a b/c", 64), "a%20b/c");
    EXPECT_EQ(Encode(V_URLEncodeFullPath, "C:/x-y_z.~", 64), "C:/x-y_z.%7E");
    EXPECT_EQ(Encode(V_URLEncode, "\xC3\xA9:?", 64), "%C3%A9%3A%3F");

    EXPECT_EQ(Encode(V_URLEncode, "abc", 4), "abc");
    EXPECT_EQ(Encode(V_URLEncode, "abc", 3), "");
    EXPECT_EQ(Encode(V_URLEncode, "", 16), "");
    // All or nothing: "%2F" plus NUL needs 4 bytes.
    EXPECT_EQ(Encode(V_URLEncode, "/", 4), "%2F");
    EXPECT_EQ(Encode(V_URLEncode, "/", 3), "");
    EXPECT_EQ(Encode(V_URLEncode, "a/", 4), "");
    EXPECT_EQ(Encode(V_URLEncode, "a/", 5), "a%2F");
    // Below 3 bytes the result is always empty, even where it would fit.
    EXPECT_EQ(Encode(V_URLEncode, "a", 2), "");
    EXPECT_EQ(Encode(V_URLEncodeFullPath, "a", 1), "");
    EXPECT_EQ(Encode(V_URLEncodeNoPlusForSpace, "ab", 3), "ab");

    // A zero-size destination is never touched.
    char ch = 'Z';
    V_URLEncode(&ch, 0, "a", 1);
    EXPECT_EQ(ch, 'Z');

    EXPECT_TRUE(CharNeedsEscape_Component('/'));
    EXPECT_TRUE(CharNeedsEscape_Component(':'));
    EXPECT_FALSE(CharNeedsEscape_FullPath(':'));
    EXPECT_FALSE(CharNeedsEscape_Component('_'));
    EXPECT_TRUE(CharNeedsEscape_FullPath('\\'));
}

TEST(StrTools, UrlDecodeRules) {
    const std::string sIn = "a+b%41%zz%4";
    char rch[32];
    memset(rch, 'Z', sizeof(rch));
    size_t unLen = V_URLDecode(rch, sizeof(rch), sIn.data(), static_cast<int>(sIn.size()));
    EXPECT_EQ(std::string(rch, unLen), "a bA%zz");
    EXPECT_EQ(rch[unLen], '\0');

    unLen = V_URLDecodeNoPlusForSpace(rch, sizeof(rch), sIn.data(), static_cast<int>(sIn.size()));
    EXPECT_EQ(std::string(rch, unLen), "a+bA%zz");

    // Lower-case hex, an encoded NUL, '%' as the very last byte.
    const std::string sMixed = "%2f%00x%";
    unLen = V_URLDecode(rch, sizeof(rch), sMixed.data(), static_cast<int>(sMixed.size()));
    EXPECT_EQ(std::string(rch, unLen), std::string("/\0x", 3));

    // Destination smaller than the source: nothing written, 0 returned.
    memset(rch, 'Z', sizeof(rch));
    EXPECT_EQ(V_URLDecode(rch, static_cast<int>(sIn.size()) - 1, sIn.data(),
                          static_cast<int>(sIn.size())),
              0u);
    EXPECT_EQ(rch[0], 'Z');

    // Exactly filled: no NUL, the returned length is the result.
    memset(rch, 'Z', sizeof(rch));
    EXPECT_EQ(V_URLDecode(rch, 3, "abc", 3), 3u);
    EXPECT_EQ(std::string(rch, 4), "abcZ");

    EXPECT_EQ(V_URLDecode(rch, 4, "", 0), 0u);
    EXPECT_EQ(rch[0], '\0');
}

}  // namespace
