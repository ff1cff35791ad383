#pragma once
// RFC 4122 UUIDs: random version 4, written hyphenated in lower case.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brimora {

class Uuid {
public:
    Uuid() = default;  // the nil UUID
    explicit Uuid(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

    // 16 bytes from the system's cryptographic generator, version 4 and RFC 4122 variant set.
    [[nodiscard]] static Uuid random_v4();

    // Accepts the hyphenated form, 32 bare hex digits, the hyphenated form in braces and
    // "urn:uuid:" + hyphenated; hex digits of either case.
    [[nodiscard]] static std::optional<Uuid> parse(std::string_view text);

    // Hyphenated lower case, 36 characters.
    [[nodiscard]] std::string to_string() const;

    [[nodiscard]] const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }
    bool operator==(const Uuid&) const = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace brimora
