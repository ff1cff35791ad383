#pragma once
// Steering the test rig's servers from a Windows test program: served files and mode files in the
// control directory (BRIMORA_RIG_DIR_WIN), and the requests the servers logged. Windows only.

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace brimora::testing {

// The control directory, or nothing when not run inside the rig.
inline std::optional<std::filesystem::path> rig_directory() {
    std::wstring value(32768, L'\0');
    const DWORD length = ::GetEnvironmentVariableW(L"BRIMORA_RIG_DIR_WIN", value.data(), 32768);
    if (length == 0 || length >= value.size()) {
        return std::nullopt;
    }
    value.resize(length);
    return std::filesystem::path(value);
}

inline std::string lower_ascii(std::string text) {
    std::ranges::transform(text, text.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    return text;
}

struct LoggedRequest {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;  // names as sent
    std::string body;                                          // event recorder only

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

inline std::optional<LoggedRequest> parse_logged_request(std::string_view text) {
    const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_object()) {
        return std::nullopt;
    }
    const auto text_of = [&](const char* name) {
        const auto it = json.find(name);
        return it != json.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    LoggedRequest request{text_of("method"), text_of("path"), {}, text_of("body")};
    if (const auto headers = json.find("headers"); headers != json.end() && headers->is_object()) {
        for (const auto& [key, value] : headers->items()) {
            request.headers.emplace_back(key, value.is_string() ? value.get<std::string>() : value.dump());
        }
    }
    return request;
}

class Rig {
public:
    explicit Rig(std::filesystem::path directory) : directory_(std::move(directory)) {}

    bool write(const std::filesystem::path& relative, std::string_view bytes) const {
        std::ofstream out(directory_ / relative, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return static_cast<bool>(out);
    }

    // Serves `bytes` as GET <feed prefix><name>.
    bool serve(const std::string& name, std::string_view bytes) const { return write("feed/" + name, bytes); }

    bool set_feed_mode(const nlohmann::json& mode) const { return write("feed-mode.json", mode.dump()); }

    void normal_feed() const {
        std::error_code ignored;
        std::filesystem::remove(directory_ / "feed-mode.json", ignored);
    }

    // The recorder opens or closes its socket for "absent" on its own poll: wait (at most 5 s)
    // until the socket is in the state the mode needs.
    bool set_events_mode(std::string_view mode) const {
        if (!write("events-mode.json", nlohmann::json{{"mode", mode}}.dump())) {
            return false;
        }
        for (int i = 0; i < 250; ++i) {
            if (std::filesystem::exists(directory_ / "events-listening") == (mode != "absent")) {
                return true;
            }
            ::Sleep(20);
        }
        return false;
    }

    // Every request the feed server logged so far, in arrival order.
    [[nodiscard]] std::vector<LoggedRequest> feed_requests() const {
        std::vector<LoggedRequest> requests;
        std::ifstream in(directory_ / "feed-requests.jsonl", std::ios::binary);
        for (std::string line; std::getline(in, line);) {
            if (auto request = parse_logged_request(line)) {
                requests.push_back(std::move(*request));
            }
        }
        return requests;
    }

    // Every request the event recorder stored so far, in arrival order.
    [[nodiscard]] std::vector<LoggedRequest> events() const {
        std::vector<std::filesystem::path> files;
        std::error_code error;
        for (std::filesystem::directory_iterator it(directory_ / "events", error), end; !error && it != end;
             it.increment(error)) {
            files.push_back(it->path());
        }
        std::ranges::sort(files);
        std::vector<LoggedRequest> records;
        for (const auto& file : files) {
            std::ifstream in(file, std::ios::binary);
            if (auto record = parse_logged_request(std::string(std::istreambuf_iterator<char>(in), {}))) {
                records.push_back(std::move(*record));
            }
        }
        return records;
    }

private:
    std::filesystem::path directory_;
};

}  // namespace brimora::testing
