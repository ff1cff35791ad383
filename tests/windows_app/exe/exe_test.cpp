// The shipped executable as a file: its one resource is the application manifest, with the
// identity, privileges, compatibility and settings the program promises, and nothing else.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

std::wstring installer_path() {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self);
    path.resize(path.find_last_of(L"\\/"));  // build/windows/tests
    path.resize(path.find_last_of(L"\\/"));  // build/windows
    return path + L"\\BrimoraInstaller.exe";
}

// The names in the static import table of an image mapped by LoadLibraryExW(AS_IMAGE_RESOURCE).
std::vector<std::string> imported_dll_names(HMODULE mapped) {
    // The low bits of a handle from a data-file load only mark it as such.
    const auto* base = reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(mapped) & ~ULONG_PTR{3});
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::vector<std::string> names;
    if (directory.VirtualAddress == 0) {
        return names;
    }
    for (const auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         entry->Name != 0; ++entry) {
        std::string name(reinterpret_cast<const char*>(base + entry->Name));
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        names.push_back(std::move(name));
    }
    return names;
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
    void TearDown() override {
        if (module_ != nullptr) {
            ::FreeLibrary(module_);
        }
    }
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
// C++ demangler (about 45 KB); the shipped program replaces that handler with one that aborts.
TEST(ExecutableFile, CarriesNoVerboseTerminateHandler) {
    std::ifstream file(std::filesystem::path(installer_path()), std::ios::binary);
    ASSERT_TRUE(file) << "cannot read the built BrimoraInstaller.exe";
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes.find("terminate called after throwing"), std::string::npos);
}

// Windows 10's Known DLLs (the KnownDLLs key under Session Manager): the loader takes these from
// System32 whatever folder the exe sits in. Any other DLL in the static import table would first
// be looked for beside the exe, before the program's first line could say otherwise.
TEST_F(Executable, ImportsOnlyKnownDlls) {
    const std::set<std::string> known = {
        "advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "coml2.dll",    "difxapi.dll",
        "gdi32.dll",    "gdiplus.dll", "imagehlp.dll", "imm32.dll",  "kernel32.dll", "msctf.dll",
        "msvcrt.dll",   "normaliz.dll", "nsi.dll",    "ole32.dll",  "oleaut32.dll", "psapi.dll",
        "rpcrt4.dll",   "sechost.dll", "setupapi.dll", "shcore.dll", "shell32.dll",  "shlwapi.dll",
        "user32.dll",   "wldap32.dll", "ws2_32.dll",
    };
    const std::vector<std::string> imports = imported_dll_names(module_);
    EXPECT_FALSE(imports.empty()) << "the import table could not be read";
    for (const std::string& name : imports) {
        EXPECT_TRUE(known.contains(name)) << name << " is not a Known DLL: it would be searched beside the exe";
    }
}

}  // namespace
