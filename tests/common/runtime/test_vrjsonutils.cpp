#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cfloat>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "lattice_api.h"
#include "test_support.h"
#include "vrjsonutils.h"
#include "vrlog.h"

namespace {

using halyard_test::WriteFile;

Json::Value Parse(const std::string& sText) {
    Json::Value value;
    std::string sError;
    EXPECT_EQ(ReadJsonFromString(sText, value, &sError), ReadJson_Success) << sError;
    return value;
}

TEST(JsonUtils, MergeReplacesAllButObjects) {
    Json::Value dst = Parse(R"({"a": {"x": 1, "y": [1, 2]}, "b": 1, "c": {"k": 1}})");
    Json::Value src = Parse(R"({"a": {"y": [3], "z": true}, "b": {"now": "object"}, "c": 5,
                                "d": null})");
    MergeJsonValues(dst, src);
    EXPECT_EQ(dst, Parse(R"({"a": {"x": 1, "y": [3], "z": true}, "b": {"now": "object"}, "c": 5,
                             "d": null})"));

    // Top-level values that cannot hold members never throw.
    Json::Value before = dst;
    MergeJsonValues(dst, Parse("[1, 2]"));
    MergeJsonValues(dst, Json::Value(3));
    EXPECT_EQ(dst, before);
    Json::Value scalar(7);
    MergeJsonValues(scalar, Parse(R"({"k": [1]})"));
    EXPECT_EQ(scalar, Parse(R"({"k": [1]})"));
    Json::Value array = Parse("[1]");
    MergeJsonValues(array, Parse("[2]"));
    EXPECT_EQ(array, Parse("[1]"));
}

TEST(JsonUtils, BoolAndRenderModelConversions) {
    EXPECT_TRUE(JsonValueToBoolOrDefault(Json::Value(true), false));
    EXPECT_FALSE(JsonValueToBoolOrDefault(Json::Value(false), true));
    EXPECT_TRUE(JsonValueToBoolOrDefault(Json::Value("true"), false));
    EXPECT_FALSE(JsonValueToBoolOrDefault(Json::Value("TRUE"), true));
    EXPECT_FALSE(JsonValueToBoolOrDefault(Json::Value("1"), true));
    EXPECT_TRUE(JsonValueToBoolOrDefault(Json::Value(0), true));
    EXPECT_FALSE(JsonValueToBoolOrDefault(Json::Value(), false));

    EXPECT_EQ(JsonValueToESimulateRenderModel(Json::Value()), ESimulateRenderModel_NameOnly);
    EXPECT_EQ(JsonValueToESimulateRenderModel(Json::Value(Json::arrayValue)),
              ESimulateRenderModel_NameOnly);
    EXPECT_EQ(JsonValueToESimulateRenderModel(Json::Value(Json::objectValue)),
              ESimulateRenderModel_NameOnly);
    EXPECT_EQ(JsonValueToESimulateRenderModel(Json::Value(true)), ESimulateRenderModel_NameOnly);
    EXPECT_EQ(JsonValueToESimulateRenderModel(Json::Value(false)), ESimulateRenderModel_None);
    EXPECT_EQ(JsonValueToESimulateRenderModel(Json::Value("Full")), ESimulateRenderModel_Full);
    EXPECT_EQ(JsonValueToESimulateRenderModel(Json::Value("NAME_ONLY")),
              ESimulateRenderModel_NameOnly);
    EXPECT_EQ(JsonValueToESimulateRenderModel(Json::Value("TRUE")), ESimulateRenderModel_NameOnly);
    EXPECT_EQ(JsonValueToESimulateRenderModel(Json::Value("none")), ESimulateRenderModel_None);
    EXPECT_EQ(JsonValueToESimulateRenderModel(Json::Value("")), ESimulateRenderModel_None);
    EXPECT_EQ(JsonValueToESimulateRenderModel(Json::Value("other")), ESimulateRenderModel_None);
    EXPECT_EQ(JsonValueToESimulateRenderModel(Json::Value(0)), ESimulateRenderModel_NameOnly);
    EXPECT_EQ(JsonValueToESimulateRenderModel(Json::Value(2.5)), ESimulateRenderModel_NameOnly);
}

TEST(JsonUtils, VectorConversion) {
    vr::HmdVector3_t vec = {{9, 9, 9}};
    std::string sError;
    EXPECT_TRUE(JsonValueToHMDVector3(Parse(R"([1, " 2.5x", -3e1])"), vec, &sError));
    EXPECT_FLOAT_EQ(vec.v[0], 1.0f);
    EXPECT_FLOAT_EQ(vec.v[1], 2.5f);
    EXPECT_FLOAT_EQ(vec.v[2], -30.0f);

    EXPECT_FALSE(JsonValueToHMDVector3(Parse(R"({"x": 1})"), vec, &sError));
    EXPECT_EQ(sError, "the value is not an array");
    EXPECT_EQ(vec.v[0], 0.0f);
    EXPECT_FALSE(JsonValueToHMDVector3(Parse("[1, 2]"), vec, &sError));
    EXPECT_EQ(sError, "the array does not have 3 elements");
    EXPECT_FALSE(JsonValueToHMDVector3(Parse(R"([4, true, 6])"), vec, &sError));
    EXPECT_EQ(sError, "a value in the array could not be converted to a number");
    EXPECT_FLOAT_EQ(vec.v[0], 4.0f);  // converted so far
    EXPECT_EQ(vec.v[2], 0.0f);
    // No number at the start, or out of range: a failure, never a crash.
    EXPECT_FALSE(JsonValueToHMDVector3(Parse(R"([1, "abc", 3])"), vec, &sError));
    EXPECT_FALSE(JsonValueToHMDVector3(Parse(R"([1, "1e999", 3])"), vec, nullptr));

    // Strings inside the float range convert, also where the result is
    // subnormal or rounds to zero; only magnitudes beyond the largest float fail.
    struct {
        const char* pchText;
        bool bConverts;
        float flValue;
    } const rgCases[] = {
        {"1e-38", true, 1e-38f}, {"-1e-40", true, -1e-40f},       {"1e-45", true, 1e-45f},
        {"1e-50", true, 0.0f},   {"3.4028234e38", true, FLT_MAX}, {"-1e39", false, 0.0f},
        {"1e39", false, 0.0f},
    };
    for (const auto& test : rgCases) {
        Json::Value array(Json::arrayValue);
        array.append(1);
        array.append(test.pchText);
        array.append(3);
        EXPECT_EQ(JsonValueToHMDVector3(array, vec, nullptr), test.bConverts) << test.pchText;
        EXPECT_EQ(vec.v[1], test.flValue) << test.pchText;
    }
}

class JsonFileTest : public halyard_test::TempDirTest {};

TEST_F(JsonFileTest, ReadResultsAndErrorReporting) {
    Json::Value value("unchanged");
    EXPECT_EQ(ReadJsonFromString("", value), ReadJson_Success);
    EXPECT_EQ(value, Json::Value("unchanged"));
    EXPECT_EQ(ReadJsonFile(TempPath("missing.json"), value), ReadJson_FileNotFound);
    WriteFile(TempPath("empty.json"), "");
    EXPECT_EQ(ReadJsonFile(TempPath("empty.json"), value), ReadJson_Success);
    EXPECT_EQ(value, Json::Value("unchanged"));

    WriteFile(TempPath("ok.json"), "\xEF\xBB\xBF{ // note\r\n \"k\": 1 }");
    EXPECT_EQ(ReadJsonFile(TempPath("ok.json"), value), ReadJson_Success);
    EXPECT_EQ(value["k"].asInt(), 1);

    // Every failure says why, also one the parser gives up on by throwing.
    for (const std::string& sBad : {std::string("{ bad"), std::string(5000, '[')}) {
        std::string sError;
        EXPECT_EQ(ReadJsonFromString(sBad, value, &sError), ReadJson_ParseError);
        EXPECT_FALSE(sError.empty()) << sBad.substr(0, 10);
    }

    std::vector<std::string> vecLines;
    CLogCallback recorder;
    recorder.Initialize([&](ELogLevel, const char* pchText, void*) { vecLines.push_back(pchText); },
                        nullptr);
    EXPECT_EQ(ReadJsonFromString("{ bad", value), ReadJson_ParseError);
    WriteFile(TempPath("bad.json"), "[1,");
    EXPECT_EQ(ReadJsonFile(TempPath("bad.json"), value), ReadJson_ParseError);
    ASSERT_EQ(vecLines.size(), 2u);
    EXPECT_EQ(vecLines[0].rfind("Parsing of JSON string \"{ bad\" failed: ", 0), 0u);
    EXPECT_EQ(
        vecLines[1].rfind("Parsing of JSON file \"" + TempPath("bad.json") + "\" failed: ", 0), 0u);
}

// What cannot be a document is refused unread, with its reason: a FIFO
// would block an ordinary open forever, so the reads run in a child with a
// deadline.
TEST_F(JsonFileTest, FilesThatCannotBeDocumentsAreRefusedUnread) {
    ASSERT_EQ(mkfifo(TempPath("fifo.json").c_str(), 0600), 0);
    WriteFile(TempPath("huge.json"), "");
    ASSERT_EQ(truncate(TempPath("huge.json").c_str(), off_t{k_unMaxJsonFileSize} + 1), 0);
    // The largest document taken: an array padded to the limit.
    WriteFile(TempPath("limit.json"), "[" + std::string(k_unMaxJsonFileSize - 3, ' ') + "1]");
    struct {
        std::string sPath;
        int nResult;
        const char* pchReason;  // null when read
    } const rgCases[] = {
        {TempPath("fifo.json"), ReadJson_FileNotFound, "not a regular file"},
        {TempDir(), ReadJson_FileNotFound, "not a regular file"},
        {TempPath("huge.json"), ReadJson_FileNotFound, "larger than 16777216 bytes"},
        {TempPath("limit.json"), ReadJson_Success, nullptr},
    };
    auto result = halyard_test::RunInChild(
        [&] {
            std::vector<std::string> vecLines;
            CLogCallback recorder;
            recorder.Initialize(
                [&](ELogLevel, const char* pchText, void*) { vecLines.push_back(pchText); },
                nullptr);
            for (const auto& test : rgCases) {
                Json::Value value("unchanged");
                std::string sError;
                int nWithError = ReadJsonFile(test.sPath, value, &sError);
                vecLines.clear();
                int nLogged = ReadJsonFile(test.sPath, value);
                std::string sLine = test.pchReason ? "Unable to read JSON file \"" + test.sPath +
                                                         "\": " + test.pchReason + "\n"
                                                   : "";
                bool bValue = test.pchReason ? value == Json::Value("unchanged")
                                             : value.size() == 1 && value[0] == 1;
                if (nWithError != test.nResult || nLogged != test.nResult ||
                    sError != (test.pchReason ? test.pchReason : "") || !bValue ||
                    vecLines != (sLine.empty() ? std::vector<std::string>{}
                                               : std::vector<std::string>{sLine})) {
                    printf("%s: %d/%d '%s' %zu lines\n", test.sPath.c_str(), nWithError, nLogged,
                           sError.c_str(), vecLines.size());
                }
            }
            return 0;
        },
        halyard_test::ChildOptions{{}, "", "", std::chrono::milliseconds(30000)});
    EXPECT_FALSE(result.bTimedOut) << "a read blocked";
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.strStdout, "");
}

}  // namespace
