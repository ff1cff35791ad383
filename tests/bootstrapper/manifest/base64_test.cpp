#include "brimora/base64.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace brimora {
namespace {

TEST(Base64, Rfc4648VectorsBothWays) {
    const struct {
        const char* encoded;
        std::string_view decoded;
    } cases[] = {
        {"", ""},
        {"Zg==", "f"},
        {"Zm8=", "fo"},
        {"Zm9v", "foo"},
        {"Zm9vYg==", "foob"},
        {"Zm9vYmE=", "fooba"},
        {"Zm9vYmFy", "foobar"},
        {"+/+/", "\xfb\xff\xbf"},
        {"AAAA", std::string_view("\0\0\0", 3)},
    };
    for (const auto& c : cases) {
        const auto bytes = decode_base64_canonical(c.encoded);
        ASSERT_TRUE(bytes.has_value()) << c.encoded;
        EXPECT_EQ(std::string(bytes->begin(), bytes->end()), c.decoded) << c.encoded;
        EXPECT_EQ(encode_base64(*bytes), c.encoded);
    }
}

TEST(DecodeBase64, RefusesNonCanonicalText) {
    for (const char* text : {
             "Zh==", "Zm9=",              // unused bits set: a second spelling of "f" and "fo"
             "Zg=", "Zg", "Zm9vY",        // padding missing or short
             "Z===", "====", "Zg===",     // too much padding
             "Zg==Zm9v", "Z=g=", "Zm=v",  // "=" before the end
             "Zm9v\n", "Zm 9v", " Zm9v",  // blanks and line breaks
             "Zm9-", "Zm9_", "Zm9.",      // base64url and foreign symbols
         }) {
        EXPECT_FALSE(decode_base64_canonical(text).has_value()) << '"' << text << '"';
    }
}

}  // namespace
}  // namespace brimora
