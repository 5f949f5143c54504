#include "vrjsonutils.h"

#include <strings.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "lattice_api.h"
#include "pathtools.h"
#include "vrlog.h"

void MergeJsonValues(Json::Value& dst, const Json::Value& src) {
    if (!src.isObject()) {
        return;  // no members to merge (jsoncpp throws when asked for them)
    }
    if (!dst.isObject() && !dst.isNull()) {
        dst = src;  // a scalar or array cannot take members: replaced, as a member would be
        return;
    }
    for (const std::string& sName : src.getMemberNames()) {
        Json::Value& dstMember = dst[sName];
        const Json::Value& srcMember = src[sName];
        if (dstMember.isObject() && srcMember.isObject()) {
            MergeJsonValues(dstMember, srcMember);
        } else {
            dstMember = srcMember;
        }
    }
}

bool JsonValueToBoolOrDefault(const Json::Value& value, bool bDefault) {
    if (value.isBool()) {
        return value.asBool();
    }
    if (value.isString()) {
        return value.asString() == "true";
    }
    return bDefault;
}

namespace {

bool SetError(std::string* psError, const char* pchText) {
    if (psError) {
        *psError = pchText;
    }
    return false;
}

// A number, or a string read from its start as strtof does; false otherwise
// (a string with no number at its start, or one out of the float range).
bool ElementToFloat(const Json::Value& element, float& flOut) {
    if (element.isNumeric()) {
        flOut = element.asFloat();
        return true;
    }
    if (!element.isString()) {
        return false;
    }
    std::string sText = element.asString();
    const char* pchStart = sText.c_str();
    char* pchEnd = nullptr;
    errno = 0;
    float flValue = strtof(pchStart, &pchEnd);
    // ERANGE also flags tiny values that come back subnormal or zero; those
    // are in range. Only an overflow (returned as infinity) is refused.
    if (pchEnd == pchStart || (errno == ERANGE && std::isinf(flValue))) {
        return false;
    }
    flOut = flValue;
    return true;
}

}  // namespace

bool JsonValueToHMDVector3(const Json::Value& value, vr::HmdVector3_t& out, std::string* psError) {
    out.v[0] = out.v[1] = out.v[2] = 0.0f;
    if (!value.isArray()) {
        return SetError(psError, "the value is not an array");
    }
    if (value.size() != 3) {
        return SetError(psError, "the array does not have 3 elements");
    }
    for (Json::ArrayIndex i = 0; i < 3; ++i) {
        if (!ElementToFloat(value[i], out.v[i])) {
            return SetError(psError, "a value in the array could not be converted to a number");
        }
    }
    return true;
}

ESimulateRenderModel JsonValueToESimulateRenderModel(const Json::Value& value) {
    if (value.empty()) {
        return ESimulateRenderModel_NameOnly;
    }
    if (value.isBool()) {
        return value.asBool() ? ESimulateRenderModel_NameOnly : ESimulateRenderModel_None;
    }
    if (value.isString()) {
        std::string sText = value.asString();
        if (strcasecmp(sText.c_str(), "true") == 0 || strcasecmp(sText.c_str(), "name_only") == 0) {
            return ESimulateRenderModel_NameOnly;
        }
        if (strcasecmp(sText.c_str(), "full") == 0) {
            return ESimulateRenderModel_Full;
        }
        return ESimulateRenderModel_None;
    }
    return ESimulateRenderModel_NameOnly;
}

namespace {

// Parses with the collecting reader; reports through *psError or the log line
// built from pchLogFormat (subject, messages).
int ParseJsonText(const std::string& sText, Json::Value& value, std::string* psError,
                  const char* pchLogFormat, const std::string& sSubject) {
    Json::Reader reader;
    std::string sMessages;
    try {
        // The pointer form parses the text where it is; the string form
        // would first copy the whole document.
        if (reader.parse(sText.data(), sText.data() + sText.size(), value, true)) {
            return ReadJson_Success;
        }
        sMessages = reader.getFormattedErrorMessages();
    } catch (const std::exception& e) {
        // The reader throws (nesting too deep) without collecting a message.
        sMessages = e.what();
    }
    if (psError) {
        *psError = sMessages;
    } else {
        Log(pchLogFormat, sSubject.c_str(), sMessages.c_str());
    }
    return ReadJson_ParseError;
}

}  // namespace

int ReadJsonFromString(const std::string& sText, Json::Value& value, std::string* psError) {
    if (sText.empty()) {
        return ReadJson_Success;
    }
    return ParseJsonText(sText, value, psError, "Parsing of JSON string \"%s\" failed: %s\n",
                         sText);
}

int ReadJsonFile(const std::string& sFilename, Json::Value& value, std::string* psError) {
    if (!Path_Exists(sFilename)) {
        return ReadJson_FileNotFound;
    }
    std::string sText;
    std::string sWhyNot;
    if (!Path_ReadTextFileLimited(sFilename, k_unMaxJsonFileSize, sText, &sWhyNot)) {
        if (psError) {
            *psError = sWhyNot;
        } else {
            Log(LogLevel_Warning, "Unable to read JSON file \"%s\": %s\n", sFilename.c_str(),
                sWhyNot.c_str());
        }
        return ReadJson_FileNotFound;
    }
    if (sText.empty()) {
        return ReadJson_Success;
    }
    return ParseJsonText(sText, value, psError, "Parsing of JSON file \"%s\" failed: %s\n",
                         sFilename);
}
