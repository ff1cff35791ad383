// The rig as the Win32 layer's tests meet it under Wine: WinHTTP (through the transport, whose
// own headers transport_test checks) reaches the production host names through the namespace and
// trusts only the rig's CA; the signed fixtures verify (or fail to) exactly as their names
// promise; the test installer and the test app do what the other tests rely on. A fault here
// would make every later test pass or fail for the wrong reason.
#include <windows.h>
#include <wintrust.h>
#include <softpub.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "authenticode.hpp"
#include "handles.hpp"
#include "process.hpp"
#include "transport.hpp"
#include "support/rig_control.hpp"
#include "support/rig_fixtures.hpp"
#include "support/win32.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace rig = brimora::testing::rig;
using brimora::testing::TempDir;
using brimora::win::KernelHandle;
using brimora::win::RegistryKey;

const std::string MANIFEST = std::string(brimora::win::FEED_PREFIX) + "latest.yml";
constexpr std::string_view EVENTS = "/api/desktop/acquisition-events";
constexpr const wchar_t* APP_KEY = L"Software\\9b2e4d71-5c08-5a3f-8e6d-2f71c4a90b5e";

std::string utf8(const std::filesystem::path& path) {
    const auto text = path.u8string();
    return {text.begin(), text.end()};
}

using brimora::testing::running_under_wine;
using brimora::win::trust_verdict;

// ---- one request through the product's transport, with short limits ----

struct Reply {
    DWORD status = 0;
    std::string body;
};

// nullopt when any step fails: name resolution, connect, TLS, send, receive or read.
std::optional<Reply> https(std::string_view verb, std::string_view host, std::string_view path,
                           std::optional<std::uint64_t> range = std::nullopt,
                           std::optional<std::string_view> body = std::nullopt) {
    constexpr brimora::win::Timeouts LIMITS{5000, 5000, 5000, 5000};
    const auto bytes = body
                           ? std::optional(std::span(reinterpret_cast<const std::uint8_t*>(body->data()), body->size()))
                           : std::nullopt;
    auto response = brimora::win::open_request(verb, host, path, range, bytes, LIMITS);
    if (!response) {
        return std::nullopt;
    }
    const DWORD status = response->status();
    const auto read = brimora::win::read_bounded_body(std::move(*response));
    return read ? std::optional(Reply{status, std::string(read->begin(), read->end())}) : std::nullopt;
}

// These tests run only inside the rig's runner: a runner that stopped exporting its variables
// fails them (rig::RigTest), not turns them into skips that leave the tier green.
using RigNetwork = rig::RigTest;
using RigFixtures = rig::RigTest;

TEST_F(RigNetwork, FeedAnswersWinHttpThroughTheNamespace) {
    const std::string manifest = "version: 1.2.3\nfiles: []\n";
    ASSERT_TRUE(rig::serve(L"latest.yml", manifest));
    // What would be broken in the rig if the row failed; the feed mode; the range asked for; the
    // answer.
    const std::tuple<const char*, const char*, std::optional<std::uint64_t>, DWORD, std::string> cases[] = {
        {"host not mapped, CA not trusted, or file not served", "{}", std::nullopt, 200, manifest},
        {"Range not honoured", "{}", 8, 206, manifest.substr(8)},
        {"a range beyond the end not refused", "{}", 999, 416, ""},
        {"status override ignored", R"({"status": 302, "location": "https://elsewhere.invalid/"})", std::nullopt, 302,
         ""},
    };
    for (const auto& [fault, mode, range, status, body] : cases) {
        SCOPED_TRACE(fault);
        ASSERT_TRUE(rig::set_feed_mode(nlohmann::json::parse(mode)));
        const auto reply = https("GET", "downloads.brimora.app", MANIFEST, range);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->status, status);
        EXPECT_EQ(reply->body, body);
    }
    const auto log = rig::feed_request_lines();
    ASSERT_EQ(log.size(), std::size(cases));
    EXPECT_NE(log[1].find(R"("Range": "bytes=8-")"), std::string::npos) << log[1];
    EXPECT_NE(log[0].find(R"("User-Agent": "BrimoraInstaller/1")"), std::string::npos) << log[0];
    EXPECT_EQ(log[0].find("Range"), std::string::npos) << log[0];
}

TEST_F(RigNetwork, OnlyTheTwoProductionNamesReachTheRig) {
    ASSERT_TRUE(rig::serve(L"latest.yml", "x"));
    // Another name does not resolve; the servers' own address fails the certificate's name check,
    // which shows Wine really verifies what it connects to.
    EXPECT_FALSE(https("GET", "nosuch.brimora.app", MANIFEST).has_value());
    EXPECT_FALSE(https("GET", "127.0.0.2", MANIFEST).has_value());
    EXPECT_TRUE(https("GET", "downloads.brimora.app", MANIFEST).has_value());
}

TEST_F(RigNetwork, RecorderStoresThePostAndCanBeAbsent) {
    const std::string body = R"({"event":"installer_started","n":1})";
    const auto reply = https("POST", "events.brimora.app", EVENTS, std::nullopt, body);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->status, 200u);
    auto records = rig::event_records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_NE(records[0].find(R"("path": "/api/desktop/acquisition-events")"), std::string::npos);
    EXPECT_NE(records[0].find(R"("Content-Type": "application/json")"), std::string::npos);
    EXPECT_NE(records[0].find(R"("body": "{\"event\":\"installer_started\",\"n\":1}")"), std::string::npos)
        << records[0];

    // A refused connection fails the request; the switch back must work too.
    ASSERT_TRUE(rig::set_events_mode("absent"));
    EXPECT_FALSE(https("POST", "events.brimora.app", EVENTS, std::nullopt, body).has_value());
    ASSERT_TRUE(rig::set_events_mode("200"));
    EXPECT_TRUE(https("POST", "events.brimora.app", EVENTS, std::nullopt, body).has_value());
    EXPECT_EQ(rig::event_records().size(), 2u);
}

// ---- signatures of the fixtures ----

using Store = brimora::win::CertStore;
using Message = brimora::win::CryptMessage;
using Certificate = brimora::win::CertContext;

// The simple display name of the first signer's certificate, as UTF-16; nullopt when unsigned.
std::optional<std::wstring> signer_name(const std::filesystem::path& file) {
    Store store;
    Message message;
    DWORD encoding = 0, content = 0, format = 0;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, file.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &content, &format, store.put(), message.put(),
                          nullptr)) {
        return std::nullopt;
    }
    DWORD size = 0;
    if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size)) {
        return std::nullopt;
    }
    std::vector<std::uint64_t> storage((size + 7) / 8);
    auto* signer = reinterpret_cast<CMSG_SIGNER_INFO*>(storage.data());
    if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, signer, &size)) {
        return std::nullopt;
    }
    CERT_INFO wanted{};
    wanted.Issuer = signer->Issuer;
    wanted.SerialNumber = signer->SerialNumber;
    Certificate certificate(CertFindCertificateInStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                       CERT_FIND_SUBJECT_CERT, &wanted, nullptr));
    if (!certificate) {
        return std::nullopt;
    }
    const DWORD n = CertGetNameStringW(certificate.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    std::wstring name(n, L'\0');
    CertGetNameStringW(certificate.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name.data(), n);
    name.resize(n > 0 ? n - 1 : 0);
    return name;
}

TEST_F(RigFixtures, SignaturesAreWhatTheirNamesSay) {
    for (const auto& v : brimora::testing::FIXTURE_VERDICTS) {
        const auto path = *rig::fixture(v.fixture);
        SCOPED_TRACE(utf8(path));
        ASSERT_TRUE(std::filesystem::exists(path)) << "build the windows tree first";
        if (v.windows_only) {
            if (!running_under_wine()) {
                EXPECT_NE(trust_verdict(path), 0) << "on Windows this needs the rig's code-signing root trusted";
            }
            continue;
        }
        EXPECT_EQ(static_cast<std::uint32_t>(trust_verdict(path)), v.wine_trust);
        const auto name = signer_name(path);
        ASSERT_EQ(name.has_value(), v.signer != nullptr);
        if (name) {
            EXPECT_EQ(*name, std::filesystem::path(v.signer).wstring());
        }
    }
}

// ---- the test installer and the test app as processes ----

class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const wchar_t* value)
        : name_(name), old_(brimora::win::environment_variable(name)) {
        SetEnvironmentVariableW(name, value);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    ~ScopedEnvironment() { SetEnvironmentVariableW(name_, old_ ? old_->c_str() : nullptr); }

private:
    const wchar_t* name_;
    std::optional<std::wstring> old_;
};

struct Finished {
    DWORD exit_code = 0;
    DWORD pid = 0;
};

// Runs a command line to its end. nullopt if it could not start or did not end within a minute
// (the bound only keeps a broken fixture from hanging the suite).
std::optional<Finished> run(const std::filesystem::path& program, std::wstring command_line) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        return std::nullopt;
    }
    KernelHandle process(info.hProcess);
    KernelHandle thread(info.hThread);
    if (WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 99);
        return std::nullopt;
    }
    Finished done;
    done.pid = info.dwProcessId;
    return GetExitCodeProcess(process.get(), &done.exit_code) ? std::optional(done) : std::nullopt;
}

// The raw "InstallLocation" data and its type, or nullopt when the value is missing.
std::optional<std::pair<DWORD, std::wstring>> install_location() {
    RegistryKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, APP_KEY, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key.get(), L"InstallLocation", nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::wstring data(size / sizeof(wchar_t), L'\0');
    if (RegQueryValueExW(key.get(), L"InstallLocation", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::pair(type, data);
}

class RigProcesses : public rig::RigTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(RigTest::SetUp());
        RegDeleteTreeW(HKEY_CURRENT_USER, APP_KEY);
    }
    void TearDown() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, APP_KEY);
        RigTest::TearDown();
    }
};

struct InstallerCase {
    const char* what;
    const wchar_t* fixture;
    const wchar_t* arguments;  // appended to the quoted path
    const wchar_t* exit_env;   // BRIMORA_TEST_INSTALLER_EXIT, nullptr for unset
    DWORD exit_code;
    bool installs;
    bool spell_path_upper = false;  // the quoted path in other letter case
};

TEST_F(RigProcesses, InstallerAcceptsOnlyTheExactCommandLine) {
    const InstallerCase cases[] = {
        {"exact command line", L"installer-signed.exe", L" /S /currentuser --force-run", nullptr, 0, true},
        {"same file, other spelling", L"installer-signed.exe", L" /S /currentuser --force-run", nullptr, 0, true, true},
        {"unquoted path", L"installer-signed.exe", nullptr, nullptr, 2, false},
        {"arguments reordered", L"installer-signed.exe", L" /currentuser /S --force-run", nullptr, 2, false},
        {"argument missing", L"installer-signed.exe", L" /S /currentuser", nullptr, 2, false},
        {"trailing blank", L"installer-signed.exe", L" /S /currentuser --force-run ", nullptr, 2, false},
        {"doubled blank", L"installer-signed.exe", L" /S  /currentuser --force-run", nullptr, 2, false},
        {"exit code asked for", L"installer-signed.exe", L" /S /currentuser --force-run", L"7", 7, true},
        {"exit code not a number", L"installer-signed.exe", L" /S /currentuser --force-run", L"7x", 4, false},
        {"failing variant", L"installer-exit1.exe", L" /S /currentuser --force-run", nullptr, 1, false},
        {"failing variant, wrong line", L"installer-exit1.exe", L" /S", nullptr, 2, false},
        {"variant that installs nothing and exits 0", L"installer-exit0-empty.exe", L" /S /currentuser --force-run",
         nullptr, 0, false},
        {"empty variant, wrong line", L"installer-exit0-empty.exe", L" /S", nullptr, 2, false},
    };
    const auto app = rig::read_file(*rig::fixture(L"app-signed.exe"));
    ASSERT_TRUE(app.has_value());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir local;
        ScopedEnvironment local_app_data(L"LOCALAPPDATA", local.path().c_str());
        ScopedEnvironment exit_code(L"BRIMORA_TEST_INSTALLER_EXIT", c.exit_env);
        ScopedEnvironment delay(L"BRIMORA_TEST_INSTALLER_DELAY_MS", L"20");
        const auto program = *rig::fixture(c.fixture);
        std::wstring quoted = program.wstring();
        if (c.spell_path_upper) {
            CharUpperBuffW(quoted.data(), static_cast<DWORD>(quoted.size()));
        }
        const std::wstring line =
            c.arguments ? L"\"" + quoted + L"\"" + c.arguments : quoted + L" /S /currentuser --force-run";
        const auto done = run(program, line);
        ASSERT_TRUE(done.has_value());
        EXPECT_EQ(done->exit_code, c.exit_code);

        const auto folder = local.path() / L"Programs" / L"Brimora";
        const auto installed = rig::read_file(folder / L"brimora.exe");
        const auto location = install_location();
        if (c.installs) {
            EXPECT_EQ(installed, app) << "not the embedded signed app";
            ASSERT_TRUE(location.has_value());
            EXPECT_EQ(location->first, static_cast<DWORD>(REG_SZ));
            EXPECT_EQ(location->second, folder.wstring() + L'\0') << "folder path with exactly one terminator";
        } else {
            EXPECT_FALSE(installed.has_value());
            EXPECT_FALSE(location.has_value());
        }
        RegDeleteTreeW(HKEY_CURRENT_USER, APP_KEY);
    }
}

TEST_F(RigProcesses, AppRecordsEveryStartWithItsCommandLine) {
    TempDir local;
    ScopedEnvironment local_app_data(L"LOCALAPPDATA", local.path().c_str());
    const auto app = *rig::fixture(L"app-signed.exe");
    const std::wstring lines[] = {L"\"" + app.wstring() + L"\"", L"\"" + app.wstring() + L"\" one two"};
    std::string expected;
    for (const auto& line : lines) {
        const auto done = run(app, line);
        ASSERT_TRUE(done.has_value());
        EXPECT_EQ(done->exit_code, 0u);
        expected += std::to_string(done->pid) + "\t" + utf8(app) + "\t" + utf8(std::filesystem::path(line)) + "\r\n";
    }
    EXPECT_EQ(rig::read_file(local / L"brimora-started.txt").value_or("<missing>"), expected);

    ScopedEnvironment no_local(L"LOCALAPPDATA", nullptr);
    const auto without = run(app, L"\"" + app.wstring() + L"\"");
    ASSERT_TRUE(without.has_value());
    EXPECT_EQ(without->exit_code, 3u) << "started without LOCALAPPDATA";
}

}  // namespace
