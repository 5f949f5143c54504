// strtools_public: string helpers shared by the whole support library.
//
// Byte strings are UTF-8 where they hold text. Comparisons, case mapping,
// splitting and trimming work on std::string; the buffer functions (strcpy_safe,
// ReturnStdString, the URL encoders and decoders) write into caller-owned
// buffers whose size in bytes the caller passes, and never write past it.
//
// Thread safety: every function is reentrant. The UTF-16 conversions keep one
// converter per thread (the standard converter objects carry conversion state
// and must not be shared between threads).
//
// Failure: Format never fails its caller (an unusable format raises the
// non-fatal assertion "Format string parse failure" and yields ""). Encoders
// report a destination that is too small with an empty result, decoders with
// 0. Only UTF16to8 / UTF8to16 throw: std::range_error on input the standard
// converter rejects.
//
// Examples:
//   StringHasPrefix("Foo.txt", "FOO")             => true
//   StringHasSuffixCaseSensitive("a.TXT", ".txt") => false
//   StringReplace("aaa", "aa", "b")               => "ba"
//   TrimTrailingWhitespace("x \t\r\n")            => "x"
//   TrimTrailingWhitespace("  ")                  => "  "
//   TokenizeString("a==b=", '=')                  => {"a", "", "b", ""}
//   TokenizeString("", '=')                       => {}
//   V_StripExtension("a/b.txt")                   => "a/b"
//   V_StripExtension("dir.d/file")                => "dir.d/file"
//   IpToString(0x7F000001)                        => "127.0.0.1"
//   IpAndPortToString(0x0A000002, 8080)           => "10.0.0.2:8080"
//   StringToUint64("0x10")                        => 16
//   StringToUint64("010")                         => 8
//   iHexCharToInt('b')                            => 11
//   cIntToHexDigit(0x1c)                          => 'C'
//   ReturnStdString("abc", buf, 3)                => 4, buf = ""
//   RepairUTF8("a\xFF" "b", out)                  => false, out = "a?b"
//   V_URLEncode("a b/c")                          => "a+b%2Fc"
//   V_URLEncodeNoPlusForSpace("a b/c")            => "a%20b%2Fc"
//   V_URLEncodeFullPath("a b/c")                  => "a%20b/c"
//   V_URLDecode("a+b%41%zz%4")                    => "a bA%zz"
//   V_URLDecodeNoPlusForSpace("a+b%20")           => "a+b "
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// ---- comparison and case ------------------------------------------------------

int stricmp(const char* pch1, const char* pch2);
int strnicmp(const char* pch1, const char* pch2, size_t unCount);

// Prefix/suffix tests; the plain forms ignore ASCII case.
bool StringHasPrefix(const std::string& sString, const std::string& sPrefix);
bool StringHasPrefixCaseSensitive(const std::string& sString, const std::string& sPrefix);
bool StringHasSuffix(const std::string& sString, const std::string& sSuffix);
bool StringHasSuffixCaseSensitive(const std::string& sString, const std::string& sSuffix);

std::string StringToUpper(const std::string& sString);
std::string StringToLower(const std::string& sString);

// ---- editing and splitting ----------------------------------------------------

// Replaces every non-overlapping occurrence of sFrom (left to right); an empty
// sFrom leaves the string unchanged.
std::string StringReplace(const std::string& sString, const std::string& sFrom,
                          const std::string& sTo);

// Drops the trailing run of ' ', '\t', '\n', '\r' unless that run is the whole string.
std::string TrimTrailingWhitespace(const std::string& sString);

// Pieces between delimiters, empty pieces included.
std::vector<std::string> TokenizeString(const std::string& sString, char cDelimiter);

// Cuts the string in place at its last '.', unless a '/' or '\' follows that dot.
void V_StripExtension(std::string& sString);

// ---- formatting and conversion ------------------------------------------------

std::string Format(const char* pchFormat, ...) __attribute__((format(printf, 1, 2)));

// Four bytes of a host-order IPv4 address, most significant first.
std::string IpToString(uint32_t unIpAddr);
std::string IpAndPortToString(uint32_t unIpAddr, uint16_t usPort);

std::string Uint64ToString(uint64_t ulValue);
// strtoull with base 0 (decimal, 0x hexadecimal, leading 0 octal); 0 when nothing parses.
uint64_t StringToUint64(const std::string& sValue);

// '0'..'9', 'A'..'F' for the low four bits of n.
char cIntToHexDigit(int nValue);
// 0..15 for a hex digit of either case, -1 for anything else.
int iHexCharToInt(char cValue);

// Copies at most unDestSize - 1 bytes, pads the rest with NULs and always
// terminates. A size of 0 writes nothing; a null source copies "".
void strcpy_safe(char* pchDest, size_t unDestSize, const char* pchSrc);
template <size_t N>
void strcpy_safe(char (&rchDest)[N], const char* pchSrc) {
    strcpy_safe(rchDest, N, pchSrc);
}

// Returns the size the copy needs (length + 1). Null destination or size 0:
// nothing written; too small: "" written; otherwise the string and its NUL.
uint32_t ReturnStdString(const std::string& sValue, char* pchBuffer, uint32_t unBufferLen);

// UTF-16 (one code unit per wchar_t) <-> UTF-8 through the standard converter.
// A null pointer gives an empty string. Throws std::range_error on input the
// converter rejects; an incomplete sequence at the very end is silently dropped.
std::string UTF16to8(const wchar_t* pwch);
std::string UTF16to8(const std::wstring& wstr);
std::wstring UTF8to16(const char* pch);
std::wstring UTF8to16(const std::string& str);

// Writes a valid UTF-8 copy to sOut, each byte of an invalid or truncated
// sequence (and each encoded UTF-16 surrogate) replaced by '?'. Returns true
// when the input needed no change.
bool RepairUTF8(const char* pbegin, const char* pend, std::string& sOut);
bool RepairUTF8(const std::string& sInput, std::string& sOut);

// ---- URL encoding and decoding ------------------------------------------------

// Component set keeps A-Z a-z 0-9 - . _ ; the full-path set also keeps / and :.
bool CharNeedsEscape_Component(char c);
bool CharNeedsEscape_FullPath(char c);

// Encoders: the result is written only when all of it and its NUL fit
// nDestLen bytes; otherwise pchDest receives "" (never a cut-short result).
void V_URLEncodeInternal(char* pchDest, int nDestLen, const char* pchSource, int nSourceLen,
                         bool bUsePlusForSpace, const std::function<bool(char)>& fnNeedsEscape);
void V_URLEncode(char* pchDest, int nDestLen, const char* pchSource, int nSourceLen);
void V_URLEncodeNoPlusForSpace(char* pchDest, int nDestLen, const char* pchSource, int nSourceLen);
void V_URLEncodeFullPath(char* pchDest, int nDestLen, const char* pchSource, int nSourceLen);

// Decoders: return the decoded length in bytes. A destination smaller than the
// source length gets nothing and 0 is returned. "%XX" with two hex digits is
// decoded, any other "%" followed by two bytes is copied as is, and a '%' among
// the last two source bytes is dropped with what follows it. The result is
// NUL-terminated only when it is shorter than nDecodeDestLen, so give room for it.
size_t V_URLDecodeInternal(char* pchDecodeDest, int nDecodeDestLen, const char* pchEncodedSource,
                           int nEncodedSourceLen, bool bUsePlusForSpace);
size_t V_URLDecode(char* pchDecodeDest, int nDecodeDestLen, const char* pchEncodedSource,
                   int nEncodedSourceLen);
size_t V_URLDecodeNoPlusForSpace(char* pchDecodeDest, int nDecodeDestLen,
                                 const char* pchEncodedSource, int nEncodedSourceLen);
