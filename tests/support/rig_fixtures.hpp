#pragma once
// Windows-only helpers for tests that use the rig's signed executables: where the fixtures are
// (what each of them is: fixture_verdicts.hpp), and how many handles and how much memory this
// process holds.

#include <windows.h>
#include <psapi.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/fixture_verdicts.hpp"
#include "support/rig_control.hpp"
#include "support/win32.hpp"

namespace brimora::testing {

// The rig runner's fixtures (BRIMORA_RIG_FIXTURES_WIN) when it set them; otherwise the ones the
// Windows tree builds, build/windows/rig/fixtures, found from this executable in
// build/windows/tests. Tests that need no server run under plain Wine this way too.
inline std::filesystem::path rig_fixtures_dir() {
    if (const auto dir = rig::directory_from(L"BRIMORA_RIG_FIXTURES_WIN", "BRIMORA_RIG_FIXTURES")) {
        return *dir;
    }
    std::wstring self(32768, L'\0');
    const DWORD n = ::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    self.resize(n);
    return std::filesystem::path(self).parent_path().parent_path() / L"rig" / L"fixtures";
}

// A fixture by file name; a test that asks for one the build did not make fails.
inline std::filesystem::path rig_fixture(const std::filesystem::path& name) {
    std::filesystem::path path = rig_fixtures_dir() / name;
    EXPECT_TRUE(std::filesystem::is_regular_file(path)) << "rig fixture missing: " << path.string();
    return path;
}

inline constexpr const char* WINE_TRUSTS_ANY_ROOT =
    "Wine 8's WinVerifyTrust accepts SHA-256 signatures from an untrusted root and never checks revocation, so "
    "this rejection can only be observed on Windows";

// The handles this process holds. Wine 8's GetProcessHandleCount succeeds but always reports 0,
// so under Wine the process's entries in the system handle table are counted instead.
inline std::optional<std::size_t> process_handle_count() {
    if (!running_under_wine()) {
        DWORD count = 0;
        if (!::GetProcessHandleCount(::GetCurrentProcess(), &count)) {
            return std::nullopt;
        }
        return count;
    }
    // SystemExtendedHandleInformation: a count, a reserved word, then one entry per handle.
    struct Entry {
        void* object;
        ULONG_PTR process_id;
        ULONG_PTR handle_value;
        ULONG granted_access;
        USHORT creator_back_trace_index;
        USHORT object_type_index;
        ULONG handle_attributes;
        ULONG reserved;
    };
    constexpr ULONG SYSTEM_EXTENDED_HANDLE_INFORMATION = 64;
    constexpr LONG STATUS_INFO_LENGTH_MISMATCH = static_cast<LONG>(0xC0000004);
    using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    const FARPROC proc = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation");
    if (proc == nullptr) {
        return std::nullopt;
    }
    Query query;
    std::memcpy(&query, &proc, sizeof(query));
    std::vector<std::byte> buffer(1 << 16);
    for (;;) {
        ULONG needed = 0;
        const LONG status =
            query(SYSTEM_EXTENDED_HANDLE_INFORMATION, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == STATUS_INFO_LENGTH_MISMATCH) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (status != 0) {
            return std::nullopt;
        }
        break;
    }
    ULONG_PTR entries = 0;
    std::memcpy(&entries, buffer.data(), sizeof(entries));
    const std::size_t header = 2 * sizeof(ULONG_PTR);
    const ULONG_PTR self = ::GetCurrentProcessId();
    std::size_t count = 0;
    for (ULONG_PTR i = 0; i < entries; ++i) {
        Entry entry;
        const std::size_t offset = header + static_cast<std::size_t>(i) * sizeof(Entry);
        if (offset + sizeof(Entry) > buffer.size()) {
            return std::nullopt;
        }
        std::memcpy(&entry, buffer.data() + offset, sizeof(Entry));
        if (entry.process_id == self) {
            ++count;
        }
    }
    return count;
}

// The memory this process has in use: its private commit on Windows; under Wine, which reports
// PrivateUsage as 0, its resident set.
inline std::optional<std::size_t> process_memory_in_use() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    if (!::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                sizeof(counters))) {
        return std::nullopt;
    }
    return running_under_wine() ? counters.WorkingSetSize : counters.PrivateUsage;
}

}  // namespace brimora::testing
