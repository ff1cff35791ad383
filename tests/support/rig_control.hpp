#pragma once
// The test rig's control directory and fixtures as a test program inside
// tests/rig/run-in-namespace sees them (tests/rig/README.md describes the files): what the feed
// serves, the servers' modes, and the requests they logged. Windows tests reach the directory
// through BRIMORA_RIG_DIR_WIN, native ones through BRIMORA_RIG_DIR. Outside the runner every
// accessor says so (nullopt, false or nothing logged), and a test that asks unavailable() fails.

#ifdef _WIN32
#include "process.hpp"
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/temp_dir.hpp"

namespace brimora::testing::rig {

#ifdef _WIN32
inline std::optional<std::filesystem::path> directory_from(const wchar_t* windows_variable, const char*) {
    const auto value = brimora::win::environment_variable(windows_variable);
    return value && !value->empty() ? std::optional(std::filesystem::path(*value)) : std::nullopt;
}
#else
inline std::optional<std::filesystem::path> directory_from(const wchar_t*, const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0' ? std::optional(std::filesystem::path(value)) : std::nullopt;
}
#endif

// The control directory, or nullopt outside the runner.
inline std::optional<std::filesystem::path> control_dir() {
    return directory_from(L"BRIMORA_RIG_DIR_WIN", "BRIMORA_RIG_DIR");
}

// A signed fixture by file name (e.g. L"app-signed.exe"), or nullopt outside the runner.
inline std::optional<std::filesystem::path> fixture(const std::filesystem::path& name) {
    const auto dir = directory_from(L"BRIMORA_RIG_FIXTURES_WIN", "BRIMORA_RIG_FIXTURES");
    return dir ? std::optional(*dir / name) : std::nullopt;
}

// nullopt inside the runner. Outside it (a runner that lost its variables) fails the running test
// and returns why, for the caller to end it (a skip after a failure still reports it failed).
inline std::optional<std::string> unavailable() {
    if (control_dir() && fixture("")) {
        return std::nullopt;
    }
    ADD_FAILURE() << "needs the test rig's variables: run under tests/rig/run-in-namespace";
    return "outside the test rig";
}

using brimora::testing::read_file;

// Writes bytes beside path, then renames over it: the servers re-read mode files on every request
// and must never see half a file. False on any failure.
inline bool write_file(const std::filesystem::path& path, std::string_view bytes) {
    auto temporary = path;
    temporary += ".writing";
    std::error_code error;
    return brimora::testing::write_file(temporary, bytes) && (std::filesystem::rename(temporary, path, error), !error);
}

// Writes a file of the control directory. False on failure or outside the runner.
inline bool write_control(const std::filesystem::path& relative, std::string_view bytes) {
    const auto dir = control_dir();
    return dir && write_file(*dir / relative, bytes);
}

// Serves bytes as GET <feed prefix><name>.
inline bool serve(const std::filesystem::path& name, std::string_view bytes) {
    return write_control(std::filesystem::path("feed") / name, bytes);
}

// Sets the feed's fault mode, a JSON object ({} is normal service).
inline bool set_feed_mode(const nlohmann::json& mode) { return write_control("feed-mode.json", mode.dump()); }
// A C string would become a JSON string, which the feed logs and ignores: parse mode texts first.
bool set_feed_mode(const char*) = delete;

// Normal service: no feed mode file.
inline void normal_feed() {
    if (const auto dir = control_dir()) {
        std::error_code ignored;
        std::filesystem::remove(*dir / "feed-mode.json", ignored);
    }
}

// Removes everything in a folder of the control directory: "feed" serves nothing, "events" holds
// no records.
inline void empty_folder(const char* folder) {
    if (const auto dir = control_dir()) {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(*dir / folder, ignored)) {
            std::filesystem::remove_all(entry.path(), ignored);
        }
    }
}

// Sets the event recorder's mode ("200", "500", "404", "302", "silent", "absent") and waits until
// the listening socket matches it (closed for "absent", open otherwise): the recorder opens and
// closes it on its own poll. False if it never does.
inline bool set_events_mode(std::string_view mode) {
    const auto dir = control_dir();
    if (!dir || !write_control("events-mode.json", nlohmann::json{{"mode", mode}}.dump())) {
        return false;
    }
    // The recorder polls every 20 ms; the bound only keeps a broken rig from hanging a test.
    for (int i = 0; i < 1000; ++i) {
        std::error_code ec;
        if (std::filesystem::exists(*dir / "events-listening", ec) == (mode != "absent")) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// One line of feed-requests.jsonl per request the feed received, oldest first.
inline std::vector<std::string> feed_request_lines() {
    const auto dir = control_dir();
    std::istringstream in(dir ? read_file(*dir / "feed-requests.jsonl").value_or("") : "");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

// The JSON text of every request the event recorder stored, oldest first.
inline std::vector<std::string> event_records() {
    const auto dir = control_dir();
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir ? *dir / "events" : std::filesystem::path(), ec)) {
        if (entry.path().extension() == ".json") {
            files.push_back(entry.path());
        }
    }
    std::ranges::sort(files);
    std::vector<std::string> records;
    for (const auto& file : files) {
        records.push_back(read_file(file).value_or(""));
    }
    return records;
}

inline std::string lower_ascii(std::string text) {
    std::ranges::transform(text, text.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    return text;
}

// A request as a server logged it.
struct LoggedRequest {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;  // names as sent
    std::string body;                                          // event recorder only
    std::int64_t connection = 0;                               // the server's number for the TCP connection
    std::int64_t request_on_connection = 0;                    // 1 for its first request

    // A header's value, its name compared without regard to case.
    [[nodiscard]] std::optional<std::string> header(std::string_view name) const {
        for (const auto& [key, value] : headers) {
            if (lower_ascii(key) == lower_ascii(std::string(name))) {
                return value;
            }
        }
        return std::nullopt;
    }
};

// The records that are JSON objects, parsed.
inline std::vector<LoggedRequest> parse_logged(const std::vector<std::string>& texts) {
    std::vector<LoggedRequest> requests;
    for (const auto& text : texts) {
        const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
        if (!json.is_object()) {
            continue;
        }
        const auto text_of = [&](const char* name) {
            const auto it = json.find(name);
            return it != json.end() && it->is_string() ? it->get<std::string>() : std::string();
        };
        const auto number_of = [&](const char* key) -> std::int64_t {
            const auto it = json.find(key);
            return it != json.end() && it->is_number_integer() ? it->get<std::int64_t>() : 0;
        };
        LoggedRequest request{text_of("method"), text_of("path"), {}, text_of("body")};
        request.connection = number_of("connection");
        request.request_on_connection = number_of("request_on_connection");
        if (const auto headers = json.find("headers"); headers != json.end() && headers->is_object()) {
            for (const auto& [key, value] : headers->items()) {
                request.headers.emplace_back(key, value.is_string() ? value.get<std::string>() : value.dump());
            }
        }
        requests.push_back(std::move(request));
    }
    return requests;
}

// Every request the feed logged so far, in arrival order.
inline std::vector<LoggedRequest> feed_requests() { return parse_logged(feed_request_lines()); }

// Every request the event recorder stored so far, in arrival order.
inline std::vector<LoggedRequest> events() { return parse_logged(event_records()); }

// Back to normal service with nothing served and nothing recorded: no mode files, an empty
// feed directory, no request log and no event records. False when something stayed.
inline bool reset() {
    const auto dir = control_dir();
    if (!dir) {
        return false;
    }
    std::error_code ignored;
    normal_feed();
    std::filesystem::remove(*dir / "feed-requests.jsonl", ignored);
    empty_folder("feed");
    empty_folder("events");
    return set_events_mode("200") && feed_request_lines().empty() && event_records().empty();
}

// A test of the rig's servers: it starts and ends with them in normal service, nothing served or
// recorded, and fails (rather than skips) outside the runner.
class RigTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto why = unavailable()) {
            FAIL() << *why;
        }
        ASSERT_TRUE(reset());
    }
    void TearDown() override {
        if (control_dir()) {
            EXPECT_TRUE(reset());
        }
    }
};

}  // namespace brimora::testing::rig
