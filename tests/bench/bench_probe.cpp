// The Windows side of scripts/bench: the bare floors of each install phase, and a watcher that
// starts a GUI program and times what its window shows. Each command prints one JSON line; times
// are milliseconds from QueryPerformanceCounter.
//
//   bench_probe bare HOST MANIFEST PAYLOAD FILE ARGS
//                                       the install's work done bare, in one process as the
//                                       installer does it (so Wine's first use of WinHTTP, BCrypt
//                                       and the trust store is paid once, as there): WinHTTP GET
//                                       of MANIFEST, then of PAYLOAD into FILE in 131072-byte
//                                       reads, BCrypt SHA-512 of FILE through one 131072-byte
//                                       buffer, WinVerifyTrust of FILE, FILE started with ARGS
//                                       and waited for; the time of each
//   bench_probe shadow WINDOW_EXE [FILE...]
//                                       starts WINDOW_EXE (the bare window) and watches it as
//                                       `watch` does until standard input ends: beside `bare`, so
//                                       the bare phases are timed under the same observation
//   bench_probe start EXE CLASS         starts EXE; time until a visible top-level window of CLASS
//   bench_probe watch EXE KILL_AT [FILE...]
//                                       starts EXE and follows the installer window's status line:
//                                       each change of its text and when it was seen, the first
//                                       time each FILE existed, the exit, the peak working set;
//                                       with KILL_AT > 0 the process is terminated once the
//                                       progress bar reaches that value
//
// The watcher must not slow what it times: a bar's position is a message the installer's window
// thread must answer, and under Wine one every 2 ms cost the 256 MiB download about a second. A
// window's text is read without the owning thread, and the status line changes where the phases
// do. Each request to wineserver competes with the installer's own, so the exit and the peak
// working set (a high-water mark) are read every 20 ms, and the pause is a plain Sleep. Reading
// the desktop's text costs no request at all, so the shadow reads a real window of its own child.
#include <windows.h>

#include <bcrypt.h>
#include <commctrl.h>
#include <psapi.h>
#include <winhttp.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "authenticode.hpp"

namespace {

constexpr DWORD CHUNK = 131072;

double now_ms() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER t;
    ::QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1000.0 / static_cast<double>(frequency);
}

int fail(const char* what) {
    std::printf("{\"error\":\"%s\",\"code\":%lu}\n", what, ::GetLastError());
    return 1;
}

// Each phase of `bare` returns its time in milliseconds, or a negative value once it has printed
// why it failed.
double failed(const char* what) {
    fail(what);
    return -1;
}

double fetch(const wchar_t* host, const wchar_t* path, const wchar_t* file, unsigned long long& total) {
    const double start = now_ms();
    HINTERNET session = ::WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    HINTERNET connect = session ? ::WinHttpConnect(session, host, INTERNET_DEFAULT_HTTPS_PORT, 0) : nullptr;
    HINTERNET request = connect ? ::WinHttpOpenRequest(connect, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                                       WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE)
                                : nullptr;
    if (request == nullptr || !::WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0) ||
        !::WinHttpReceiveResponse(request, nullptr)) {
        return failed("request");
    }
    HANDLE out = ::CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        return failed("create");
    }
    std::vector<char> buffer(CHUNK);
    total = 0;
    for (;;) {
        DWORD got = 0;
        if (!::WinHttpReadData(request, buffer.data(), CHUNK, &got)) {
            return failed("read");
        }
        if (got == 0) {
            break;
        }
        DWORD written = 0;
        if (!::WriteFile(out, buffer.data(), got, &written, nullptr) || written != got) {
            return failed("write");
        }
        total += got;
    }
    ::FlushFileBuffers(out);
    ::CloseHandle(out);
    ::WinHttpCloseHandle(request);
    ::WinHttpCloseHandle(connect);
    ::WinHttpCloseHandle(session);
    return now_ms() - start;
}

double sha512(const wchar_t* file) {
    const double start = now_ms();
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA512_ALGORITHM, nullptr, 0)) ||
        !BCRYPT_SUCCESS(::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
        return failed("bcrypt");
    }
    HANDLE in = ::CreateFileW(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (in == INVALID_HANDLE_VALUE) {
        return failed("open");
    }
    std::vector<UCHAR> buffer(CHUNK);
    DWORD got = 0;
    while (::ReadFile(in, buffer.data(), CHUNK, &got, nullptr) && got > 0) {
        ::BCryptHashData(hash, buffer.data(), got, 0);
    }
    UCHAR digest[64];
    ::BCryptFinishHash(hash, digest, sizeof digest, 0);
    ::CloseHandle(in);
    ::BCryptDestroyHash(hash);
    ::BCryptCloseAlgorithmProvider(algorithm, 0);
    return now_ms() - start;
}

double verify(const wchar_t* file) {
    const double start = now_ms();
    const LONG status = brimora::win::trust_verdict(file);
    if (status != 0) {
        ::SetLastError(static_cast<DWORD>(status));
        return failed("verify");
    }
    return now_ms() - start;
}

bool start_process(const wchar_t* exe, const wchar_t* args, PROCESS_INFORMATION& process) {
    std::wstring command_line = L"\"" + std::wstring(exe) + L"\"";
    if (args != nullptr) {
        command_line += L" ";
        command_line += args;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    return ::CreateProcessW(exe, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &process) != FALSE;
}

void end_process(PROCESS_INFORMATION& process) {
    ::TerminateProcess(process.hProcess, 0);
    ::WaitForSingleObject(process.hProcess, 10000);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
}

double run(const wchar_t* exe, const wchar_t* args) {
    const double start = now_ms();
    PROCESS_INFORMATION process{};
    if (!start_process(exe, args, process)) {
        return failed("start");
    }
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    if (code != 0) {
        ::SetLastError(code);
        return failed("run");
    }
    return now_ms() - start;
}

int bare(const wchar_t* host, const wchar_t* manifest, const wchar_t* payload, const wchar_t* file,
         const wchar_t* args) {
    const std::wstring manifest_file = std::wstring(file) + L".yml";
    unsigned long long manifest_bytes = 0;
    unsigned long long bytes = 0;
    const double times[] = {fetch(host, manifest, manifest_file.c_str(), manifest_bytes),
                            fetch(host, payload, file, bytes), sha512(file), verify(file), run(file, args)};
    for (const double t : times) {
        if (t < 0) {
            return 1;
        }
    }
    std::printf(
        "{\"manifest\":%.3f,\"download\":%.3f,\"size_and_hash\":%.3f,\"publisher_check\":%.3f,"
        "\"installer_run\":%.3f,\"bytes\":%llu}\n",
        times[0], times[1], times[2], times[3], times[4], bytes);
    return 0;
}

struct FindVisible {
    DWORD pid;
    const wchar_t* window_class;
    HWND found;
};

BOOL CALLBACK find_visible(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<FindVisible*>(param);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    wchar_t name[128] = {};
    ::GetClassNameW(window, name, 128);
    if (pid == search->pid && ::IsWindowVisible(window) && std::wstring(name) == search->window_class) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND visible_window(DWORD pid, const wchar_t* window_class) {
    FindVisible search{pid, window_class, nullptr};
    ::EnumWindows(find_visible, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

int start(const wchar_t* exe, const wchar_t* window_class) {
    const double begin = now_ms();
    PROCESS_INFORMATION process{};
    if (!start_process(exe, nullptr, process)) {
        return fail("start");
    }
    double shown = -1;
    while (now_ms() - begin < 60000) {
        if (visible_window(process.dwProcessId, window_class) != nullptr) {
            shown = now_ms() - begin;
            break;
        }
        if (::WaitForSingleObject(process.hProcess, 1) == WAIT_OBJECT_0) {
            break;
        }
    }
    end_process(process);
    std::printf("{\"ms\":%.3f}\n", shown);
    return shown < 0 ? 1 : 0;
}

void print_json_string(const std::wstring& text) {
    char utf8[1024];
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8, sizeof utf8,
                                        nullptr, nullptr);
    std::putchar('"');
    for (int i = 0; i < n; ++i) {
        if (utf8[i] == '"' || utf8[i] == '\\') {
            std::putchar('\\');
        }
        std::putchar(utf8[i]);
    }
    std::putchar('"');
}

// Watching costs wineserver requests that compete with the watched program's own (about a
// tenth of the 256 MiB download): `watch` and `shadow` make the same ones, turn by turn, so the
// bare phases are timed under exactly the observation the installer's are.
class Observer {
public:
    Observer(const PROCESS_INFORMATION& process, const wchar_t* window_class, std::vector<std::wstring> files,
             double begin)
        : process_(process),
          window_class_(window_class),
          files_(std::move(files)),
          begin_(begin),
          file_seen(files_.size(), -1) {}

    [[nodiscard]] bool window_found() const noexcept { return status_ != nullptr; }

    // One turn, a pause of 2 ms included; false once the process has exited. With kill_at > 0 the
    // process is terminated once its progress bar reaches that value.
    bool turn(int kill_at) {
        const double at = now_ms() - begin_;
        const bool slow_checks = at - slow_checks_at_ >= 20;
        if (slow_checks) {
            slow_checks_at_ = at;
            PROCESS_MEMORY_COUNTERS counters{};
            counters.cb = sizeof counters;
            if (::GetProcessMemoryInfo(process_.hProcess, &counters, sizeof counters) &&
                counters.PeakWorkingSetSize > peak) {
                peak = counters.PeakWorkingSetSize;
            }
            if (status_ == nullptr) {
                if (HWND window = visible_window(process_.dwProcessId, window_class_)) {
                    // The status line where there is one; a bare window's own caption otherwise.
                    status_ = ::FindWindowExW(window, nullptr, L"Static", nullptr);
                    status_ = status_ != nullptr ? status_ : window;
                    bar_ = ::FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr);
                }
            }
        }
        if (status_ != nullptr) {
            wchar_t text[256] = {};
            ::GetWindowTextW(status_, text, 256);
            if (texts.empty() || texts.back().second != text) {
                texts.emplace_back(now_ms() - begin_, text);
            }
        }
        if (kill_at > 0 && bar_ != nullptr) {
            DWORD_PTR position = 0;
            if (::SendMessageTimeoutW(bar_, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 1000, &position) &&
                static_cast<int>(position) >= kill_at) {
                ::TerminateProcess(process_.hProcess, 1);
                killed = true;
            }
        }
        for (std::size_t i = 0; i < files_.size(); ++i) {
            if (file_seen[i] < 0 && ::GetFileAttributesW(files_[i].c_str()) != INVALID_FILE_ATTRIBUTES) {
                file_seen[i] = now_ms() - begin_;
            }
        }
        if (slow_checks && ::WaitForSingleObject(process_.hProcess, 0) == WAIT_OBJECT_0) {
            return false;
        }
        ::Sleep(2);
        return true;
    }

    // A file the program's last act makes (the installed app's start mark) may appear after it
    // has exited: waited for until `deadline`.
    void wait_for_files(double deadline) {
        for (std::size_t i = 0; i < files_.size(); ++i) {
            while (file_seen[i] < 0 && now_ms() - begin_ < deadline) {
                if (::GetFileAttributesW(files_[i].c_str()) != INVALID_FILE_ATTRIBUTES) {
                    file_seen[i] = now_ms() - begin_;
                } else {
                    ::Sleep(2);
                }
            }
        }
    }

private:
    const PROCESS_INFORMATION& process_;
    const wchar_t* window_class_;
    std::vector<std::wstring> files_;
    double begin_;
    double slow_checks_at_ = -1000;
    HWND status_ = nullptr;
    HWND bar_ = nullptr;

public:
    std::vector<std::pair<double, std::wstring>> texts;
    std::vector<double> file_seen;
    SIZE_T peak = 0;
    bool killed = false;
};

DWORD WINAPI read_to_end(LPVOID) {
    char buffer[64];
    DWORD got = 0;
    while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    }
    return 0;
}

// Starts the bare window and watches it as `watch` watches the installer until standard input
// ends, then ends it.
int shadow(const wchar_t* window_exe, const std::vector<std::wstring>& files) {
    PROCESS_INFORMATION process{};
    if (!start_process(window_exe, nullptr, process)) {
        return fail("start");
    }
    const double begin = now_ms();
    Observer observer(process, L"BrimoraBenchBareWindow", files, begin);
    while (!observer.window_found() && now_ms() - begin < 30000 && observer.turn(0)) {
    }
    if (!observer.window_found()) {
        end_process(process);
        return fail("window");
    }
    std::puts("ready");
    std::fflush(stdout);
    HANDLE reader = ::CreateThread(nullptr, 0, read_to_end, nullptr, 0, nullptr);
    while (reader != nullptr && ::WaitForSingleObject(reader, 0) == WAIT_TIMEOUT && observer.turn(0)) {
    }
    if (reader != nullptr) {
        ::CloseHandle(reader);
    }
    end_process(process);
    return 0;
}

int watch(const wchar_t* exe, int kill_at, const std::vector<std::wstring>& files) {
    const double begin = now_ms();
    PROCESS_INFORMATION process{};
    if (!start_process(exe, nullptr, process)) {
        return fail("start");
    }
    Observer observer(process, L"BrimoraInstallerV1", files, begin);
    while (observer.turn(kill_at)) {
    }
    // The exit is looked for only every 20 ms; the system knows when it happened.
    FILETIME created{}, exited{}, kernel{}, user{}, now{};
    ::GetProcessTimes(process.hProcess, &created, &exited, &kernel, &user);
    ::GetSystemTimePreciseAsFileTime(&now);
    const auto ticks = [](FILETIME t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    const double end = now_ms() - begin - static_cast<double>(ticks(now) - ticks(exited)) / 10000.0;
    observer.wait_for_files(end + 10000);
    DWORD code = 0;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    std::printf("{\"ms\":%.3f,\"exit\":%lu,\"killed\":%s,\"peak_working_set\":%llu,\"texts\":[", end, code,
                observer.killed ? "true" : "false", static_cast<unsigned long long>(observer.peak));
    for (std::size_t i = 0; i < observer.texts.size(); ++i) {
        std::printf("%s[%.3f,", i == 0 ? "" : ",", observer.texts[i].first);
        print_json_string(observer.texts[i].second);
        std::putchar(']');
    }
    std::printf("],\"files\":[");
    for (std::size_t i = 0; i < observer.file_seen.size(); ++i) {
        std::printf("%s%.3f", i == 0 ? "" : ",", observer.file_seen[i]);
    }
    std::printf("]}\n");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"bare" && argc == 7) {
        return bare(argv[2], argv[3], argv[4], argv[5], argv[6]);
    }
    if (command == L"shadow" && argc >= 3) {
        return shadow(argv[2], std::vector<std::wstring>(argv + 3, argv + argc));
    }
    if (command == L"start" && argc == 4) {
        return start(argv[2], argv[3]);
    }
    if (command == L"watch" && argc >= 4) {
        return watch(argv[2], _wtoi(argv[3]), std::vector<std::wstring>(argv + 4, argv + argc));
    }
    std::fputs("usage: bench_probe bare|shadow|start|watch ...\n", stderr);
    return 2;
}
