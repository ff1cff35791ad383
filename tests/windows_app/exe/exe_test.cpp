// The shipped executable as a file: its one resource is the application manifest, with the
// identity, privileges, compatibility and settings the program promises, and nothing else.

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
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

}  // namespace
