// vrjsonutils: small jsoncpp helpers shared by the settings, path registry and
// localization readers.
//
//   JsonValueToBoolOrDefault(true, x)        => true
//   JsonValueToBoolOrDefault("true", x)      => true     ("TRUE", "1" => false)
//   JsonValueToBoolOrDefault(3, x)           => x
//   JsonValueToESimulateRenderModel(null)    => 1 (name only)
//   JsonValueToESimulateRenderModel("Full")  => 2
//   JsonValueToESimulateRenderModel("")      => 0
//   JsonValueToESimulateRenderModel(7)       => 1
//   JsonValueToHMDVector3([1, "2.5x", 3])    => (1, 2.5, 3), true
//   JsonValueToHMDVector3([1, "1e-40", 3])   => (1, 1e-40, 3), true  (subnormal)
//   JsonValueToHMDVector3([1, "1e39", 3])    => false                (beyond FLT_MAX)
//
// All functions are reentrant; none throws (jsoncpp exceptions are caught).
#pragma once

#include <json/json.h>

#include <cstddef>
#include <string>
#include <vector>

namespace vr {
struct HmdVector3_t;
}

enum ESimulateRenderModel {
    ESimulateRenderModel_None = 0,
    ESimulateRenderModel_NameOnly = 1,
    ESimulateRenderModel_Full = 2,
};

// The largest JSON document ReadJsonFile takes (localization files,
// settings): far above any real one, so that a broken or hostile file is
// refused at once instead of read.
constexpr size_t k_unMaxJsonFileSize = 16 * 1024 * 1024;

// Result codes of ReadJsonFromString / ReadJsonFile.
enum EReadJsonResult {
    ReadJson_Success = 0,
    ReadJson_FileNotFound = 1,
    ReadJson_ParseError = 2,
};

// Objects merge recursively; anything else in src replaces dst's member. A
// src that is not an object has no members and changes nothing; a dst that
// is neither an object nor null becomes a copy of an object src.
void MergeJsonValues(Json::Value& dst, const Json::Value& src);
bool JsonValueToBoolOrDefault(const Json::Value& value, bool bDefault);
// out is (0,0,0) first; elements convert in order (numbers, or strings read
// like strtof; only magnitudes beyond the float range fail, tiny ones round
// to subnormals or zero); false with *psError on the first failure.
bool JsonValueToHMDVector3(const Json::Value& value, vr::HmdVector3_t& out,
                           std::string* psError = nullptr);
ESimulateRenderModel JsonValueToESimulateRenderModel(const Json::Value& value);

// An empty text succeeds and leaves value untouched. Parse errors go to
// *psError when given, else to the log.
int ReadJsonFromString(const std::string& sText, Json::Value& value,
                       std::string* psError = nullptr);
// 1 when the file is missing, or is not a regular file of at most
// k_unMaxJsonFileSize bytes that can be read (a FIFO, a directory, a huge
// file: nothing is read, and the reason goes to *psError or to the log as
//   Unable to read JSON file "<file>": <reason>
// ); otherwise as ReadJsonFromString.
int ReadJsonFile(const std::string& sFilename, Json::Value& value, std::string* psError = nullptr);
