// The shipped executable as a file: its one resource is the application manifest, with the
// identity, privileges, compatibility and settings the program promises, and nothing else. And
// the C runtime forwarders linked into it (src/installer/system_crt.c, linked into this test too).

#include <windows.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <new>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "support/temp_dir.hpp"

namespace {

std::wstring installer_path() {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self);
    path.resize(path.find_last_of(L"\\/"));  // build/windows/tests
    path.resize(path.find_last_of(L"\\/"));  // build/windows
    return path + L"\\BrimoraInstaller.exe";
}

// The static import table of an image mapped by LoadLibraryExW(AS_IMAGE_RESOURCE): each DLL's
// name in lower case, with the functions imported from it by name.
std::map<std::string, std::set<std::string>> imports_of(HMODULE mapped) {
    // The low bits of a handle from a data-file load only mark it as such.
    const auto* base = reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(mapped) & ~ULONG_PTR{3});
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::map<std::string, std::set<std::string>> imports;
    if (directory.VirtualAddress == 0) {
        return imports;
    }
    for (const auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         entry->Name != 0; ++entry) {
        std::string name(reinterpret_cast<const char*>(base + entry->Name));
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        std::set<std::string>& functions = imports[name];
        for (const auto* thunk = reinterpret_cast<const IMAGE_THUNK_DATA64*>(base + entry->OriginalFirstThunk);
             thunk->u1.AddressOfData != 0; ++thunk) {
            if (!IMAGE_SNAP_BY_ORDINAL64(thunk->u1.Ordinal)) {
                functions.insert(reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + thunk->u1.AddressOfData)->Name);
            }
        }
    }
    return imports;
}

BOOL CALLBACK collect_type(HMODULE, LPWSTR type, LONG_PTR param) {
    auto* types = reinterpret_cast<std::vector<ULONG_PTR>*>(param);
    types->push_back(IS_INTRESOURCE(type) ? reinterpret_cast<ULONG_PTR>(type) : ~ULONG_PTR{0});
    return TRUE;
}

class Executable : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = ::LoadLibraryExW(installer_path().c_str(), nullptr,
                                   LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr) << "cannot open the built BrimoraInstaller.exe";
    }
    void TearDown() override { ::FreeLibrary(module_); }  // nothing for a module that never loaded
    HMODULE module_ = nullptr;
};

TEST_F(Executable, OnlyResourceIsTheManifest) {
    std::vector<ULONG_PTR> types;
    ::EnumResourceTypesW(module_, collect_type, reinterpret_cast<LONG_PTR>(&types));
    EXPECT_EQ(types, std::vector<ULONG_PTR>{reinterpret_cast<ULONG_PTR>(RT_MANIFEST)}) << "no icon, no version block";
    EXPECT_NE(::FindResourceW(module_, MAKEINTRESOURCEW(1), RT_MANIFEST), nullptr) << "manifest id 1";
}

TEST_F(Executable, ManifestDeclaresWhatTheProgramPromises) {
    HRSRC resource = ::FindResourceW(module_, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(resource, nullptr);
    const auto* bytes = static_cast<const char*>(::LockResource(::LoadResource(module_, resource)));
    const std::string manifest(bytes, ::SizeofResource(module_, resource));
    const char* required[] = {
        R"(name="Brimora.BrimoraInstaller")",
        R"(version="1.0.0.0")",
        R"(processorArchitecture="amd64")",
        "<description>Brimora Windows Installer</description>",
        R"(level="asInvoker")",
        R"(uiAccess="false")",
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
        ">true</dpiAware>",
        ">true</longPathAware>",
    };
    for (const char* text : required) {
        EXPECT_NE(manifest.find(text), std::string::npos) << text;
    }
    // No side-by-side dependency: the program uses whatever common controls the system gives it.
    EXPECT_EQ(manifest.find("dependency"), std::string::npos);
    EXPECT_EQ(manifest.find("Microsoft.Windows.Common-Controls"), std::string::npos);
    EXPECT_EQ(manifest.find("requireAdministrator"), std::string::npos);
}

// libstdc++'s default terminate handler prints the uncaught exception's type and so links its
// C++ demangler (about 45 KB); the shipped program replaces that handler (src/installer/terminate.cpp,
// linked into this test too) with one that ends the process with exit code 0 and no runtime box, as
// every other way the process ends does.
TEST(ExecutableFile, TerminateEndsWithExitCodeZeroAndNoVerboseHandler) {
    const auto bytes = brimora::testing::read_file(installer_path());
    ASSERT_TRUE(bytes) << "cannot read the built BrimoraInstaller.exe";
    EXPECT_EQ(bytes->find("terminate called after throwing"), std::string::npos);
    // std::bad_alloc escaping a noexcept function, as it would from the worker.
    EXPECT_EXIT(
        []() noexcept {
            void* volatile never = ::operator new(std::numeric_limits<std::size_t>::max());
            static_cast<void>(never);
        }(),
        ::testing::ExitedWithCode(0), "");
}

// Windows 10's Known DLLs (the KnownDLLs key under Session Manager): the loader takes these from
// System32 whatever folder the exe sits in. Any other DLL in the static import table would first
// be looked for beside the exe, before the program's first line could say otherwise.
TEST_F(Executable, ImportsOnlyKnownDlls) {
    const std::set<std::string> known = {
        "advapi32.dll", "clbcatq.dll",  "combase.dll",  "comdlg32.dll", "coml2.dll",   "difxapi.dll", "gdi32.dll",
        "gdiplus.dll",  "imagehlp.dll", "imm32.dll",    "kernel32.dll", "msctf.dll",   "msvcrt.dll",  "normaliz.dll",
        "nsi.dll",      "ole32.dll",    "oleaut32.dll", "psapi.dll",    "rpcrt4.dll",  "sechost.dll", "setupapi.dll",
        "shcore.dll",   "shell32.dll",  "shlwapi.dll",  "user32.dll",   "wldap32.dll", "ws2_32.dll",
    };
    const auto imports = imports_of(module_);
    EXPECT_FALSE(imports.empty()) << "the import table could not be read";
    for (const auto& [name, functions] : imports) {
        EXPECT_TRUE(known.contains(name)) << name << " is not a Known DLL: it would be searched beside the exe";
    }
}

// The exe formats and parses numbers with msvcrt's functions (through src/installer/system_crt.c),
// not with libmingwex's printf engine and strtod (about 37 KB).
TEST_F(Executable, FormatsAndParsesWithTheSystemCrt) {
    const auto imports = imports_of(module_);
    ASSERT_TRUE(imports.contains("msvcrt.dll"));
    for (const char* function : {"_vscprintf", "_vsnprintf", "strtod"}) {
        EXPECT_TRUE(imports.at("msvcrt.dll").contains(function)) << function;
    }
}

// msvcrt's snprintf returns -1 and leaves the buffer unterminated when the text does not fit; the
// forwarder keeps C99's contract, which the JSON library's formatting relies on.
TEST(SystemCrt, SnprintfKeepsTheC99Contract) {
    // The format, its value, the room given, and what the buffer holds afterwards.
    const std::tuple<const char*, unsigned long, std::size_t, const char*> cases[] = {
        {"\\u%04x", 0x1f, 7, "\\u001f"},    // the JSON library's escape, exactly fitting
        {"\\u%04x", 0x1f, 4, "\\u0"},       // cut short, still terminated
        {"<U+%.4X>", 0x7f, 9, "<U+007F>"},  // its token text
        {"NTSTATUS 0x%08lX", 0xC0000022UL, 32, "NTSTATUS 0xC0000022"},
        {"%lu", 7, 0, "untouched"},  // no room: nothing written
    };
    for (const auto& [format, value, room, text] : cases) {
        char buffer[32] = "untouched";
        const int length = std::snprintf(room == 0 ? nullptr : buffer, room, format, value);
        char full[64];
        const int full_length = std::snprintf(full, sizeof full, format, value);
        EXPECT_STREQ(buffer, text) << format << " in " << room;
        EXPECT_EQ(length, full_length) << "the length the whole text needs, not -1: " << format;
    }
}

TEST(SystemCrt, StrtodReadsWhatJsonWrites) {
    // The text, its value, and how many characters the number takes.
    const std::tuple<const char*, double, std::size_t> cases[] = {{"1.5e3", 1500.0, 5},
                                                                  {"-0.25,", -0.25, 5},
                                                                  {"0.1", 0.1, 3},
                                                                  {"12345678901234567890", 12345678901234567890.0, 20}};
    for (const auto& [text, value, used] : cases) {
        char* end = nullptr;
        EXPECT_EQ(std::strtod(text, &end), value) << text;
        EXPECT_EQ(static_cast<std::size_t>(end - text), used) << text;
    }
    // Through the JSON library as the state file reader uses it.
    const auto parsed = nlohmann::json::parse(R"([2.5, -1e-3, 18446744073709551616])", nullptr, false);
    ASSERT_FALSE(parsed.is_discarded());
    EXPECT_EQ(parsed[0].get<double>(), 2.5);
    EXPECT_EQ(parsed[1].get<double>(), -0.001);
    EXPECT_EQ(parsed[2].get<double>(), 18446744073709551616.0);
    EXPECT_EQ(nlohmann::json("\x1f").dump(), "\"\\u001f\"");
}

}  // namespace
