// Uuid::parse on any text: the same verdict every time; an accepted UUID writes as 36 lower-case
// characters that parse back to it, as do its other accepted spellings.

#include <brimora/uuid.hpp>

#include <algorithm>
#include <cctype>
#include <string>

#include "property.hpp"

using namespace brimora;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::text_of(data, size);
    const auto id = Uuid::parse(text);
    require(id == Uuid::parse(text), "the same text gets the same verdict");
    if (!id) {
        return 0;
    }
    const std::string written = id->to_string();
    require(written.size() == 36 && std::none_of(written.begin(), written.end(),
                                                 [](char c) { return std::isupper(static_cast<unsigned char>(c)); }),
            "a UUID is written as 36 lower-case characters");
    std::string upper = written;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
    std::string bare = written;
    std::erase(bare, '-');
    for (const std::string& spelling : {written, upper, "{" + written + "}", "urn:uuid:" + written, bare}) {
        require(Uuid::parse(spelling) == id, "every spelling of the written UUID parses back to it");
    }
    return 0;
}
