#include "brimora/sha512.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brimora {
namespace {

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string hex(const Sha512Digest& digest) {
    std::string out;
    for (const std::uint8_t b : digest) {
        out += "0123456789abcdef"[b >> 4];
        out += "0123456789abcdef"[b & 15];
    }
    return out;
}

const std::string ABC_DIGEST =
    "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
    "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f";
const std::string MILLION_A_DIGEST =
    "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
    "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b";

// FIPS 180-4 example messages. Each would catch a provider wired to the wrong algorithm or
// truncated output; the two-block message also catches a wrapper that drops the second block.
TEST(Sha512, KnownAnswers) {
    struct Case {
        std::string_view message;
        std::string digest;
    };
    const Case cases[] = {
        {"abc", ABC_DIGEST},
        {"",
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
         "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqr"
         "stu",
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
         "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
    };
    for (const Case& c : cases) {
        auto digest = sha512_of(bytes_of(c.message));
        ASSERT_TRUE(digest.has_value()) << digest.error().message();
        EXPECT_EQ(hex(*digest), c.digest) << "message of " << c.message.size() << " bytes";
    }
}

// One million "a" fed through update in uneven slices (empty ones included) that straddle the
// 128-byte block size in every phase: a wrapper that loses or repeats bytes at a call boundary
// fails here.
TEST(Sha512, MillionAInUnevenChunks) {
    const std::string million(1'000'000, 'a');
    const std::size_t slices[] = {1, 127, 128, 129, 255, 1000, 4097, 0, 131072, 3};
    auto hasher = Sha512::start();
    ASSERT_TRUE(hasher.has_value()) << hasher.error().message();
    std::size_t done = 0;
    for (std::size_t i = 0; done < million.size(); ++i) {
        const std::size_t take = std::min(slices[i % std::size(slices)], million.size() - done);
        ASSERT_TRUE(hasher->update(bytes_of(std::string_view(million).substr(done, take))).has_value());
        done += take;
    }
    auto digest = hasher->finish();
    ASSERT_TRUE(digest.has_value()) << digest.error().message();
    EXPECT_EQ(hex(*digest), MILLION_A_DIGEST);
}

// The computation belongs to the object, not to where it sits: moving it mid-stream keeps the
// bytes fed so far, and a move-assigned target drops its own computation cleanly.
TEST(Sha512, MovedMidStreamKeepsWorking) {
    auto first = Sha512::start();
    ASSERT_TRUE(first.has_value());
    ASSERT_TRUE(first->update(bytes_of("a")).has_value());

    Sha512 moved(std::move(*first));
    ASSERT_TRUE(moved.update(bytes_of("b")).has_value());

    auto target = Sha512::start();
    ASSERT_TRUE(target.has_value());
    ASSERT_TRUE(target->update(bytes_of("unrelated bytes")).has_value());
    *target = std::move(moved);
    ASSERT_TRUE(target->update(bytes_of("c")).has_value());

    auto digest = target->finish();
    ASSERT_TRUE(digest.has_value());
    EXPECT_EQ(hex(*digest), ABC_DIGEST);
}

// Use after finish or after a move is refused with a defined error instead of touching a freed
// or absent context.
TEST(Sha512, SpentObjectsRefuse) {
    auto finished = Sha512::start();
    ASSERT_TRUE(finished.has_value());
    ASSERT_TRUE(finished->finish().has_value());

    auto source = Sha512::start();
    ASSERT_TRUE(source.has_value());
    Sha512 thief(std::move(*source));

    struct Case {
        const char* what;
        Sha512* object;
    };
    const Case cases[] = {{"finished", &*finished}, {"moved-from", &*source}};
    for (const Case& c : cases) {
        auto updated = c.object->update(bytes_of("x"));
        ASSERT_FALSE(updated.has_value()) << c.what;
        EXPECT_EQ(updated.error(), std::errc::invalid_argument) << c.what;
        auto again = c.object->finish();
        ASSERT_FALSE(again.has_value()) << c.what;
        EXPECT_EQ(again.error(), std::errc::invalid_argument) << c.what;
    }
    EXPECT_TRUE(thief.finish().has_value());
}

}  // namespace
}  // namespace brimora
