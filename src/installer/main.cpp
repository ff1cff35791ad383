#include <windows.h>

#include "app.hpp"

// The entry does nothing but run the installer: every way the process ends gives exit code 0.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    brimora::win::run();
    return 0;
}
