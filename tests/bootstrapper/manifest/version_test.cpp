#include <brimora/manifest.hpp>
#include <gtest/gtest.h>

#include <vector>

namespace brimora {
namespace {

TEST(ParseVersion, AcceptsStrictFormsAndKeepsTheirText) {
    const struct {
        const char* text;
        Version want;
    } cases[] = {
        {"0.0.0", {0, 0, 0, "", ""}},
        {"1.4.0", {1, 4, 0, "", ""}},
        {"18446744073709551615.0.10", {UINT64_MAX, 0, 10, "", ""}},  // u64 limit, not u32
        {"1.0.0-alpha.1", {1, 0, 0, "alpha.1", ""}},
        {"1.0.0-0.3.7", {1, 0, 0, "0.3.7", ""}},        // a lone 0 is no leading zero
        {"1.0.0-x-y-z.--", {1, 0, 0, "x-y-z.--", ""}},  // "-" inside the pre-release
        {"1.0.0-00a", {1, 0, 0, "00a", ""}},            // alphanumeric: zeros allowed
        {"1.0.0-99999999999999999999999", {1, 0, 0, "99999999999999999999999", ""}},
        {"1.0.0+001.0a", {1, 0, 0, "", "001.0a"}},  // build: zeros allowed
        {"1.0.0-beta+exp-1.sha.5114f85", {1, 0, 0, "beta", "exp-1.sha.5114f85"}},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_version(c.text);
        ASSERT_TRUE(parsed.has_value()) << c.text;
        EXPECT_EQ(*parsed, c.want) << c.text;
        EXPECT_EQ(to_string(*parsed), c.text);
    }
}

TEST(ParseVersion, RefusesEveryOtherForm) {
    // clang-format off
    for (const char* text : {"", "1", "1.4", "1.2.3.4", "v1.2.3", "01.4.0", "1.02.3", "1.2.03", " 1.2.3", "1.2.3 ",
                             "1. 2.3", "1..3", "1.2.", ".1.2", "-1.2.3", "1.2.-3", "1.2.3a", "18446744073709551616.0.0",
                             "1.2.3-", "1.2.3+", "1.2.3-+b", "1.2.3-01", "1.2.3-a.01", "1.2.3-a..b", "1.2.3-a.",
                             "1.2.3+b..c", "1.2.3+b.", "1.2.3+b_c", "1.2.3-a+b+c", "1.2.3-\xc3\xa9", "\xef\xbc\x91.2.3"}) {
        // clang-format on
        EXPECT_FALSE(parse_version(text).has_value()) << '"' << text << '"';
    }
}

TEST(CompareVersions, FollowsPrecedenceWithBuildDecidingLast) {
    // Strictly ascending: each row catches one ordering fault (lexical numbers, pre-release above
    // release, alphanumeric below numeric, prefix lists, build ignored or not lowest when empty).
    // clang-format off
    const std::vector<const char*> ascending = {
        "0.9.99", "1.0.0-2", "1.0.0-10", "1.0.0-99999999999999999999", "1.0.0-100000000000000000000", "1.0.0-A",
        "1.0.0-alpha", "1.0.0-alpha.1", "1.0.0-alpha.beta", "1.0.0-beta.2", "1.0.0-beta.11", "1.0.0-rc.1", "1.0.0",
        "1.0.0+1", "1.0.0+01", "1.0.0+2", "1.0.0+build", "1.0.0+build.1", "1.0.1", "1.9.0", "1.10.0", "2.0.0",
        "18446744073709551615.0.0"};
    // clang-format on
    for (std::size_t i = 0; i < ascending.size(); ++i) {
        for (std::size_t j = 0; j < ascending.size(); ++j) {
            const auto a = parse_version(ascending[i]);
            const auto b = parse_version(ascending[j]);
            ASSERT_TRUE(a && b);
            EXPECT_EQ(compare_versions(*a, *b), i <=> j) << ascending[i] << " vs " << ascending[j];
        }
    }
}

TEST(ExpectedFileName, IsBuiltFromTheCanonicalText) {
    const auto floor = parse_version(ROLLBACK_FLOOR);
    ASSERT_TRUE(floor.has_value());
    EXPECT_EQ(*floor, (Version{0, 1, 32, "", ""}));
    EXPECT_EQ(expected_file_name(Version{1, 4, 0, "", ""}), "Brimora-1.4.0-win-x64.exe");
    EXPECT_EQ(expected_file_name(Version{0, 1, 32, "rc.1", "build.7"}), "Brimora-0.1.32-rc.1+build.7-win-x64.exe");
}

}  // namespace
}  // namespace brimora
