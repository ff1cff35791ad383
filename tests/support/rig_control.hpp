#pragma once
// Steering the test rig's servers from a Windows test program: mode files and served files in the
// control directory, and the requests the servers logged, all through the directory's Windows path
// (BRIMORA_RIG_DIR_WIN). Windows only.

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace brimora::testing {

// The control directory the rig hands its command, or nothing when not run inside the rig.
inline std::optional<std::filesystem::path> rig_directory() {
    std::wstring value(32768, L'\0');
    const DWORD length = ::GetEnvironmentVariableW(L"BRIMORA_RIG_DIR_WIN", value.data(),
                                                   static_cast<DWORD>(value.size()));
    if (length == 0 || length >= value.size()) {
        return std::nullopt;
    }
    value.resize(length);
    return std::filesystem::path(value);
}

inline std::string lower_ascii(std::string_view text) {
    std::string out(text);
    std::ranges::transform(out, out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// One request as a rig server logged it.
struct LoggedRequest {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;  // names as sent
    std::string body;                                          // event recorder only

    // The value of a header, its name compared without regard to case.
    [[nodiscard]] std::optional<std::string> header(std::string_view name) const {
        const std::string wanted = lower_ascii(name);
        for (const auto& [key, value] : headers) {
            if (lower_ascii(key) == wanted) {
                return value;
            }
        }
        return std::nullopt;
    }

    [[nodiscard]] std::string header_names() const {
        std::string out;
        for (const auto& [key, value] : headers) {
            out += (out.empty() ? "" : ", ") + key;
        }
        return out;
    }
};

inline std::optional<LoggedRequest> parse_logged_request(std::string_view text) {
    const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        return std::nullopt;
    }
    LoggedRequest request;
    const auto text_member = [&](const char* name, std::string& out) {
        const auto it = json.find(name);
        if (it != json.end() && it->is_string()) {
            out = it->get<std::string>();
        }
    };
    text_member("method", request.method);
    text_member("path", request.path);
    text_member("body", request.body);
    if (const auto headers = json.find("headers"); headers != json.end() && headers->is_object()) {
        for (const auto& [key, value] : headers->items()) {
            if (value.is_string()) {
                request.headers.emplace_back(key, value.get<std::string>());
            }
        }
    }
    return request;
}

class Rig {
public:
    explicit Rig(std::filesystem::path directory) : directory_(std::move(directory)) {}

    [[nodiscard]] const std::filesystem::path& directory() const { return directory_; }

    // Writes a file of the control directory whole; true on success.
    bool write(const std::filesystem::path& relative, std::string_view bytes) const {
        const std::filesystem::path target = directory_ / relative;
        std::error_code ignored;
        std::filesystem::create_directories(target.parent_path(), ignored);
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        return static_cast<bool>(out);
    }

    void remove(const std::filesystem::path& relative) const {
        std::error_code ignored;
        std::filesystem::remove(directory_ / relative, ignored);
    }

    // Serves `bytes` as GET <feed prefix><name>.
    bool serve(std::string_view name, std::string_view bytes) const {
        return write(std::filesystem::path("feed") / std::filesystem::path(std::string(name)), bytes);
    }

    bool set_feed_mode(const nlohmann::json& mode) const { return write("feed-mode.json", mode.dump()); }
    void normal_feed() const { remove("feed-mode.json"); }

    // Switches the event recorder's mode. The recorder opens or closes its socket for "absent"
    // on its own poll; this waits (at most 5 s) until the socket is in the state the mode needs.
    bool set_events_mode(std::string_view mode) const {
        if (!write("events-mode.json", nlohmann::json{{"mode", mode}}.dump())) {
            return false;
        }
        const bool listening = mode != "absent";
        for (int i = 0; i < 250; ++i) {
            if (std::filesystem::exists(directory_ / "events-listening") == listening) {
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
        std::string line;
        while (std::getline(in, line)) {
            if (auto request = parse_logged_request(line)) {
                requests.push_back(std::move(*request));
            }
        }
        return requests;
    }

    // Every POST the event recorder stored so far, in arrival order.
    [[nodiscard]] std::vector<LoggedRequest> events() const {
        std::vector<std::filesystem::path> files;
        std::error_code error;
        for (std::filesystem::directory_iterator it(directory_ / "events", error), end; !error && it != end;
             it.increment(error)) {
            if (it->path().extension() == ".json") {
                files.push_back(it->path());
            }
        }
        std::ranges::sort(files);
        std::vector<LoggedRequest> records;
        for (const auto& file : files) {
            std::ifstream in(file, std::ios::binary);
            const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            if (auto record = parse_logged_request(text)) {
                records.push_back(std::move(*record));
            }
        }
        return records;
    }

private:
    std::filesystem::path directory_;
};

}  // namespace brimora::testing
