# Cross toolchain for the shipped executable: 64-bit Windows, MinGW-w64 with the Win32 threading
# model, everything linked statically so the exe imports only system DLLs. The POSIX model would
# give std::thread, but its runtime links winpthread into every exe (about 25 KB, for the C++
# runtime's own locks), and the installer's threads are CreateThread's anyway; tests that need a
# thread use CreateThread too (tests/support/win32.hpp).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Test executables run under Wine. The wine64 loader is named directly: Debian's /usr/bin/wine
# wrapper looks for a 32-bit loader first and prints a hint on every start without one.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
