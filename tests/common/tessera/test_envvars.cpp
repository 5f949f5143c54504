#include "envvars.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

using halyard_test::RunInChild;
using halyard_test::ScopedEnv;

const char* const k_pchVar = "HALYARD_TEST_ENV_BOOL";

TEST(EnvVars, GetAndSet) {
    ScopedEnv env(k_pchVar, std::nullopt);
    EXPECT_EQ(GetEnvironmentVariable(k_pchVar), "");
    EXPECT_EQ(GetEnvironmentVariable(nullptr), "");

    EXPECT_TRUE(SetEnvironmentVariable(k_pchVar, "one two"));
    EXPECT_EQ(GetEnvironmentVariable(k_pchVar), "one two");
    EXPECT_STREQ(getenv(k_pchVar), "one two");
    EXPECT_TRUE(SetEnvironmentVariable(k_pchVar, "over"));
    EXPECT_EQ(GetEnvironmentVariable(k_pchVar), "over");
    EXPECT_TRUE(SetEnvironmentVariable(k_pchVar, ""));
    EXPECT_NE(getenv(k_pchVar), nullptr);
    EXPECT_TRUE(SetEnvironmentVariable(k_pchVar, nullptr));
    EXPECT_EQ(getenv(k_pchVar), nullptr);

    EXPECT_FALSE(SetEnvironmentVariable("", "x"));
    EXPECT_FALSE(SetEnvironmentVariable("A=B", "x"));
    EXPECT_FALSE(SetEnvironmentVariable(nullptr, "x"));
}

TEST(EnvVars, BoolTable) {
    struct Row {
        const char* pchValue;
        bool bResult;
    };
    const std::vector<Row> vecRows = {
        {"y", true},
        {"YES", true},
        {"True", true},
        {"TRUE", true},
        {"n", false},
        {"No", false},
        {"FALSE", false},
        {"1", true},
        {"0", false},
        {"42", true},
        {"007", true},
        {"10abc", true},
        {"0x1", false},
        {"000", false},
        // As a 32-bit value 2^32 is zero.
        {"4294967296", false},
    };
    for (const Row& row : vecRows) {
        ScopedEnv env(k_pchVar, std::string(row.pchValue));
        EXPECT_EQ(GetEnvironmentVariableAsBool(k_pchVar, !row.bResult), row.bResult)
            << row.pchValue;
    }
    {
        ScopedEnv env(k_pchVar, std::nullopt);
        EXPECT_TRUE(GetEnvironmentVariableAsBool(k_pchVar, true));
        EXPECT_FALSE(GetEnvironmentVariableAsBool(k_pchVar, false));
    }
    {
        ScopedEnv env(k_pchVar, std::string());
        EXPECT_TRUE(GetEnvironmentVariableAsBool(k_pchVar, true));
        EXPECT_FALSE(GetEnvironmentVariableAsBool(k_pchVar, false));
    }
}

TEST(EnvVars, UnparsableValueKeepsDefaultAndSaysSo) {
    const std::vector<std::pair<std::string, bool>> vecCases = {
        {"-1", true}, {" 1", false}, {"On", true}, {"MayBe", false}};
    for (const auto& [sValue, bDefault] : vecCases) {
        halyard_test::ChildOptions options;
        options.env[k_pchVar] = sValue;
        auto result = RunInChild(
            [bDefault = bDefault] {
                return GetEnvironmentVariableAsBool(k_pchVar, bDefault) == bDefault ? 0 : 1;
            },
            options);
        ASSERT_TRUE(result.bExited) << sValue;
        EXPECT_EQ(result.exitCode, 0) << sValue;
        std::string sLower = sValue == "On" ? "on" : sValue == "MayBe" ? "maybe" : sValue;
        EXPECT_EQ(result.strStderr, "GetEnvironmentVariableAsBool(" + std::string(k_pchVar) +
                                        "): Unable to parse value '" + sLower +
                                        "', using default " + (bDefault ? "1" : "0") + "\n");
        EXPECT_EQ(result.strStdout, "");
    }

    // Parsable values print nothing.
    halyard_test::ChildOptions options;
    options.env[k_pchVar] = "yes";
    auto result =
        RunInChild([] { return GetEnvironmentVariableAsBool(k_pchVar, false) ? 0 : 1; }, options);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.strStderr, "");
}

}  // namespace
