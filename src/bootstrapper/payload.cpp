#include "brimora/payload.hpp"

#include <memory>
#include <span>

#include "brimora/sha512.hpp"
#include "file_io.hpp"

namespace brimora {
namespace {

std::unexpected<PayloadVerificationError> read_error(std::error_code error) {
    return std::unexpected(PayloadVerificationError{PayloadVerificationErrorKind::Read, error});
}

std::unexpected<PayloadVerificationError> mismatch(PayloadVerificationErrorKind kind) {
    return std::unexpected(PayloadVerificationError{kind, {}});
}

}  // namespace

std::string PayloadVerificationError::message() const {
    switch (kind) {
        case PayloadVerificationErrorKind::Read:
            return "payload could not be read: " + io_error.message();
        case PayloadVerificationErrorKind::SizeMismatch:
            return "payload size does not match the manifest";
        case PayloadVerificationErrorKind::HashMismatch:
            return "payload SHA-512 does not match the manifest";
    }
    return "payload could not be read: " + io_error.message();
}

std::expected<void, PayloadVerificationError> verify_file(const NativePath& path, std::uint64_t expected_size,
                                                          const std::array<std::uint8_t, 64>& expected_digest) {
    // The size follows links and refuses anything that is not a regular file (a directory, a
    // FIFO that would block the open, a device): those are read errors, never a size verdict.
    const auto size = detail::regular_file_size(path);
    if (!size) {
        return read_error(size.error());
    }
    if (*size != expected_size) {
        return mismatch(PayloadVerificationErrorKind::SizeMismatch);
    }

    auto file = detail::ReadableFile::open(path);
    if (!file) {
        return read_error(file.error());
    }
    auto hasher = Sha512::start();
    if (!hasher) {
        return read_error(hasher.error());
    }
    // On the heap: 128 KiB is too much for the worker thread's stack. make_unique<T[]> zeroes it.
    const auto buffer = std::make_unique<std::uint8_t[]>(PAYLOAD_READ_BUFFER_BYTES);
    const std::span<std::uint8_t> window(buffer.get(), PAYLOAD_READ_BUFFER_BYTES);
    for (;;) {
        auto got = file->read(window);
        if (!got) {
            return read_error(got.error());
        }
        if (*got == 0) {
            break;
        }
        if (auto fed = hasher->update(window.first(*got)); !fed) {
            return read_error(fed.error());
        }
    }
    auto digest = hasher->finish();
    if (!digest) {
        return read_error(digest.error());
    }
    // Nothing secret is compared here, so an early-exit comparison is fine.
    if (*digest != expected_digest) {
        return mismatch(PayloadVerificationErrorKind::HashMismatch);
    }
    return {};
}

}  // namespace brimora
