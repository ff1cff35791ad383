// The Windows side of scripts/bench: the bare floors of each install phase, and a watcher that
// starts a GUI program and times what its window shows. Each command prints one JSON line; times
// are milliseconds from QueryPerformanceCounter.
//
//   bench_probe fetch HOST PATH FILE    WinHTTP GET over HTTPS, 131072-byte reads written to FILE
//   bench_probe sha512 FILE             BCrypt SHA-512 of FILE through one 131072-byte buffer
//   bench_probe verify FILE             WinVerifyTrust (Authenticode) of FILE
//   bench_probe run FILE ARGS           starts FILE with ARGS and waits for its exit
//   bench_probe start EXE CLASS         starts EXE; time until a visible top-level window of CLASS
//   bench_probe watch EXE [KILL_AT]     starts EXE and follows the installer window's progress bar:
//                                       the first time each value was seen, the exit, the peak
//                                       working set; with KILL_AT the process is terminated once
//                                       the bar reaches that value

#include <windows.h>

#include <bcrypt.h>
#include <commctrl.h>
#include <psapi.h>
#include <winhttp.h>

#include <cstdio>
#include <cstdlib>
#include <string>
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

int fetch(const wchar_t* host, const wchar_t* path, const wchar_t* file) {
    const double start = now_ms();
    HINTERNET session = ::WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    HINTERNET connect = session ? ::WinHttpConnect(session, host, INTERNET_DEFAULT_HTTPS_PORT, 0) : nullptr;
    HINTERNET request = connect ? ::WinHttpOpenRequest(connect, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                                       WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE)
                                : nullptr;
    if (request == nullptr || !::WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0) ||
        !::WinHttpReceiveResponse(request, nullptr)) {
        return fail("request");
    }
    HANDLE out = ::CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        return fail("create");
    }
    std::vector<char> buffer(CHUNK);
    unsigned long long total = 0;
    for (;;) {
        DWORD got = 0;
        if (!::WinHttpReadData(request, buffer.data(), CHUNK, &got)) {
            return fail("read");
        }
        if (got == 0) {
            break;
        }
        DWORD written = 0;
        if (!::WriteFile(out, buffer.data(), got, &written, nullptr) || written != got) {
            return fail("write");
        }
        total += got;
    }
    ::FlushFileBuffers(out);
    ::CloseHandle(out);
    ::WinHttpCloseHandle(request);
    ::WinHttpCloseHandle(connect);
    ::WinHttpCloseHandle(session);
    std::printf("{\"ms\":%.3f,\"bytes\":%llu}\n", now_ms() - start, total);
    return 0;
}

int sha512(const wchar_t* file) {
    const double start = now_ms();
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA512_ALGORITHM, nullptr, 0)) ||
        !BCRYPT_SUCCESS(::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
        return fail("bcrypt");
    }
    HANDLE in = ::CreateFileW(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (in == INVALID_HANDLE_VALUE) {
        return fail("open");
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
    std::printf("{\"ms\":%.3f,\"first_byte\":%u}\n", now_ms() - start, digest[0]);
    return 0;
}

int verify(const wchar_t* file) {
    const double start = now_ms();
    const LONG status = brimora::win::trust_verdict(file);
    std::printf("{\"ms\":%.3f,\"status\":%ld}\n", now_ms() - start, status);
    return status == 0 ? 0 : 1;
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

int run(const wchar_t* exe, const wchar_t* args) {
    const double start = now_ms();
    PROCESS_INFORMATION process{};
    if (!start_process(exe, args, process)) {
        return fail("start");
    }
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    std::printf("{\"ms\":%.3f,\"exit\":%lu}\n", now_ms() - start, code);
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
    ::TerminateProcess(process.hProcess, 0);
    ::WaitForSingleObject(process.hProcess, 10000);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    std::printf("{\"ms\":%.3f}\n", shown);
    return shown < 0 ? 1 : 0;
}

int watch(const wchar_t* exe, int kill_at) {
    const double begin = now_ms();
    PROCESS_INFORMATION process{};
    if (!start_process(exe, nullptr, process)) {
        return fail("start");
    }
    double first_seen[101];
    for (double& t : first_seen) {
        t = -1;
    }
    double window_ms = -1;
    SIZE_T peak = 0;
    bool killed = false;
    HWND bar = nullptr;
    for (;;) {
        PROCESS_MEMORY_COUNTERS counters{};
        counters.cb = sizeof counters;
        if (::GetProcessMemoryInfo(process.hProcess, &counters, sizeof counters) && counters.PeakWorkingSetSize > peak) {
            peak = counters.PeakWorkingSetSize;
        }
        if (bar == nullptr) {
            if (HWND window = visible_window(process.dwProcessId, L"BrimoraInstallerV1")) {
                window_ms = now_ms() - begin;
                bar = ::FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr);
            }
        }
        if (bar != nullptr) {
            DWORD_PTR position = 0;
            if (::SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 1000, &position) && position <= 100 &&
                first_seen[position] < 0) {
                first_seen[position] = now_ms() - begin;
            }
            if (kill_at > 0 && static_cast<int>(position) >= kill_at) {
                ::TerminateProcess(process.hProcess, 1);
                killed = true;
            }
        }
        if (::WaitForSingleObject(process.hProcess, 2) == WAIT_OBJECT_0) {
            break;
        }
    }
    const double end = now_ms() - begin;
    DWORD code = 0;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    std::printf("{\"ms\":%.3f,\"window_ms\":%.3f,\"exit\":%lu,\"killed\":%s,\"peak_working_set\":%llu,\"progress\":{",
                end, window_ms, code, killed ? "true" : "false", static_cast<unsigned long long>(peak));
    bool first = true;
    for (int value = 0; value <= 100; ++value) {
        if (first_seen[value] >= 0) {
            std::printf("%s\"%d\":%.3f", first ? "" : ",", value, first_seen[value]);
            first = false;
        }
    }
    std::printf("}}\n");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"fetch" && argc == 5) {
        return fetch(argv[2], argv[3], argv[4]);
    }
    if (command == L"sha512" && argc == 3) {
        return sha512(argv[2]);
    }
    if (command == L"verify" && argc == 3) {
        return verify(argv[2]);
    }
    if (command == L"run" && argc >= 3) {
        return run(argv[2], argc > 3 ? argv[3] : nullptr);
    }
    if (command == L"start" && argc == 4) {
        return start(argv[2], argv[3]);
    }
    if (command == L"watch" && argc >= 3) {
        return watch(argv[2], argc > 3 ? _wtoi(argv[3]) : 0);
    }
    std::fputs("usage: bench_probe fetch|sha512|verify|run|start|watch ...\n", stderr);
    return 2;
}
