// parsing: the small text parsers behind the control verbs and the request
// handlers: numbers, hex bytes, JSON values and "--name value" options.
//
// Thread safety: no shared state. Failure: false (or an error text in
// ParsedArgs); nothing here throws.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace lattice_sim {

// Decimal, 0x hex or 0 octal, as strtoull reads it; no sign, nothing after.
//   "42" => 42   "0x10" => 16   "-1" => false   "7z" => false   "" => false
bool ParseU64(const std::string& strText, uint64_t& ulOut);
// Decimal, optionally negative, within 32 bits.
//   "-5" => -5   "2147483648" => false   "0x1" => false
bool ParseI32(const std::string& strText, int32_t& nOut);
// Pairs of hex digits into bytes.
//   "0aFF" => "\x0a\xff"   "abc" => false   "0g" => false
bool ParseHex(const std::string& strHex, std::string& out);
// Bytes as lower-case hex digits: "\x0a\xff" => "0aff".
std::string HexOf(const std::string& bytes);
// JSON nested deeper than this is refused: the parser recurses once per
// level, and a hostile text could otherwise exhaust the stack.
constexpr int k_nMaxJsonDepth = 64;
// Parses a complete JSON text with the builder's settings and the nesting
// limit; false for malformed or too deeply nested input, with the reasons in
// *pstrErrors (one per line).
bool ParseJsonWith(Json::CharReaderBuilder& builder, const std::string& strText, Json::Value& value,
                   std::string* pstrErrors);
// A complete JSON text with the parser's default settings; false for
// malformed or too deeply nested input.
bool ParseJson(const std::string& strText, Json::Value& value);

// A verb's arguments with "--name value" options and "--flag"s split off.
struct ParsedArgs {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
    std::set<std::string> flags;
    std::string strError;  // "--x needs a value", "unknown option --y"; empty when fine

    bool Has(const std::string& strOption) const { return options.count(strOption) > 0; }
};
ParsedArgs ParseArgs(const std::vector<std::string>& args, const std::set<std::string>& valued,
                     const std::set<std::string>& flags);

}  // namespace lattice_sim
