#pragma once
// Windows tests only: the control directory and fixtures of tests/rig/run-in-namespace, as a Wine
// test sees them (tests/rig/README.md describes the files). Outside the runner every accessor
// says so with nullopt, and tests skip with that reason.

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace brimora::testing::rig {

// The value of an environment variable, or nullopt when it is not set.
inline std::optional<std::wstring> environment(const wchar_t* name) {
    std::wstring value(32767, L'\0');
    const DWORD n = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()) + 1);
    if (n == 0 || n > value.size()) {
        return std::nullopt;
    }
    value.resize(n);
    return value;
}

// The reason a rig test cannot run here, or nullopt inside the runner (for GTEST_SKIP).
inline std::optional<std::string> unavailable() {
    if (!environment(L"BRIMORA_RIG_DIR_WIN") || !environment(L"BRIMORA_RIG_FIXTURES_WIN")) {
        return "needs the test rig: run under tests/rig/run-in-namespace";
    }
    return std::nullopt;
}

// The control directory, or nullopt outside the runner.
inline std::optional<std::filesystem::path> control_dir() {
    auto dir = environment(L"BRIMORA_RIG_DIR_WIN");
    if (!dir) {
        return std::nullopt;
    }
    return std::filesystem::path(*dir);
}

// A signed fixture by file name (e.g. L"app-signed.exe"), or nullopt outside the runner.
inline std::optional<std::filesystem::path> fixture(std::wstring_view name) {
    auto dir = environment(L"BRIMORA_RIG_FIXTURES_WIN");
    if (!dir) {
        return std::nullopt;
    }
    return std::filesystem::path(*dir) / name;
}

// The whole content of a file, or nullopt when it cannot be read.
inline std::optional<std::string> read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes bytes beside path, then renames over it: the servers re-read mode files on every request
// and must never see half a file. False on any failure.
inline bool write_file(const std::filesystem::path& path, std::string_view bytes) {
    auto temporary = path;
    temporary += L".writing";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) {
            return false;
        }
    }
    return MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

// Serves bytes as NAME under the feed prefix. False on failure or outside the runner.
inline bool put_feed_file(std::wstring_view name, std::string_view bytes) {
    const auto dir = control_dir();
    return dir && write_file(*dir / L"feed" / name, bytes);
}

// Sets the feed's fault mode (a JSON object text; "{}" is normal service).
inline bool set_feed_mode(std::string_view json) {
    const auto dir = control_dir();
    return dir && write_file(*dir / L"feed-mode.json", json);
}

// Sets the event recorder's mode ("200", "500", "302", "silent", "absent") and waits until the
// listening socket matches it (closed for "absent", open otherwise). False if it never does.
inline bool set_events_mode(std::string_view mode) {
    const auto dir = control_dir();
    if (!dir || !write_file(*dir / L"events-mode.json", "{\"mode\": \"" + std::string(mode) + "\"}")) {
        return false;
    }
    const bool want_listening = mode != "absent";
    const auto marker = *dir / L"events-listening";
    // The recorder polls every 20 ms; the bound only keeps a broken rig from hanging a test.
    for (int i = 0; i < 1000; ++i) {
        std::error_code ec;
        if (std::filesystem::exists(marker, ec) == want_listening) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// One line of feed-requests.jsonl per request the feed received, oldest first.
inline std::vector<std::string> feed_request_lines() {
    std::vector<std::string> lines;
    const auto dir = control_dir();
    if (!dir) {
        return lines;
    }
    std::istringstream in(read_file(*dir / L"feed-requests.jsonl").value_or(""));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

// The JSON text of every request the event recorder stored, oldest first.
inline std::vector<std::string> event_records() {
    std::vector<std::string> records;
    const auto dir = control_dir();
    if (!dir) {
        return records;
    }
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(*dir / L"events", ec)) {
        if (entry.path().extension() == L".json") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        records.push_back(read_file(file).value_or(""));
    }
    return records;
}

// Back to normal service with nothing served and nothing recorded: no mode files, an empty
// feed directory, no request log and no event records. False when something stayed.
inline bool reset() {
    const auto dir = control_dir();
    if (!dir) {
        return false;
    }
    std::error_code ec;
    std::filesystem::remove(*dir / L"feed-mode.json", ec);
    std::filesystem::remove(*dir / L"feed-requests.jsonl", ec);
    for (const auto* sub : {L"feed", L"events"}) {
        for (const auto& entry : std::filesystem::directory_iterator(*dir / sub, ec)) {
            std::filesystem::remove_all(entry.path(), ec);
        }
    }
    return set_events_mode("200") && feed_request_lines().empty() && event_records().empty();
}

}  // namespace brimora::testing::rig
