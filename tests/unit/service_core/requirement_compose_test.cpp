// The requirement text that the caller check compiles, for every combination
// of minimum version and extra requirement, and the log messages of a refusal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codesign_verify/xpc_verify/xpc_verify.h"
#include "platform/codesign/codesign.h"

namespace {

constexpr const char* kTeam = "T3MQ8VX2LC";
constexpr const char* kName = "Developer ID Application: Pelk Labs, Inc. (T3MQ8VX2LC)";

TEST(RequirementComposition, TheDaemonsRequirementWithTheVersionClause) {
    EXPECT_EQ(xpc_verify::compose_requirement("lx.pelk.dvk", kTeam, kName, "5.5.0", nullptr),
              "identifier \"lx.pelk.dvk\" and anchor apple generic and certificate "
              "leaf[subject.OU] = \"T3MQ8VX2LC\" and certificate leaf[subject.CN] = "
              "\"Developer ID Application: Pelk Labs, Inc. (T3MQ8VX2LC)\" and info "
              "[CFBundleVersion] >= \"5.5.0\"");
}

TEST(RequirementComposition, AnExtraRequirementTakesThePlaceOfTheVersionClause) {
    EXPECT_EQ(xpc_verify::compose_requirement("a.b", "TEAM", "CN", "5.5.0", "info [X] = y"),
              "identifier \"a.b\" and anchor apple generic and certificate leaf[subject.OU] = "
              "\"TEAM\" and certificate leaf[subject.CN] = \"CN\" and info [X] = y");
    EXPECT_EQ(xpc_verify::compose_requirement("a.b", "TEAM", "CN", nullptr, "info [X] = y"),
              "identifier \"a.b\" and anchor apple generic and certificate leaf[subject.OU] = "
              "\"TEAM\" and certificate leaf[subject.CN] = \"CN\" and info [X] = y");
}

TEST(RequirementComposition, WithNeitherThereIsNoThirdClause) {
    EXPECT_EQ(xpc_verify::compose_requirement("a.b", "TEAM", "CN", nullptr, nullptr),
              "identifier \"a.b\" and anchor apple generic and certificate leaf[subject.OU] = "
              "\"TEAM\" and certificate leaf[subject.CN] = \"CN\"");
}

TEST(RequirementComposition, TextsAreInsertedVerbatim) {
    // A quote inside a piece is not escaped: the composed text then fails to
    // compile, which refuses the peer rather than matching something else.
    const std::string text =
        xpc_verify::compose_requirement("a\"b", "TEAM", "CN", "1\" or \"x", nullptr);
    EXPECT_NE(text.find("identifier \"a\"b\""), std::string::npos);
    EXPECT_NE(text.find(">= \"1\" or \"x\""), std::string::npos);
}

TEST(RequirementComposition, TheComposedRequirementCompiles) {
    for (const char* version : {"5.5.0", static_cast<const char*>(nullptr)}) {
        const std::string text =
            xpc_verify::compose_requirement("lx.pelk.dvk", kTeam, kName, version, nullptr);
        codesign::CFErrorRef errors;
        codesign::SecRequirementRef requirement;
        EXPECT_EQ(codesign::SecRequirementCreateWithStringAndErrors(
                      text, codesign::kSecCSDefaultFlags, &errors, &requirement),
                  codesign::errSecSuccess)
            << text;
        EXPECT_TRUE(requirement);
        EXPECT_FALSE(errors);
    }
}

std::vector<std::string> g_messages;
void collect(const char* message) {
    g_messages.emplace_back(message);
}

TEST(CallerCheck, AConnectionWithoutATokenIsLookedUpAsNoProcessAndRefusedWithOneMessage) {
    g_messages.clear();
    EXPECT_FALSE(xpc_verify::verify_xpc_connection(nullptr, "lx.pelk.dvk", kTeam, kName, "5.5.0",
                                                   nullptr, collect));
    ASSERT_EQ(g_messages.size(), 1u);
    EXPECT_EQ(g_messages[0], "Error! SecCodeCopyGuestWithAttributes failed, code is nil");
}

TEST(CallerCheck, ANullCallbackFormsNoMessageAndStillRefuses) {
    g_messages.clear();
    EXPECT_FALSE(is_xpc_connection_valid(nullptr, "lx.pelk.dvk", "5.5.0", nullptr, nullptr));
    EXPECT_TRUE(g_messages.empty());
}

}  // namespace
