#include <windows.h>
#include <winhttp.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>

#include "handles.hpp"
#include "process.hpp"

namespace brimora::win {
namespace {

// The installer's own command line, with arguments, is checked with the pipeline.
TEST(Process, CommandLineQuotesTheProgramAlone) {
    const std::tuple<const wchar_t*, std::optional<std::wstring>, const char*> cases[] = {
        {L"C:\\Apps\\brimora.exe", L"\"C:\\Apps\\brimora.exe\"", "argv[0] is not the quoted path"},
        {L"C:\\Program Files\\Brimora App\\brimora.exe", L"\"C:\\Program Files\\Brimora App\\brimora.exe\"",
         "a blank splits the path into arguments"},
        {L"C:\\Apps\\a\"b\\brimora.exe", std::nullopt, "a quote ends argv[0] early"},
        {L"", std::nullopt, "an empty program is started"},
    };
    for (const auto& [program, line, fault] : cases) {
        EXPECT_EQ(command_line(program), line) << fault;
    }
}

// A handle closed between a failing call and its caller's GetLastError must leave that call's
// error in place: a lock retry reads it to tell a sharing violation from a permanent refusal.
TEST(Handles, ResetKeepsTheLastError) {
    struct Case {
        const char* what;
        void (*reset)();  // makes a handle of the kind and resets it with ERROR_SHARING_VIOLATION pending
    };
    const Case cases[] = {
        {"a WinHTTP session, whose close sets ERROR_SUCCESS",
         [] {
             WinHttpHandle session(::WinHttpOpen(L"test", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                                 WINHTTP_NO_PROXY_BYPASS, 0));
             ASSERT_TRUE(session);
             ::SetLastError(ERROR_SHARING_VIOLATION);
             session.reset();
         }},
        {"a kernel handle closed elsewhere, whose close fails",
         [] {
             const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
             ASSERT_NE(event, nullptr);
             ::CloseHandle(event);
             KernelHandle stale(event);
             ::SetLastError(ERROR_SHARING_VIOLATION);
             stale.reset();
         }},
    };
    for (const Case& c : cases) {
        c.reset();
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << c.what;
    }
}

}  // namespace
}  // namespace brimora::win
