// A DLL planted beside the installer, under the name of a system DLL that is not a Known DLL.
// Its exports forward to the real System32 copy (so a process that loads it still works); when
// loaded it writes NAME.dll.planted beside itself: a line "imported-by PATH" for each loaded module
// whose static import table names it (a dependency of a DLL being loaded), then the modules on the
// loading thread's stack, innermost first, without the loader's own (ntdll, kernelbase, kernel32)
// and itself: the first of them is the module whose call started the load.
#include <windows.h>

#include <psapi.h>
#include <wchar.h>

static int is_loader_module(const wchar_t* base) {
    return _wcsicmp(base, L"ntdll.dll") == 0 || _wcsicmp(base, L"kernelbase.dll") == 0 ||
           _wcsicmp(base, L"kernel32.dll") == 0;
}

static int imports(HMODULE module, const wchar_t* self_base) {
    const BYTE* base = (const BYTE*)module;
    const IMAGE_NT_HEADERS64* nt = (const IMAGE_NT_HEADERS64*)(base + ((const IMAGE_DOS_HEADER*)base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY* dir = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir->VirtualAddress == 0) {
        return 0;
    }
    for (const IMAGE_IMPORT_DESCRIPTOR* d = (const IMAGE_IMPORT_DESCRIPTOR*)(base + dir->VirtualAddress); d->Name;
         ++d) {
        wchar_t name[MAX_PATH];
        MultiByteToWideChar(CP_ACP, 0, (const char*)(base + d->Name), -1, name, MAX_PATH);
        if (_wcsicmp(name, self_base) == 0) {
            return 1;
        }
    }
    return 0;
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH) {
        return TRUE;
    }
    wchar_t path[MAX_PATH + 16];
    DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
    const wchar_t* self_base = wcsrchr(path, L'\\') ? wcsrchr(path, L'\\') + 1 : path;
    char text[4096];
    int used = 0;
    HMODULE modules[512];
    DWORD bytes = 0;
    K32EnumProcessModules(GetCurrentProcess(), modules, sizeof(modules), &bytes);
    for (DWORD i = 0; i < bytes / sizeof(HMODULE) && i < 512 && used < (int)sizeof(text) - 600; ++i) {
        if (modules[i] != self && imports(modules[i], self_base)) {
            wchar_t where[MAX_PATH];
            GetModuleFileNameW(modules[i], where, MAX_PATH);
            used += wsprintfA(text + used, "imported-by %ls\r\n", where);
        }
    }
    void* frames[62];
    USHORT count = RtlCaptureStackBackTrace(0, 62, frames, NULL);
    HMODULE last = NULL;
    for (USHORT i = 0; i < count && used < (int)sizeof(text) - 300; ++i) {
        HMODULE module = NULL;
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                (LPCWSTR)frames[i], &module) ||
            module == self || module == last) {
            continue;
        }
        last = module;
        wchar_t where[MAX_PATH];
        GetModuleFileNameW(module, where, MAX_PATH);
        const wchar_t* base = wcsrchr(where, L'\\') ? wcsrchr(where, L'\\') + 1 : where;
        if (!is_loader_module(base)) {
            used += wsprintfA(text + used, "%ls\r\n", where);
        }
    }
    wcscpy(path + n, L".planted");
    HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (marker != INVALID_HANDLE_VALUE) {
        DWORD written;
        WriteFile(marker, text, (DWORD)used, &written, NULL);
        CloseHandle(marker);
    }
    return TRUE;
}
