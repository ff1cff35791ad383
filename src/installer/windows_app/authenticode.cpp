#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>

#include "authenticode.hpp"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "handles.hpp"
#include "utf16.hpp"

namespace brimora::win {
namespace {

// MinGW-w64's wintrust.h ends WINTRUST_DATA at dwUIContext: it lacks pSignatureSettings, the
// member Windows 8 appended, so its sizeof is 80 where the Windows SDK's is 88. WinVerifyTrust
// takes the structure as void* and reads cbStruct to learn which members exist, so we pass the
// complete layout ourselves rather than announce the older, shorter one.
struct WintrustData {
    DWORD cbStruct;
    LPVOID pPolicyCallbackData;
    LPVOID pSIPClientData;
    DWORD dwUIChoice;
    DWORD fdwRevocationChecks;
    DWORD dwUnionChoice;
    WINTRUST_FILE_INFO* pFile;
    DWORD dwStateAction;
    HANDLE hWVTStateData;
    WCHAR* pwszURLReference;
    DWORD dwProvFlags;
    DWORD dwUIContext;
    void* pSignatureSettings;
};

// The shared members must sit exactly where the platform's declaration puts them.
static_assert(offsetof(WintrustData, pPolicyCallbackData) == offsetof(WINTRUST_DATA, pPolicyCallbackData));
static_assert(offsetof(WintrustData, dwUIChoice) == offsetof(WINTRUST_DATA, dwUIChoice));
static_assert(offsetof(WintrustData, dwUnionChoice) == offsetof(WINTRUST_DATA, dwUnionChoice));
static_assert(offsetof(WintrustData, pFile) == offsetof(WINTRUST_DATA, pFile));
static_assert(offsetof(WintrustData, dwStateAction) == offsetof(WINTRUST_DATA, dwStateAction));
static_assert(offsetof(WintrustData, hWVTStateData) == offsetof(WINTRUST_DATA, hWVTStateData));
static_assert(offsetof(WintrustData, dwProvFlags) == offsetof(WINTRUST_DATA, dwProvFlags));
static_assert(offsetof(WintrustData, dwUIContext) == offsetof(WINTRUST_DATA, dwUIContext));
static_assert(offsetof(WintrustData, pSignatureSettings) == sizeof(WINTRUST_DATA));

#if defined(_WIN64)
static_assert(sizeof(WINTRUST_FILE_INFO) == 32);
static_assert(sizeof(WintrustData) == 88);
static_assert(sizeof(CMSG_SIGNER_INFO) == 136);
#endif

// The first signer's certificate name as UTF-8. Every handle and buffer is released before this
// returns, so the comparison happens with nothing held.
[[nodiscard]] Outcome<std::string> first_signer_name(const std::wstring& path) {
    DWORD encoding = 0;
    DWORD content = 0;
    DWORD format = 0;
    // Declared store first: the message is released before the store it was opened with.
    CertStore store;
    CryptMessage message;
    if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                            CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &content, &format, store.put(), message.put(),
                            nullptr)) {
        return fail("signature_query_failed", FailureReason::signature_invalid);
    }

    DWORD size = 0;
    if (!::CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) ||
        size < sizeof(CMSG_SIGNER_INFO)) {
        return fail("signer_info_failed", FailureReason::signature_invalid);
    }
    // A new-expression of a std::byte array is aligned for any object that fits in it, which is
    // what lets the buffer be read as the CMSG_SIGNER_INFO at its start.
    const auto signer_buffer = std::make_unique<std::byte[]>(size);
    if (!::CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, signer_buffer.get(), &size)) {
        return fail("signer_info_failed", FailureReason::signature_invalid);
    }
    const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(signer_buffer.get());

    CERT_INFO key{};
    key.Issuer = signer->Issuer;
    key.SerialNumber = signer->SerialNumber;
    CertContext certificate(::CertFindCertificateInStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                         CERT_FIND_SUBJECT_CERT, &key, nullptr));
    if (!certificate) {
        return fail("certificate_missing", FailureReason::signature_invalid);
    }

    const DWORD length = ::CertGetNameStringW(certificate.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    // The length counts the terminating zero, so an empty name reports 1.
    if (length < 2) {
        return fail("certificate_name_missing", FailureReason::signature_invalid);
    }
    std::wstring name(length, L'\0');
    if (::CertGetNameStringW(certificate.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name.data(), length) !=
        length) {
        return fail("certificate_name_failed", FailureReason::signature_invalid);
    }
    std::optional<std::string> text = to_utf8(std::wstring_view(name).substr(0, length - 1));
    if (!text) {
        return fail("certificate_name_invalid", FailureReason::signature_invalid);
    }
    return std::move(*text);
}

}  // namespace

LONG trust_verdict(const std::wstring& path) {
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(WINTRUST_FILE_INFO);
    file.pcwszFilePath = path.c_str();
    file.hFile = nullptr;
    file.pgKnownSubject = nullptr;

    WintrustData data{};
    data.cbStruct = sizeof(WintrustData);
    data.pPolicyCallbackData = nullptr;
    data.pSIPClientData = nullptr;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.hWVTStateData = nullptr;
    data.pwszURLReference = nullptr;
    data.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;
    data.dwUIContext = WTD_UICONTEXT_EXECUTE;
    data.pSignatureSettings = nullptr;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    // Owned before the verify call: its state is freed whatever the verdict, or every rejected
    // file would leak it.
    const TrustState<WintrustData> state(&data);
    return ::WinVerifyTrust(nullptr, &action, &data);
}

Outcome<void> verify_authenticode(const std::wstring& path) {
    if (trust_verdict(path) != 0) {
        return fail("signature_invalid", FailureReason::signature_invalid);
    }
    const Outcome<std::string> name = first_signer_name(path);
    if (!name) {
        return std::unexpected(name.error());
    }
    // No trimming, case folding or normalisation: a look-alike name is a different publisher.
    if (*name != EXPECTED_SIGNER_NAME) {
        return fail("signer_mismatch", FailureReason::signer_mismatch);
    }
    return {};
}

}  // namespace brimora::win
