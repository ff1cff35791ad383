// The payload download and installer cache against the rig's feed server: every cache state,
// every failure code with the partial file it leaves, and the progress it reports.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <limits>
#include <tuple>

#include "download.hpp"
#include "support/byte_checks.hpp"
#include "support/rig_control.hpp"
#include "support/temp_dir.hpp"
#include "support/win32.hpp"
#include "brimora/texts.hpp"
#include "transport.hpp"
#include "windows_app/failure_print.hpp"
#include "windows_app/recorded_io.hpp"

namespace brimora::win {
namespace {

namespace fs = std::filesystem;
namespace rig = brimora::testing::rig;
using brimora::testing::pattern_bytes;
using brimora::testing::read_file;
using brimora::testing::same_bytes;
using brimora::testing::write_file;
using test::flip_last;
using test::RECORDING_IO;
using test::release_of;
using test::take_reported;
using Json = nlohmann::json;
using Text = std::optional<std::string>;
constexpr std::uint64_t MAX64 = std::numeric_limits<std::uint64_t>::max();

// 10 + min(65, received * 65 / size), the product saturating: neither wrapping nor exact.
TEST(DownloadProgress, FollowsTheSaturatingFormula) {
    // clang-format off
    const std::uint64_t cases[][3] = {
        {0, 1000, 10}, {500, 1000, 42}, {999, 1000, 74}, {1000, 1000, 75}, {1001, 1000, 75}, {1, 3, 31},
        {MAX64 / 65, MAX64 / 65, 75},          // the largest product that fits is still exact
        {MAX64 / 65 + 1, MAX64 / 65 + 1, 74},  // saturated: MAX / size
        {1ull << 62, 1ull << 63, 11},          // wrapping would give 10, exact arithmetic 42
        {MAX64, MAX64, 11},
    };
    // clang-format on
    for (const auto& [received, size, percent] : cases) {
        EXPECT_EQ(download_progress(received, size), percent) << received << " of " << size;
    }
}

class DownloadTest : public rig::RigTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(RigTest::SetUp());
        ASSERT_TRUE(rig::serve(release.file_name, P));
        test::stop.store(false);
        take_reported();
    }
    AppContext context(InstallerLocale locale = InstallerLocale::en) const {
        return AppContext{{}, cache.path(), locale};
    }
    void reset_cache(const Text& partial, const Text& final) const {
        std::error_code ignored;
        fs::create_directories(cache.path(), ignored);
        for (const auto& [path, content] : {std::pair(partial_path, partial), std::pair(final_path, final)}) {
            ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            fs::remove_all(path, ignored);
            if (content) {
                write_file(path, *content);
            }
        }
    }
    // The payload GETs made since the log held `before` entries.
    std::vector<rig::LoggedRequest> requests_since(std::size_t before) const {
        auto all = rig::feed_requests();
        all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(before, all.size())));
        for (const auto& r : all) {
            EXPECT_EQ(r.method + " " + r.path, "GET " + std::string(FEED_PREFIX) + release.file_name);
        }
        return all;
    }

    brimora::testing::TempDir cache;
    const std::string P = pattern_bytes(300000, 7);  // two full 131072-byte reads and a short one
    const ValidatedRelease release = release_of(P);
    const fs::path final_path = cache / release.file_name;
    const fs::path partial_path = cache / (release.file_name + ".partial");
};

enum class Progress { none, complete, incomplete };

// Every cache state and every answer of the feed, with what the cache holds afterwards.
TEST_F(DownloadTest, CacheStatesAndFeedAnswers) {
    const std::string head = P.substr(0, 100000);
    const std::string garbage = pattern_bytes(250000, 99);
    const Failure status{"download_status", FailureReason::download_failed};
    const Failure rejected{"resume_rejected", FailureReason::download_failed};
    const Failure too_large{"payload_too_large", FailureReason::payload_size_mismatch};
    const Failure size{"payload_size_mismatch", FailureReason::payload_size_mismatch};
    const Failure cancelled{"cancelled", FailureReason::cancelled};
    const Json restart = {{"ignore_range", true}};
    using enum Progress;
    struct Case {
        const char* name = "";
        Text partial{}, final{};
        Json feed_mode{};                  // null: the normal feed
        std::optional<Failure> failure{};  // nothing: the final path comes back
        int requests = 1;
        Text range{};  // of the one request
        Text partial_after{}, final_after{};
        Progress progress = none;
        bool cancel = false;
        InstallerLocale locale = InstallerLocale::en;
        bool still_clock = false;  // reports paced by time: only the first and the last go out
    };
    // clang-format off
    const Case cases[] = {
        {.name = "fresh download", .final_after = P, .progress = complete},
        {.name = "fresh download, Japanese", .final_after = P, .progress = complete, .locale = InstallerLocale::ja},
        {.name = "fresh download, clock standing still", .final_after = P, .progress = complete, .still_clock = true},
        {.name = "fresh answered 206", .feed_mode = {{"status", 206}}, .failure = status},
        {.name = "fresh answered 404: empty partial untouched", .partial = "", .feed_mode = {{"status", 404}},
         .failure = status, .partial_after = ""},
        {.name = "resumed with 206", .partial = head, .range = "bytes=100000-", .final_after = P, .progress = complete},
        {.name = "resume answered 200: rewritten from byte 0", .partial = garbage, .feed_mode = restart,
         .range = "bytes=250000-", .final_after = P, .progress = complete},
        {.name = "resume answered 200, short body: nothing old left", .partial = garbage,
         .feed_mode = {{"ignore_range", true}, {"short_by", 200000}}, .failure = size, .range = "bytes=250000-",
         .partial_after = head, .progress = incomplete},
        {.name = "resume answered 416", .partial = head, .feed_mode = {{"range_status", 416}}, .failure = rejected,
         .range = "bytes=100000-", .partial_after = head},
        {.name = "body one byte long", .feed_mode = {{"long_by", 1}}, .failure = too_large, .progress = incomplete},
        {.name = "resumed body one byte long", .partial = head, .feed_mode = {{"long_by", 1}}, .failure = too_large,
         .range = "bytes=100000-", .progress = incomplete},
        {.name = "body one byte short", .feed_mode = {{"short_by", 1}}, .failure = size,
         .partial_after = P.substr(0, P.size() - 1), .progress = incomplete},
        {.name = "what the short body left: resumed by the next attempt, one report",
         .partial = P.substr(0, P.size() - 1), .range = "bytes=299999-", .final_after = P, .progress = complete},
        // Wine ends the body at the early close with a 0-byte read (Windows fails the read instead:
        // "download_failed"); the bytes stay for the resume either way.
        {.name = "connection closed after one chunk", .feed_mode = {{"close_after", 131072}}, .failure = size,
         .partial_after = P.substr(0, 131072), .progress = incomplete},
        {.name = "partial of the release size: renamed, no request", .partial = P, .requests = 0, .final_after = P},
        {.name = "partial one byte long: fresh download", .partial = P + "x", .final_after = P, .progress = complete},
        {.name = "partial one byte long: deleted though the fresh download fails", .partial = P + "x",
         .feed_mode = {{"status", 404}}, .failure = status},
        {.name = "verified final beside a partial: no request", .partial = head, .final = P, .requests = 0,
         .partial_after = head, .final_after = P},
        {.name = "final with a wrong digest: fresh download", .final = flip_last(P), .final_after = P,
         .progress = complete},
        {.name = "final with a wrong digest beside a partial: resumed", .partial = head, .final = flip_last(P),
         .range = "bytes=100000-", .final_after = P, .progress = complete},
        {.name = "final one byte short: deleted though the download fails", .final = P.substr(1),
         .feed_mode = {{"status", 404}}, .failure = status},
        {.name = "cancelled before the first read", .failure = cancelled, .partial_after = "", .cancel = true},
        {.name = "cancelled before the first read of a restart", .partial = garbage, .feed_mode = restart,
         .failure = cancelled, .range = "bytes=250000-", .partial_after = "", .cancel = true},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_cache(c.partial, c.final);
        ASSERT_TRUE(c.feed_mode.is_null() ? (rig::normal_feed(), true) : rig::set_feed_mode(c.feed_mode));
        test::stop.store(c.cancel);
        const std::size_t before = rig::feed_requests().size();

        AttemptIo io = RECORDING_IO;
        if (c.still_clock) {
            io.clock.now_ms = [] { return std::uint64_t{1000}; };
        }
        const auto result = download_payload(context(c.locale), release, io);
        test::stop.store(false);

        ASSERT_EQ(failure_of(result), c.failure);
        EXPECT_EQ(fs::path(result.value_or(L"")), c.failure ? fs::path() : final_path);
        const auto requests = requests_since(before);
        ASSERT_EQ(requests.size(), static_cast<std::size_t>(c.requests));
        if (c.requests == 1) {
            EXPECT_EQ(requests[0].header("Range"), c.range);
        }
        EXPECT_TRUE(same_bytes(read_file(partial_path), c.partial_after)) << "partial file";
        EXPECT_TRUE(same_bytes(read_file(final_path), c.final_after)) << "final file";

        const auto posted = take_reported();
        ASSERT_EQ(posted.empty(), c.progress == Progress::none) << posted.size() << " progress reports";
        ASSERT_LE(posted.size(), c.still_clock ? 2u : 66u) << "one report per value at most";
        if (posted.empty()) {
            continue;
        }
        // A resumed body starts above its offset's value; a fresh or restarted one at most one
        // buffer in.
        if (c.range && !c.feed_mode.contains("ignore_range")) {
            EXPECT_GT(posted.front().value, download_progress(c.partial->size(), P.size()));
        } else {
            EXPECT_LE(posted.front().value, download_progress(DOWNLOAD_BUFFER_BYTES, P.size()));
        }
        for (std::size_t i = 0; i < posted.size(); ++i) {
            EXPECT_LT(i > 0 ? posted[i - 1].value : 0, posted[i].value) << "report " << i;
            EXPECT_EQ(posted[i].text, texts_for(c.locale).downloading);
        }
        EXPECT_EQ(posted.back().value == 75, c.progress == Progress::complete) << posted.back().value;
    }
}

std::atomic<int> pauses{0};
void counted_sleep(std::uint32_t ms) {
    ++pauses;
    sleep_ms(ms);
}

// The file system refuses; `prepare` may return a handle held open during the download, and a
// scanner may hold the partial file (sharing reading and writing, not deletion) for `scanner_ms`.
// A refusal that waiting cannot mend fails `at_once`, without a pause.
TEST_F(DownloadTest, FileSystemFailures) {
    const Failure write_failed{"cache_write_failed", FailureReason::insufficient_disk_space};
    const Failure finalize_failed{"cache_finalize_failed", FailureReason::download_failed};
    const auto holder = [](const fs::path& path, DWORD share) {
        return FileHandle(::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
    };
    const auto nothing = [] { return FileHandle(); };
    const DWORD past_the_bound = static_cast<DWORD>(test::TEST_LOCK_BUDGET.count()) + 5000;
    AttemptIo io = RECORDING_IO;
    io.clock.pause_ms = counted_sleep;
    struct Case {
        const char* name;
        Text partial;
        std::function<FileHandle()> prepare;
        DWORD scanner_ms;
        std::optional<Failure> failure;  // nothing: the final file holds the payload
        int requests;
        bool at_once = false;
    };
    // clang-format off
    const Case cases[] = {
        {"cache directory missing", {}, [&] { fs::remove_all(cache.path()); return FileHandle(); }, 0, write_failed, 1},
        {"partial name taken by a directory", {}, [&] { fs::create_directory(partial_path); return FileHandle(); }, 0,
         write_failed, 1},
        {"partial held by a reader that does not share writing", P.substr(0, 1000),
         [&] { return holder(partial_path, FILE_SHARE_READ); }, 0, write_failed, 1},
        {"final name taken by a directory: the rename fails at once", P,
         [&] { fs::create_directory(final_path); return FileHandle(); }, 0, finalize_failed, 0, true},
        {"complete partial held by a scanner for 1 s: the rename waits for it", P, nothing, 1000, {}, 0},
        {"resumed partial held by a scanner for 1 s: written through the hold, renamed after it", P.substr(0, 1000),
         nothing, 1000, {}, 1},
        {"held past the bound: the rename fails and the partial stays whole", P, nothing, past_the_bound,
         finalize_failed, 0},
        {"Retry after the hold is gone: renamed without a request", P, nothing, 0, {}, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_cache(c.partial, {});
        FileHandle held = c.prepare();
        std::optional<brimora::testing::ScannerHold> scanner;
        if (c.scanner_ms != 0) {
            scanner.emplace(partial_path.wstring(), GENERIC_READ, c.scanner_ms);
            ASSERT_TRUE(scanner->held());
        }
        const std::size_t before = rig::feed_requests().size();
        pauses.store(0);
        const auto result = download_payload(context(), release, io);
        scanner.reset();
        held.reset();
        EXPECT_EQ(requests_since(before).size(), static_cast<std::size_t>(c.requests));
        take_reported();
        ASSERT_EQ(failure_of(result), c.failure);
        // A success leaves the payload as the final file and no partial; a failure no final file
        // and the partial as it was.
        EXPECT_TRUE(same_bytes(fs::is_regular_file(partial_path) ? read_file(partial_path) : Text(),
                               c.failure ? c.partial : Text()));
        EXPECT_TRUE(
            same_bytes(fs::is_regular_file(final_path) ? read_file(final_path) : Text(), c.failure ? Text() : Text(P)));
        if (c.at_once) {
            EXPECT_EQ(pauses.load(), 0) << "waited for a refusal that cannot pass";
        }
    }
}

// A partial file that vanished after its length was read must not be recreated by the resume.
TEST_F(DownloadTest, AppendOpenNeverCreatesTheFile) {
    const auto missing = open_partial_for_append(partial_path);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), (Failure{"cache_write_failed", FailureReason::insufficient_disk_space}));
    EXPECT_FALSE(fs::exists(partial_path));

    write_file(partial_path, "first|");
    auto existing = open_partial_for_append(partial_path);
    ASSERT_TRUE(existing) << existing.error().code;
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(existing->get(), "second", 6, &written, nullptr));
    existing->reset();
    EXPECT_EQ(read_file(partial_path), Text("first|second"));
}

// A release file name that could leave the cache directory is refused before any request.
TEST_F(DownloadTest, FileNamesThatCouldLeaveTheCacheAreRefused) {
    for (const char* name : {"..\\Brimora-1.4.0-win-x64.exe", "../Brimora-1.4.0-win-x64.exe", "sub\\Brimora.exe",
                             "C:Brimora.exe", "Brimora.exe:stream", "..", "", "Brimora.exe."}) {
        SCOPED_TRACE(name);
        ValidatedRelease outside = release;
        outside.file_name = name;
        const std::size_t before = rig::feed_requests().size();
        const auto result = download_payload(context(), outside, RECORDING_IO);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), (Failure{"download_failed", FailureReason::download_failed}));
        EXPECT_EQ(rig::feed_requests().size(), before);
        EXPECT_TRUE(fs::is_empty(cache.path()));
        EXPECT_FALSE(fs::exists(cache.path().parent_path() / "Brimora-1.4.0-win-x64.exe.partial"));
    }
}

// Whether to stop is asked before every read, not just the first: asked as the first progress
// arrives while the body trickles in, the download stops at the next read, with what arrived
// on disk.
TEST_F(DownloadTest, CancelDuringTheBodyStopsAtTheNextRead) {
    const std::string big = pattern_bytes(1 << 20, 11);
    const ValidatedRelease big_release = release_of(big);
    ASSERT_TRUE(rig::serve(big_release.file_name, big) && rig::set_feed_mode({{"rate", 262144}}));
    test::stop_on_report.store(true);
    const auto result = download_payload(context(), big_release, RECORDING_IO);
    test::stop_on_report.store(false);
    const auto posted = take_reported();

    ASSERT_FALSE(result.has_value()) << "finished before the cancel request";
    EXPECT_EQ(result.error(), (Failure{"cancelled", FailureReason::cancelled}));
    const Text partial = read_file(partial_path);
    ASSERT_TRUE(partial && !posted.empty());
    std::printf("    cancelled after %zu of %zu bytes\n", partial->size(), big.size());
    EXPECT_LT(partial->size(), big.size());
    EXPECT_TRUE(same_bytes(partial, big.substr(0, partial->size())));
    EXPECT_EQ(posted.back().value, download_progress(partial->size(), big.size()));
}

// A feed gone quiet fails once the attempt's receive timeout runs out (2 s here; the e2e scenario
// of a stalled feed waits out the real 30 s), and the partial file keeps every byte that arrived.
TEST_F(DownloadTest, QuietFeedFailsAfterItsReceiveTimeout) {
    AttemptIo quiet = RECORDING_IO;
    quiet.feed_timeouts.receive = 2000;
    const std::string head = P.substr(0, 100000);
    const std::tuple<const char*, Json, Text, std::string> cases[] = {
        {"resume request never answered", {{"silent", true}}, head, head},
        {"body stalls after one chunk", {{"stall_after", 131072}}, {}, P.substr(0, 131072)},
    };
    for (const auto& [name, mode, partial, partial_after] : cases) {
        SCOPED_TRACE(name);
        reset_cache(partial, {});
        ASSERT_TRUE(rig::set_feed_mode(mode));
        const auto result = brimora::testing::within(
            std::chrono::seconds(120), name, [this, &quiet] { return download_payload(context(), release, quiet); });
        ASSERT_TRUE(result);
        ASSERT_FALSE(*result);
        EXPECT_EQ(result->error(), (Failure{"download_failed", FailureReason::download_failed}));
        EXPECT_TRUE(same_bytes(read_file(partial_path), partial_after));
        take_reported();
    }
}

// verify_size_and_hash: each result of the file check, its pair, and whether the file stays.
TEST_F(DownloadTest, VerifySizeAndHashMapsEveryResult) {
    const fs::path file = partial_path;
    const Failure unreadable{"payload_read_failed", FailureReason::payload_hash_mismatch};
    const Failure hash{"payload_hash_mismatch", FailureReason::payload_hash_mismatch};
    const auto nothing = [] { return FileHandle(); };
    // clang-format off
    const std::tuple<const char*, Text, std::function<FileHandle()>, std::optional<Failure>, bool> cases[] = {
        {"matching file", P, nothing, {}, true},
        {"missing file", {}, nothing, unreadable, false},
        {"held open without read sharing", P,
         [&] { return FileHandle(::CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)); },
         unreadable, true},
        {"one byte short", P.substr(1), nothing, Failure{"payload_size_mismatch", FailureReason::payload_size_mismatch},
         true},
        {"last byte differs: deleted", flip_last(P), nothing, hash, false},
        {"digest differs, deletion refused: same pair", flip_last(P),
         [&] { ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY); return FileHandle(); }, hash, true},
    };
    // clang-format on
    for (const auto& [name, content, prepare, failure, stays] : cases) {
        SCOPED_TRACE(name);
        reset_cache(content, {});
        FileHandle held = prepare();
        const auto result = verify_size_and_hash(file, release);
        held.reset();
        EXPECT_EQ(failure_of(result), failure);
        EXPECT_TRUE(same_bytes(read_file(file), stays ? content : Text()));
    }
    reset_cache({}, {});
}

}  // namespace
}  // namespace brimora::win
