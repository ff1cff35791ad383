#include <gtest/gtest.h>

#include <set>

#include "brimora/uuid.hpp"

namespace brimora {
namespace {

constexpr std::string_view CANONICAL = "0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6";

TEST(UuidParse, AcceptsTheFourFormsInEitherCaseAndNothingElse) {
    for (const char* text :
         {"0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6", "0F8E2D4C-1B3A-4C5D-9E6F-A1B2C3D4E5F6",
          "0f8E2d4C-1b3A-4c5D-9e6F-a1B2c3D4e5F6", "0f8e2d4c1b3a4c5d9e6fa1b2c3d4e5f6",
          "{0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6}", "{0F8E2D4C-1B3A-4C5D-9E6F-A1B2C3D4E5F6}",
          "urn:uuid:0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6", "urn:uuid:0F8E2D4C-1B3A-4C5D-9E6F-A1B2C3D4E5F6"}) {
        const auto parsed = Uuid::parse(text);
        ASSERT_TRUE(parsed.has_value()) << text;
        EXPECT_EQ(parsed->to_string(), CANONICAL) << text;
    }
    for (const char* text : {
             "",
             "0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f",    // one digit short
             "0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6a",  // one digit long
             "0f8e2d4c1-b3a-4c5d-9e6f-a1b2c3d4e5f6",   // hyphen moved
             "0f8e2d4c-1b3a-4c5d-9e6fa-1b2c3d4e5f6",   // hyphen moved
             "0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5g6",   // not hex
             "0f8e2d4c_1b3a_4c5d_9e6f_a1b2c3d4e5f6",   // other separator
             "0f8e2d4c-1b3a4c5d9e6fa1b2c3d4e5f6aaaa",  // 36 chars, hyphens missing
             "{0f8e2d4c1b3a4c5d9e6fa1b2c3d4e5f6}",     // braces around the bare form
             "{0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6",  // unbalanced
             "0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6}",
             "urn:uuid:0f8e2d4c1b3a4c5d9e6fa1b2c3d4e5f6",
             "URN:UUID:0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6",
             "urn:uuid:{0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6}",
             " 0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6",
             "0f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6\n",
             "+f8e2d4c-1b3a-4c5d-9e6f-a1b2c3d4e5f6",
         }) {
        EXPECT_FALSE(Uuid::parse(text).has_value()) << text;
    }
}

TEST(UuidText, IsHyphenatedLowerCaseInByteOrder) {
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    EXPECT_EQ(Uuid(bytes).to_string(), "a0a1a2a3-a4a5-a6a7-a8a9-aaabacadaeaf");
    EXPECT_EQ(Uuid().to_string(), "00000000-0000-0000-0000-000000000000");
    EXPECT_EQ(Uuid::parse("a0a1a2a3-a4a5-a6a7-a8a9-aaabacadaeaf")->bytes(), bytes);
}

TEST(UuidRandom, SetsVersionFourAndTheRfcVariantAndDiffersEachTime) {
    std::set<std::string> seen;
    // The bits beside the version and variant must stay random, not be cleared with them.
    std::set<int> version_byte_low_bits;
    std::set<int> variant_byte_low_bits;
    for (int i = 0; i < 64; ++i) {
        const Uuid id = Uuid::random_v4();
        const std::string text = id.to_string();
        EXPECT_EQ(id.bytes()[6] >> 4, 4) << text;
        EXPECT_EQ(id.bytes()[8] >> 6, 2) << text;
        EXPECT_EQ(text[14], '4') << text;
        seen.insert(text);
        version_byte_low_bits.insert(id.bytes()[6] & 0x0F);
        variant_byte_low_bits.insert(id.bytes()[8] & 0x3F);
    }
    EXPECT_EQ(seen.size(), 64U);
    EXPECT_GT(version_byte_low_bits.size(), 1U);
    EXPECT_GT(variant_byte_low_bits.size(), 1U);
}

}  // namespace
}  // namespace brimora
