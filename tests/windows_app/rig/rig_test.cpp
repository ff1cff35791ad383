// The rig as the Win32 layer's tests meet it under Wine: WinHTTP reaches the production host
// names through the namespace and trusts only the rig's CA; the signed fixtures verify (or fail
// to) exactly as their names promise; the test installer and the test app do what the other
// tests rely on. A fault here would make every later test pass or fail for the wrong reason.
#include <windows.h>
#include <winhttp.h>
#include <wintrust.h>
#include <softpub.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "authenticode.hpp"
#include "handles.hpp"
#include "support/rig_control.hpp"
#include "support/win32.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace rig = brimora::testing::rig;
using brimora::testing::TempDir;
using brimora::win::KernelHandle;
using brimora::win::RegistryKey;
using brimora::win::UniqueHandle;

constexpr std::wstring_view FEED_PREFIX = L"/brimora-desktop-releases/production/win32-x64/";
constexpr const wchar_t* APP_KEY = L"Software\\9b2e4d71-5c08-5a3f-8e6d-2f71c4a90b5e";

#define SKIP_OUTSIDE_RIG()                         \
    do {                                           \
        if (const auto why = rig::unavailable()) { \
            GTEST_SKIP() << *why;                  \
        }                                          \
    } while (false)

std::string utf8(const std::filesystem::path& path) {
    const auto text = path.u8string();
    return {text.begin(), text.end()};
}

using brimora::testing::running_under_wine;
using brimora::win::trust_verdict;

// ---- a minimal HTTPS client, set up like the system's own requests ----

using Internet = brimora::win::WinHttpHandle;

struct Reply {
    DWORD status = 0;
    std::string body;
};

// nullopt when any step fails: name resolution, connect, TLS, send, receive or read.
std::optional<Reply> https(const wchar_t* verb, const wchar_t* host, const std::wstring& path,
                           const std::wstring& headers = {}, const std::string& body = {}) {
    Internet session(WinHttpOpen(L"BrimoraInstaller/1", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, 0));
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    if (!session || !WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols) ||
        !WinHttpSetTimeouts(session.get(), 5000, 5000, 5000, 5000)) {
        return std::nullopt;
    }
    Internet connection(WinHttpConnect(session.get(), host, INTERNET_DEFAULT_HTTPS_PORT, 0));
    Internet request(connection ? WinHttpOpenRequest(connection.get(), verb, path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                                     WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE)
                                : nullptr);
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    // Under Wine, WinHttpSetTimeouts leaves the wait for the response headers unbounded.
    DWORD receive = 5000;
    if (!request || !WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never) ||
        !WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &receive, sizeof receive)) {
        return std::nullopt;
    }
    if (!headers.empty() &&
        !WinHttpAddRequestHeaders(request.get(), headers.c_str(), static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD)) {
        return std::nullopt;
    }
    const auto length = static_cast<DWORD>(body.size());
    void* data = body.empty() ? nullptr : const_cast<char*>(body.data());
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, data, length, length, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        return std::nullopt;
    }
    Reply reply;
    DWORD size = sizeof reply.status;
    if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &reply.status, &size, WINHTTP_NO_HEADER_INDEX)) {
        return std::nullopt;
    }
    std::vector<char> buffer(8192);
    for (;;) {
        DWORD n = 0;
        if (!WinHttpReadData(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &n)) {
            return std::nullopt;
        }
        if (n == 0) {
            return reply;
        }
        reply.body.append(buffer.data(), n);
    }
}

class RigNetwork : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_OUTSIDE_RIG();
        ASSERT_TRUE(rig::reset());
    }
    void TearDown() override {
        if (!rig::unavailable()) {
            EXPECT_TRUE(rig::reset());
        }
    }
};

struct FeedCase {
    const char* fault;  // what would be broken in the rig if this row failed
    const char* mode;
    const wchar_t* headers;
    DWORD status;
    std::string body;
};

TEST_F(RigNetwork, FeedAnswersWinHttpThroughTheNamespace) {
    const std::string manifest = "version: 1.2.3\nfiles: []\n";
    ASSERT_TRUE(rig::serve(L"latest.yml", manifest));
    const FeedCase cases[] = {
        {"host not mapped, CA not trusted, or file not served", "{}", L"", 200, manifest},
        {"Range not honoured", "{}", L"Range: bytes=8-\r\n", 206, manifest.substr(8)},
        {"a range beyond the end not refused", "{}", L"Range: bytes=999-\r\n", 416, ""},
        {"status override ignored", R"({"status": 302, "location": "https://elsewhere.invalid/"})", L"", 302, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        ASSERT_TRUE(rig::set_feed_mode(nlohmann::json::parse(c.mode)));
        const auto reply =
            https(L"GET", L"downloads.brimora.app", std::wstring(FEED_PREFIX) + L"latest.yml", c.headers);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->status, c.status);
        EXPECT_EQ(reply->body, c.body);
    }
    const auto log = rig::feed_request_lines();
    ASSERT_EQ(log.size(), std::size(cases));
    EXPECT_NE(log[1].find(R"("Range": "bytes=8-")"), std::string::npos) << log[1];
    EXPECT_NE(log[0].find(R"("User-Agent": "BrimoraInstaller/1")"), std::string::npos) << log[0];
    EXPECT_EQ(log[0].find("Range"), std::string::npos) << log[0];
}

TEST_F(RigNetwork, OnlyTheTwoProductionNamesReachTheRig) {
    ASSERT_TRUE(rig::serve(L"latest.yml", "x"));
    const std::wstring path = std::wstring(FEED_PREFIX) + L"latest.yml";
    // Another name does not resolve; the servers' own address fails the certificate's name check,
    // which shows Wine really verifies what it connects to.
    EXPECT_FALSE(https(L"GET", L"nosuch.brimora.app", path).has_value());
    EXPECT_FALSE(https(L"GET", L"127.0.0.2", path).has_value());
    EXPECT_TRUE(https(L"GET", L"downloads.brimora.app", path).has_value());
}

TEST_F(RigNetwork, RecorderStoresThePostAndCanBeAbsent) {
    const std::string body = R"({"event":"installer_started","n":1})";
    const std::wstring json_headers = L"Content-Type: application/json\r\nAccept: application/json\r\n";
    const auto reply = https(L"POST", L"events.brimora.app", L"/api/desktop/acquisition-events", json_headers, body);
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
    EXPECT_FALSE(
        https(L"POST", L"events.brimora.app", L"/api/desktop/acquisition-events", json_headers, body).has_value());
    ASSERT_TRUE(rig::set_events_mode("200"));
    EXPECT_TRUE(
        https(L"POST", L"events.brimora.app", L"/api/desktop/acquisition-events", json_headers, body).has_value());
    EXPECT_EQ(rig::event_records().size(), 2u);
}

// ---- signatures of the fixtures ----

using brimora::win::HandleTraits;
using Store = UniqueHandle<HandleTraits<HCERTSTORE, [](HCERTSTORE h) { return CertCloseStore(h, 0); }>>;
using Message = UniqueHandle<HandleTraits<HCRYPTMSG, [](HCRYPTMSG h) { return CryptMsgClose(h); }>>;
using Certificate =
    UniqueHandle<HandleTraits<PCCERT_CONTEXT, [](PCCERT_CONTEXT h) { return CertFreeCertificateContext(h); }>>;

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

struct TrustCase {
    const wchar_t* fixture;
    LONG result;                // expected WinVerifyTrust result; 0 is success
    const wchar_t* signer;      // expected signer name, nullptr when unsigned
    bool windows_only = false;  // Wine accepts it regardless
};

TEST(RigFixtures, SignaturesAreWhatTheirNamesSay) {
    SKIP_OUTSIDE_RIG();
    const TrustCase cases[] = {
        {L"app-signed.exe", 0, L"BRIMORA K.K."},
        {L"app-unsigned.exe", TRUST_E_NOSIGNATURE, nullptr},
        {L"app-wrong-case.exe", 0, L"Brimora K.K."},
        {L"app-trailing-blank.exe", 0, L"BRIMORA K.K. "},
        {L"installer-signed.exe", 0, L"BRIMORA K.K."},
        {L"installer-exit1.exe", 0, L"BRIMORA K.K."},
        {L"installer-exit0-empty.exe", 0, L"BRIMORA K.K."},
        {L"installer-unsigned.exe", TRUST_E_NOSIGNATURE, nullptr},
        {L"installer-wrong-case.exe", 0, L"Brimora K.K."},
        {L"installer-trailing-blank.exe", 0, L"BRIMORA K.K. "},
        {L"installer-tampered.exe", TRUST_E_BAD_DIGEST, L"BRIMORA K.K."},
    };
    for (const auto& c : cases) {
        const auto path = *rig::fixture(c.fixture);
        SCOPED_TRACE(utf8(path));
        ASSERT_TRUE(std::filesystem::exists(path)) << "build the windows tree first";
        EXPECT_EQ(trust_verdict(path), c.result);
        const auto name = signer_name(path);
        ASSERT_EQ(name.has_value(), c.signer != nullptr);
        if (name) {
            EXPECT_EQ(*name, c.signer);
        }
    }
}

TEST(RigFixtures, UntrustedRootAndRevokedLeafAreRejectedOnWindows) {
    SKIP_OUTSIDE_RIG();
    if (running_under_wine()) {
        GTEST_SKIP() << "Wine's WinVerifyTrust accepts SHA-256 signatures whatever their root and never checks "
                        "revocation";
    }
    // On Windows this needs the rig's code-signing root (codesign/root.pem) in the trusted root store.
    ASSERT_EQ(trust_verdict(*rig::fixture(L"app-signed.exe")), 0) << "the rig's code-signing root is not trusted here";
    for (const auto* name : {L"app-untrusted-root.exe", L"app-revoked.exe"}) {
        EXPECT_NE(trust_verdict(*rig::fixture(name)), 0) << utf8(name);
    }
}

// ---- the test installer and the test app as processes ----

class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const wchar_t* value) : name_(name), old_(rig::environment(name)) {
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

class RigProcesses : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_OUTSIDE_RIG();
        RegDeleteTreeW(HKEY_CURRENT_USER, APP_KEY);
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, APP_KEY); }
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
