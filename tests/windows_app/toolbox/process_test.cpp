#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "process.hpp"

namespace brimora::win {
namespace {

// The installer's own command line, with arguments, is checked with the pipeline.
TEST(Process, CommandLineQuotesTheProgramAlone) {
    struct Case {
        const wchar_t* program;
        std::optional<std::wstring> line;
        const char* fault;
    };
    const Case cases[] = {
        {L"C:\\Apps\\brimora.exe", L"\"C:\\Apps\\brimora.exe\"", "argv[0] is not the quoted path"},
        {L"C:\\Program Files\\Brimora App\\brimora.exe", L"\"C:\\Program Files\\Brimora App\\brimora.exe\"",
         "a blank splits the path into arguments"},
        {L"C:\\Apps\\a\"b\\brimora.exe", std::nullopt, "a quote ends argv[0] early"},
        {L"", std::nullopt, "an empty program is started"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(command_line(c.program), c.line) << c.fault;
    }
}

}  // namespace
}  // namespace brimora::win
