#include "brimora/cache.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace brimora {
namespace {

using namespace std::string_view_literals;

// One row per way the naming rule can go wrong; the comment says which fault the row catches.
TEST(ShouldPruneCacheEntry, NamingRule) {
    struct Case {
        std::string_view entry;
        std::string_view current;
        bool prune;
    };
    constexpr std::string_view CURRENT = "Brimora-1.4.0-win-x64.exe";
    const Case cases[] = {
        // Other releases' installers and their partial downloads go.
        {"Brimora-1.3.9-win-x64.exe", CURRENT, true},
        {"Brimora-1.3.9-win-x64.exe.partial", CURRENT, true},
        // Prefix and suffix share the hyphen: requiring 20 characters would keep these.
        {"Brimora-win-x64.exe", CURRENT, true},
        {"Brimora-win-x64.exe.partial", CURRENT, true},
        // The current release and its partial download stay.
        {"Brimora-1.4.0-win-x64.exe", CURRENT, false},
        {"Brimora-1.4.0-win-x64.exe.partial", CURRENT, false},
        // The current name comes from the argument, not from a fixed version.
        {"Brimora-1.4.0-win-x64.exe", "Brimora-2.0.0-win-x64.exe", true},
        {"Brimora-2.0.0-win-x64.exe.partial", "Brimora-2.0.0-win-x64.exe", false},
        // Case-sensitive: a case-folding comparison would prune these.
        {"brimora-1.3.9-win-x64.exe", CURRENT, false},
        {"BRIMORA-1.3.9-win-x64.exe", CURRENT, false},
        {"Brimora-1.3.9-win-x64.EXE", CURRENT, false},
        {"Brimora-1.3.9-win-x64.exe.PARTIAL", CURRENT, false},
        // Suffixes are tested at the end of the name, not anywhere inside it.
        {"Brimora-1.3.9-win-x64.exe.bak", CURRENT, false},
        {"Brimora-1.3.9-win-x64.exe.partial.partial", CURRENT, false},
        {"Brimora-1.4.0-win-x64.exe.partial.partial", CURRENT, false},
        {"Brimora-1.3.9-win-x64.exe ", CURRENT, false},
        // The prefix is tested at the start of the name.
        {" Brimora-1.3.9-win-x64.exe", CURRENT, false},
        {"old-Brimora-1.3.9-win-x64.exe", CURRENT, false},
        // Other architectures and unrelated files in the directory stay.
        {"Brimora-1.3.9-win-arm64.exe", CURRENT, false},
        {"acquisition.json", CURRENT, false},
        {"", CURRENT, false},
        // Too short to carry both prefix and suffix.
        {"Brimora-", CURRENT, false},
        {"-win-x64.exe", CURRENT, false},
        {"Brimora-x64.exe", CURRENT, false},
        // Only the exact current name keeps a file: sharing its beginning is not enough.
        {"Brimora-1.4.0-win-x64.exe-win-x64.exe", CURRENT, true},
        {"Brimora-1.4.0-win-x64.exe.partial-win-x64.exe", CURRENT, true},
        {"Brimora-1.4.0.1-win-x64.exe", CURRENT, true},
        // Byte-exact through NUL: a C-string comparison would take these for the current files.
        {"Brimora-1.4.0-win-x64.exe\0-win-x64.exe"sv, CURRENT, true},
        {"Brimora-1.4.0-win-x64.exe.partial\0-win-x64.exe"sv, CURRENT, true},
        // Bytes are compared as they are; no Unicode folding or validation happens here.
        {"Brimora-1.3.9-w\xC3\xADn-x64.exe", CURRENT, false},
        {"Brimora-\xFF-win-x64.exe", CURRENT, true},
        // With no current name every stale-looking file goes.
        {"Brimora-1.4.0-win-x64.exe", "", true},
        {"Brimora-win-x64.exe.partial", "Brimora-win-x64.exe", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(should_prune_cache_entry(c.entry, c.current), c.prune)
            << "entry \"" << std::string(c.entry) << "\" (" << c.entry.size() << " bytes), current \""
            << std::string(c.current) << "\"";
    }
}

}  // namespace
}  // namespace brimora
