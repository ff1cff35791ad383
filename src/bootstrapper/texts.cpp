#include "brimora/texts.hpp"

// No Win32 and no process state in here: the native feed tool prints these same messages.

namespace brimora {
namespace text {

const UiText EN{
    .preparing = "Preparing the installation…",
    .checking_latest = "Checking the latest version…",
    .downloading = "Downloading the latest Brimora…",
    .verifying_download = "Verifying the download…",
    .verifying_publisher = "Verifying the publisher signature…",
    .installing = "Installing Brimora…",
    .opening_installed = "Opening your installed Brimora app…",
    .app_opened = "Brimora has been opened.",
    .install_complete = "Installation complete. Brimora is opening.",
    .stopping = "Stopping safely…",
    .retry = "Retry",
    .cancel = "Cancel",
    .fatal_state = "Installation data could not be saved. Check available disk space and permissions.",
    .fatal_window = "The installer window could not be opened.",
    .failure_network = "The latest version could not be checked. Check your connection and retry.",
    .failure_release_info = "The release information could not be verified safely. Please retry later.",
    .failure_download = "Brimora could not be downloaded. Check your connection and retry.",
    .failure_disk_space = "There is not enough free space to install Brimora. Free some space and retry.",
    .failure_integrity = "The downloaded file failed integrity verification. Please retry.",
    .failure_publisher = "The Brimora publisher could not be verified, so installation was stopped.",
    .failure_install = "Brimora could not be installed. Please retry.",
    .failure_launch = "The installed Brimora app could not be opened.",
    .failure_cancelled = "Installation was cancelled. Select Retry to start again.",
    .failure_other = "Installation could not be completed. Please retry.",
};

const UiText JA{
    .preparing = "インストールを準備しています…",
    .checking_latest = "最新版を確認しています…",
    .downloading = "最新版のBrimoraをダウンロードしています…",
    .verifying_download = "ダウンロードを検証しています…",
    .verifying_publisher = "発行元の署名を確認しています…",
    .installing = "Brimoraをインストールしています…",
    .opening_installed = "インストール済みのBrimoraを起動しています…",
    .app_opened = "Brimoraを起動しました。",
    .install_complete = "インストールが完了しました。Brimoraを起動しています。",
    .stopping = "安全に中止しています…",
    .retry = "再試行",
    .cancel = "キャンセル",
    .fatal_state = "インストール情報を保存できませんでした。空き容量とアクセス権を確認してください。",
    .fatal_window = "インストーラー画面を開けませんでした。",
    .failure_network = "最新版を確認できませんでした。接続を確認して再試行してください。",
    .failure_release_info = "配布情報を安全に確認できませんでした。時間をおいて再試行してください。",
    .failure_download = "Brimoraをダウンロードできませんでした。接続を確認して再試行してください。",
    .failure_disk_space = "インストールに必要な空き容量がありません。空き容量を増やして再試行してください。",
    .failure_integrity = "ダウンロードしたファイルの検証に失敗しました。再試行してください。",
    .failure_publisher = "Brimoraの発行元を確認できないため、インストールを中止しました。",
    .failure_install = "Brimoraをインストールできませんでした。再試行してください。",
    .failure_launch = "インストール済みのBrimoraを起動できませんでした。",
    .failure_cancelled = "インストールを中止しました。再開するには再試行してください。",
    .failure_other = "インストールを完了できませんでした。再試行してください。",
};

}  // namespace text

const UiText& texts_for(InstallerLocale locale) noexcept { return locale == InstallerLocale::ja ? text::JA : text::EN; }

std::string_view failure_message(const UiText& texts, FailureReason reason) noexcept {
    switch (reason) {
        case FailureReason::network_error:
            return texts.failure_network;
        case FailureReason::manifest_invalid:
            return texts.failure_release_info;
        case FailureReason::download_failed:
            return texts.failure_download;
        case FailureReason::insufficient_disk_space:
            return texts.failure_disk_space;
        case FailureReason::payload_size_mismatch:
        case FailureReason::payload_hash_mismatch:
            return texts.failure_integrity;
        case FailureReason::signature_invalid:
        case FailureReason::signer_mismatch:
            return texts.failure_publisher;
        case FailureReason::install_failed:
            return texts.failure_install;
        case FailureReason::launch_failed:
            return texts.failure_launch;
        case FailureReason::cancelled:
            return texts.failure_cancelled;
        case FailureReason::unknown:
            break;
    }
    return texts.failure_other;
}

}  // namespace brimora
