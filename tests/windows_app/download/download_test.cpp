// The payload download and installer cache against the rig's feed server: every cache state,
// every failure code with the partial file it leaves, and the progress that reaches the window.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "app_state.hpp"
#include "brimora/sha512.hpp"
#include "download.hpp"
#include "handles.hpp"
#include "support/byte_checks.hpp"
#include "support/rig_control.hpp"
#include "support/temp_dir.hpp"
#include "texts.hpp"
#include "transport.hpp"
#include "ui_messages.hpp"

namespace brimora::win {
namespace {

namespace fs = std::filesystem;
using brimora::testing::pattern_bytes;
using brimora::testing::Rig;
using brimora::testing::same_bytes;
using brimora::testing::TempDir;

constexpr std::uint64_t MAX64 = std::numeric_limits<std::uint64_t>::max();

// The posted progress lands in the queue of a message-only window owned by the test's main
// thread; UI is set once for the whole program, as the window procedure would on WM_CREATE.
class ProgressWindow : public ::testing::Environment {
public:
    void SetUp() override {
        window_ = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    ::GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(window_, nullptr);
        ASSERT_TRUE(UI.set(UiHandles{.window = window_}));
    }
    static HWND window() { return window_; }

private:
    static inline HWND window_ = nullptr;
};
const auto* const progress_window = ::testing::AddGlobalTestEnvironment(new ProgressWindow);

struct Posted {
    std::uintptr_t value;
    std::string text;
};

// Takes every progress message posted so far, freeing each payload as the window would.
std::vector<Posted> take_posted() {
    std::vector<Posted> posted;
    MSG message;
    while (::PeekMessageW(&message, ProgressWindow::window(), WM_INSTALL_PROGRESS, WM_INSTALL_PROGRESS, PM_REMOVE)) {
        const auto text = take_text(message.lParam);
        posted.push_back({static_cast<std::uintptr_t>(message.wParam), text ? *text : std::string()});
    }
    return posted;
}

std::optional<std::string> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

ValidatedRelease release_of(std::string_view bytes, std::string file_name = "Brimora-1.4.0-win-x64.exe") {
    ValidatedRelease release;
    release.version = Version{1, 4, 0, {}, {}};
    release.file_name = std::move(file_name);
    release.size = bytes.size();
    const auto digest = sha512_of({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
    if (!digest) {
        ADD_FAILURE() << "SHA-512 of the test payload failed";
    } else {
        release.sha512 = *digest;
    }
    return release;
}

std::string flip_last(std::string bytes) {
    bytes.back() = static_cast<char>(bytes.back() ^ 0x5a);
    return bytes;
}

// download_progress: 10 + min(65, received * 65 / size) with the product saturating, not wrapping
// and not computed wider than 64 bits.
TEST(DownloadProgress, FollowsTheSaturatingFormula) {
    struct Case {
        std::uint64_t received;
        std::uint64_t size;
        std::uintptr_t percent;
    };
    const Case cases[] = {
        {0, 1000, 10},
        {500, 1000, 42},
        {999, 1000, 74},
        {1000, 1000, 75},
        {1001, 1000, 75},        // the cap of 65 points
        {1, 3, 31},              // floor, not rounding: 65 / 3 = 21.67
        {1, MAX64, 10},
        {MAX64 / 65, MAX64 / 65, 75},            // the largest product that still fits is exact
        {MAX64 / 65 + 1, MAX64 / 65 + 1, 74},    // one more saturates: MAX / size = 64
        {std::uint64_t{1} << 62, std::uint64_t{1} << 63, 11},  // wrapping would give 10, exact 42
        {MAX64, MAX64, 11},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(download_progress(c.received, c.size), c.percent) << c.received << " of " << c.size;
    }
}

class DownloadTest : public ::testing::Test {
protected:
    static constexpr std::size_t PAYLOAD_SIZE = 300000;  // two full 131072-byte reads and a short one

    void SetUp() override {
        const auto directory = brimora::testing::rig_directory();
        ASSERT_TRUE(directory.has_value()) << "BRIMORA_RIG_DIR_WIN is not set: these tests talk to the rig's "
                                              "feed server and run only inside tests/rig/run-in-namespace";
        rig_.emplace(*directory);
        rig_->normal_feed();
        payload_ = pattern_bytes(PAYLOAD_SIZE, 7);
        release_ = release_of(payload_);
        ASSERT_TRUE(rig_->serve(release_.file_name, payload_));
        CANCELLED.store(false);
        static_cast<void>(take_posted());
    }
    void TearDown() override {
        CANCELLED.store(false);
        if (rig_) {
            rig_->normal_feed();
        }
    }

    AppContext context(InstallerLocale locale = InstallerLocale::en) const {
        AppContext c;
        c.cache_dir = cache_.path();
        c.locale = locale;
        return c;
    }
    fs::path final_path() const { return cache_ / release_.file_name; }
    fs::path partial_path() const { return cache_ / (release_.file_name + ".partial"); }
    std::size_t logged() const { return rig_->feed_requests().size(); }

    // The requests made since `before`, each checked to be a GET of the payload.
    std::vector<brimora::testing::LoggedRequest> payload_requests_since(std::size_t before) const {
        auto all = rig_->feed_requests();
        std::vector<brimora::testing::LoggedRequest> since(all.begin() + static_cast<std::ptrdiff_t>(before),
                                                           all.end());
        for (const auto& request : since) {
            EXPECT_EQ(request.method, "GET");
            EXPECT_EQ(request.path, std::string(FEED_PREFIX) + release_.file_name);
        }
        return since;
    }

    std::optional<Rig> rig_;
    TempDir cache_;
    std::string payload_;
    ValidatedRelease release_;
};

enum class Progress {
    none,          // nothing posted
    from_zero,     // non-decreasing from the first chunk of a fresh body up to 75
    from_offset,   // non-decreasing from above the resume offset's value up to 75
    stops_short,   // non-decreasing from the first chunk of a fresh body, ending below 75
    from_offset_short,  // non-decreasing from above the resume offset's value, ending below 75
};

// Every cache state and every failure the feed can cause, with what the cache holds afterwards.
TEST_F(DownloadTest, CacheStatesAndFeedAnswers) {
    const std::size_t K = 100000;
    const std::string head = payload_.substr(0, K);
    struct Case {
        const char* name;
        std::optional<std::string> partial;  // before; nothing = absent
        std::optional<std::string> final;
        nlohmann::json feed_mode;
        std::optional<Failure> failure;      // nothing = the final path comes back
        int requests;
        std::optional<std::string> range;    // of the one request
        std::optional<std::string> partial_after;
        std::optional<std::string> final_after;
        Progress progress;
        InstallerLocale locale = InstallerLocale::en;
        bool cancelled = false;
    };
    const std::string& P = payload_;
    const std::string garbage = pattern_bytes(250000, 99);
    const Case cases[] = {
        {"nothing cached: fresh download", {}, {}, {}, {}, 1, {}, {}, P, Progress::from_zero},
        {"fresh download posts the Japanese text", {}, {}, {}, {}, 1, {}, {}, P, Progress::from_zero,
         InstallerLocale::ja},
        {"empty partial file: fresh download", "", {}, {}, {}, 1, {}, {}, P, Progress::from_zero},
        {"fresh download answered 206", {}, {}, {{"status", 206}}, Failure{"download_status", FailureReason::download_failed},
         1, {}, {}, {}, Progress::none},
        {"fresh download answered 404, empty partial stays", "", {}, {{"status", 404}},
         Failure{"download_status", FailureReason::download_failed}, 1, {}, "", {}, Progress::none},
        {"partial file resumed with 206", head, {}, {}, {}, 1, "bytes=100000-", {}, P, Progress::from_offset},
        {"resume answered 200: truncated and rewritten", garbage, {}, {{"ignore_range", true}}, {}, 1,
         "bytes=250000-", {}, P, Progress::from_zero},
        {"resume answered 200 with a short body: nothing of the old partial is left", garbage, {},
         {{"ignore_range", true}, {"short_by", 200000}},
         Failure{"payload_size_mismatch", FailureReason::payload_size_mismatch}, 1, "bytes=250000-", P.substr(0, 100000),
         {}, Progress::stops_short},
        {"resume answered 416: partial unchanged", head, {}, {{"range_status", 416}},
         Failure{"resume_rejected", FailureReason::download_failed}, 1, "bytes=100000-", head, {}, Progress::none},
        {"resume answered 404: partial unchanged", head, {}, {{"status", 404}},
         Failure{"resume_rejected", FailureReason::download_failed}, 1, "bytes=100000-", head, {}, Progress::none},
        {"body one byte long: partial deleted", {}, {}, {{"long_by", 1}},
         Failure{"payload_too_large", FailureReason::payload_size_mismatch}, 1, {}, {}, {}, Progress::stops_short},
        {"body a megabyte long: partial deleted", {}, {}, {{"long_by", 1 << 20}},
         Failure{"payload_too_large", FailureReason::payload_size_mismatch}, 1, {}, {}, {}, Progress::stops_short},
        {"resumed body one byte long: partial deleted", head, {}, {{"long_by", 1}},
         Failure{"payload_too_large", FailureReason::payload_size_mismatch}, 1, "bytes=100000-", {}, {},
         Progress::from_offset_short},
        {"connection closed after one chunk", {}, {}, {{"close_after", 131072}},
         Failure{"payload_size_mismatch", FailureReason::payload_size_mismatch}, 1, {}, P.substr(0, 131072), {},
         Progress::stops_short},
        {"body one byte short: partial kept", {}, {}, {{"short_by", 1}},
         Failure{"payload_size_mismatch", FailureReason::payload_size_mismatch}, 1, {}, P.substr(0, P.size() - 1), {},
         Progress::stops_short},
        {"partial of exactly the release size: renamed, no request", P, {}, {}, {}, 0, {}, {}, P, Progress::none},
        {"partial one byte too long: deleted, fresh download", P + "x", {}, {}, {}, 1, {}, {}, P,
         Progress::from_zero},
        {"partial one byte too long is deleted even when the fresh download fails", P + "x", {}, {{"status", 404}},
         Failure{"download_status", FailureReason::download_failed}, 1, {}, {}, {}, Progress::none},
        {"verified final file beside a partial: no request, partial stays", head, P, {}, {}, 0, {}, head, P,
         Progress::none},
        {"final file with a wrong digest: replaced by a fresh download", {}, flip_last(P), {}, {}, 1, {}, {}, P,
         Progress::from_zero},
        {"final file with a wrong digest beside a partial: resumed", head, flip_last(P), {}, {}, 1, "bytes=100000-",
         {}, P, Progress::from_offset},
        {"final file one byte short: replaced by a fresh download", {}, P.substr(1), {}, {}, 1, {}, {}, P,
         Progress::from_zero},
        {"final file that fails its check is deleted even when the download fails", {}, P.substr(1),
         {{"status", 404}}, Failure{"download_status", FailureReason::download_failed}, 1, {}, {}, {}, Progress::none},
        {"cancelled before the first read of a fresh body: empty partial", {}, {}, {},
         Failure{"cancelled", FailureReason::cancelled}, 1, {}, "", {}, Progress::none, InstallerLocale::en, true},
        {"cancelled before the first read of a body that restarts: partial emptied", garbage, {},
         {{"ignore_range", true}}, Failure{"cancelled", FailureReason::cancelled}, 1, "bytes=250000-", "", {},
         Progress::none, InstallerLocale::en, true},
        {"cancelled before the first read of a resumed body: partial kept", head, {}, {},
         Failure{"cancelled", FailureReason::cancelled}, 1, "bytes=100000-", head, {}, Progress::none,
         InstallerLocale::en, true},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ignored;
        fs::remove(final_path(), ignored);
        fs::remove(partial_path(), ignored);
        if (c.partial) {
            write_file(partial_path(), *c.partial);
        }
        if (c.final) {
            write_file(final_path(), *c.final);
        }
        if (c.feed_mode.is_object()) {
            ASSERT_TRUE(rig_->set_feed_mode(c.feed_mode));
        } else {
            rig_->normal_feed();
        }
        CANCELLED.store(c.cancelled);
        const std::size_t before = logged();

        const auto result = download_payload(context(c.locale), release_);
        CANCELLED.store(false);
        const auto posted = take_posted();

        if (c.failure) {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error(), *c.failure) << result.error().code;
        } else {
            ASSERT_TRUE(result.has_value()) << result.error().code;
            EXPECT_EQ(*result, final_path());
        }
        const auto requests = payload_requests_since(before);
        ASSERT_EQ(requests.size(), static_cast<std::size_t>(c.requests));
        if (c.requests == 1) {
            EXPECT_EQ(requests[0].header("Range"), c.range);
        }
        EXPECT_TRUE(same_bytes(read_file(partial_path()), c.partial_after));
        EXPECT_TRUE(same_bytes(read_file(final_path()), c.final_after));

        const std::uint64_t size = release_.size;
        switch (c.progress) {
            case Progress::none:
                EXPECT_TRUE(posted.empty()) << posted.size() << " progress messages";
                break;
            case Progress::from_zero:
            case Progress::from_offset:
            case Progress::stops_short:
            case Progress::from_offset_short: {
                ASSERT_FALSE(posted.empty());
                const std::uint64_t offset = c.partial ? c.partial->size() : 0;
                if (c.progress == Progress::from_offset || c.progress == Progress::from_offset_short) {
                    EXPECT_GT(posted.front().value, download_progress(offset, size));
                } else {
                    EXPECT_LE(posted.front().value, download_progress(DOWNLOAD_BUFFER_BYTES, size));
                }
                for (std::size_t i = 1; i < posted.size(); ++i) {
                    EXPECT_LE(posted[i - 1].value, posted[i].value) << "at message " << i;
                }
                if (c.progress == Progress::stops_short || c.progress == Progress::from_offset_short) {
                    EXPECT_LT(posted.back().value, 75u);
                } else {
                    EXPECT_EQ(posted.back().value, 75u);
                }
                for (const Posted& p : posted) {
                    EXPECT_EQ(p.text, texts_for(c.locale).downloading);
                }
                break;
            }
        }
    }
}

// Failures on this side of the wire: the file system refuses. `prepare` may hand back a handle that
// stays open during the download.
TEST_F(DownloadTest, FileSystemFailures) {
    using Prepare = std::function<FileHandle(const fs::path& cache, const fs::path& partial, const fs::path& final)>;
    struct Case {
        const char* name;
        Prepare prepare;
        Failure failure;
        int requests;
        std::optional<std::string> partial_after;
    };
    const std::string& P = payload_;
    const std::string head = P.substr(0, 1000);
    const Case cases[] = {
        {"cache directory missing",
         [](const fs::path& cache, const fs::path&, const fs::path&) {
             fs::remove_all(cache);
             return FileHandle();
         },
         {"cache_write_failed", FailureReason::insufficient_disk_space}, 1, {}},
        {"partial name taken by a directory",
         [](const fs::path&, const fs::path& partial, const fs::path&) {
             fs::create_directory(partial);
             return FileHandle();
         },
         {"cache_write_failed", FailureReason::insufficient_disk_space}, 1, {}},
        {"partial held open by a reader that does not share writing",
         [&head](const fs::path&, const fs::path& partial, const fs::path&) {
             write_file(partial, head);
             return FileHandle(::CreateFileW(partial.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
         },
         {"cache_write_failed", FailureReason::insufficient_disk_space}, 1, head},
        {"final name taken by a directory: rename fails, partial stays",
         [&P](const fs::path&, const fs::path& partial, const fs::path& final) {
             write_file(partial, P);
             fs::create_directory(final);
             return FileHandle();
         },
         {"cache_finalize_failed", FailureReason::download_failed}, 0, P},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ignored;
        fs::create_directories(cache_.path(), ignored);
        fs::remove_all(final_path(), ignored);
        fs::remove_all(partial_path(), ignored);
        FileHandle holder = c.prepare(cache_.path(), partial_path(), final_path());
        const std::size_t before = logged();

        const auto result = download_payload(context(), release_);
        holder.reset();

        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), c.failure) << result.error().code;
        EXPECT_EQ(payload_requests_since(before).size(), static_cast<std::size_t>(c.requests));
        EXPECT_TRUE(same_bytes(fs::is_regular_file(partial_path()) ? read_file(partial_path()) : std::nullopt, c.partial_after));
        EXPECT_FALSE(fs::is_regular_file(final_path()));
        static_cast<void>(take_posted());
    }
}

// A partial file that vanished after its length was read is not recreated by the resume open.
TEST_F(DownloadTest, AppendOpenNeverCreatesTheFile) {
    const auto missing = open_partial_for_append(partial_path());
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error(), (Failure{"cache_write_failed", FailureReason::insufficient_disk_space}));
    EXPECT_FALSE(fs::exists(partial_path()));

    write_file(partial_path(), "first part|");
    auto existing = open_partial_for_append(partial_path());
    ASSERT_TRUE(existing.has_value()) << existing.error().code;
    const std::string_view more = "second part";
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(existing->get(), more.data(), static_cast<DWORD>(more.size()), &written, nullptr));
    existing->reset();
    EXPECT_EQ(read_file(partial_path()), std::optional<std::string>("first part|second part"));
}

// The cache paths come from the release's file name alone; one that could leave the cache
// directory is refused before any request or file operation.
TEST_F(DownloadTest, FileNamesThatCouldLeaveTheCacheAreRefused) {
    const fs::path outside = cache_.path().parent_path();
    const char* const names[] = {"..\\Brimora-1.4.0-win-x64.exe", "../Brimora-1.4.0-win-x64.exe",
                                 "sub\\Brimora-1.4.0-win-x64.exe", "C:Brimora-1.4.0-win-x64.exe",
                                 "Brimora-1.4.0-win-x64.exe:stream", "..", ".", "",
                                 "Brimora-1.4.0-win-x64.exe."};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        ValidatedRelease release = release_;
        release.file_name = name;
        const std::size_t before = logged();
        const auto result = download_payload(context(), release);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), (Failure{"download_failed", FailureReason::download_failed}));
        EXPECT_EQ(logged(), before);
        EXPECT_FALSE(fs::exists(outside / "Brimora-1.4.0-win-x64.exe.partial"));
        EXPECT_TRUE(fs::is_empty(cache_.path()));
    }
}

// A body one byte short leaves a partial file that the next attempt resumes from its length.
TEST_F(DownloadTest, ShortBodyIsResumedByTheNextAttempt) {
    ASSERT_TRUE(rig_->set_feed_mode({{"short_by", 1}}));
    const auto first = download_payload(context(), release_);
    ASSERT_FALSE(first.has_value());
    EXPECT_EQ(first.error(), (Failure{"payload_size_mismatch", FailureReason::payload_size_mismatch}));
    EXPECT_TRUE(same_bytes(read_file(partial_path()), payload_.substr(0, payload_.size() - 1)));

    rig_->normal_feed();
    static_cast<void>(take_posted());
    const std::size_t before = logged();
    const auto second = download_payload(context(), release_);
    ASSERT_TRUE(second.has_value()) << second.error().code;
    const auto requests = payload_requests_since(before);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header("Range"), "bytes=" + std::to_string(payload_.size() - 1) + "-");
    EXPECT_TRUE(same_bytes(read_file(final_path()), payload_));
    EXPECT_FALSE(fs::exists(partial_path()));
    const auto posted = take_posted();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].value, 75u);
}

// CANCELLED is looked at before every read, not only the first: set while the body trickles in,
// the download stops at the next chunk boundary with what was written so far.
TEST_F(DownloadTest, CancelDuringTheBodyStopsAtTheNextRead) {
    const std::string big = pattern_bytes(1 << 20, 11);
    const ValidatedRelease release = release_of(big);
    ASSERT_TRUE(rig_->serve(release.file_name, big));
    ASSERT_TRUE(rig_->set_feed_mode({{"rate", 262144}}));

    std::optional<Outcome<fs::path>> result;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        result.emplace(download_payload(context(), release));
        done.store(true);
    });
    std::vector<Posted> posted;
    while (!done.load()) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_POSTMESSAGE);
        for (Posted& p : take_posted()) {
            posted.push_back(std::move(p));
            CANCELLED.store(true);
        }
    }
    worker.join();
    for (Posted& p : take_posted()) {
        posted.push_back(std::move(p));
    }

    ASSERT_TRUE(result.has_value());
    ASSERT_FALSE(result->has_value()) << "the download finished before the cancel request arrived";
    EXPECT_EQ(result->error(), (Failure{"cancelled", FailureReason::cancelled}));
    const auto partial = read_file(partial_path());
    ASSERT_TRUE(partial.has_value());
    std::printf("    cancelled after %zu of %zu bytes, %zu progress messages\n", partial->size(), big.size(),
                posted.size());
    EXPECT_GT(partial->size(), 0u);
    EXPECT_LT(partial->size(), big.size());
    EXPECT_TRUE(same_bytes(*partial, big.substr(0, partial->size())));
    ASSERT_FALSE(posted.empty());
    EXPECT_EQ(posted.back().value, download_progress(partial->size(), big.size()));
    EXPECT_FALSE(fs::exists(final_path()));
}

// A feed that goes quiet fails the download once the 30 s feed receive timeout runs out, and the
// partial file keeps every byte that arrived. Both cases wait out that timeout.
TEST_F(DownloadTest, SilentFeedFailsAfterItsReceiveTimeout) {
    const std::string head = payload_.substr(0, 100000);
    struct Case {
        const char* name;
        nlohmann::json feed_mode;
        std::optional<std::string> partial;
        std::string partial_after;
    };
    const Case cases[] = {
        {"no answer to a resume request: partial unchanged", {{"silent", true}}, head, head},
        {"body stalls after one full chunk: that chunk is kept", {{"stall_after", 131072}}, {},
         payload_.substr(0, 131072)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ignored;
        fs::remove(partial_path(), ignored);
        if (c.partial) {
            write_file(partial_path(), *c.partial);
        }
        ASSERT_TRUE(rig_->set_feed_mode(c.feed_mode));
        const auto start = std::chrono::steady_clock::now();
        const auto result = download_payload(context(), release_);
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        std::printf("    %s: failed after %lld ms\n", c.name, static_cast<long long>(elapsed.count()));
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), (Failure{"download_failed", FailureReason::download_failed}));
        EXPECT_TRUE(same_bytes(read_file(partial_path()), c.partial_after));
        EXPECT_FALSE(fs::exists(final_path()));
        static_cast<void>(take_posted());
    }
}

// verify_size_and_hash: each result of the file check, its failure pair and what happens to the file.
TEST_F(DownloadTest, VerifySizeAndHashMapsEveryResult) {
    using Prepare = std::function<FileHandle(const fs::path& file)>;
    struct Case {
        const char* name;
        std::optional<std::string> content;  // nothing = no file
        Prepare prepare;
        std::optional<Failure> failure;
        bool file_stays;
    };
    const std::string& P = payload_;
    std::string first_flipped = P;
    first_flipped.front() = static_cast<char>(first_flipped.front() ^ 1);
    const Prepare nothing = [](const fs::path&) { return FileHandle(); };
    const Case cases[] = {
        {"matching file", P, nothing, {}, true},
        {"missing file", {}, nothing, Failure{"payload_read_failed", FailureReason::payload_hash_mismatch}, false},
        {"file held open without read sharing", P,
         [](const fs::path& file) {
             return FileHandle(::CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
         },
         Failure{"payload_read_failed", FailureReason::payload_hash_mismatch}, true},
        {"one byte short", P.substr(1), nothing, Failure{"payload_size_mismatch", FailureReason::payload_size_mismatch},
         true},
        {"one byte long", P + "x", nothing, Failure{"payload_size_mismatch", FailureReason::payload_size_mismatch},
         true},
        {"last byte differs: deleted", flip_last(P), nothing,
         Failure{"payload_hash_mismatch", FailureReason::payload_hash_mismatch}, false},
        {"first byte differs: deleted", first_flipped, nothing,
         Failure{"payload_hash_mismatch", FailureReason::payload_hash_mismatch}, false},
        {"digest differs and the file cannot be deleted: same pair", flip_last(P),
         [](const fs::path& file) {
             ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
             return FileHandle();
         },
         Failure{"payload_hash_mismatch", FailureReason::payload_hash_mismatch}, true},
    };
    const fs::path file = cache_ / "checked.exe";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        std::error_code ignored;
        fs::remove(file, ignored);
        if (c.content) {
            write_file(file, *c.content);
        }
        FileHandle holder = c.prepare(file);
        const auto result = verify_size_and_hash(file, release_);
        holder.reset();
        if (c.failure) {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error(), *c.failure) << result.error().code;
        } else {
            EXPECT_TRUE(result.has_value()) << result.error().code;
        }
        EXPECT_TRUE(same_bytes(read_file(file), c.file_stays ? c.content : std::nullopt));
    }
    ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
}  // namespace brimora::win
