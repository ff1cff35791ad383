// What std::terminate does in the shipped program. libstdc++'s default handler names the uncaught
// exception's type before aborting, which links its whole C++ demangler (about 45 KB) into the
// exe, and std::set_terminate(nullptr) refers to that default, so calling set_terminate at start
// would not keep it out. Defining the default handler itself here does: the linker then never
// takes libstdc++'s copy. The only exception that can reach terminate in this program is
// std::bad_alloc, and a GUI program has nobody to print its type name for.
//
// The process ends with exit code 0 like every other way it ends, and at once: msvcrt's abort
// would end it with code 3 after a runtime error box, and ExitProcess would run other threads'
// DLL detach code while the heap may be exhausted.

#include <windows.h>

#include <cxxabi.h>

namespace __gnu_cxx {

void __verbose_terminate_handler() {
    ::TerminateProcess(::GetCurrentProcess(), 0);
    // TerminateProcess on the own process does not return; should it fail, end this thread's
    // process the plain way rather than return into a terminate that must not return.
    ::ExitProcess(0);
}

}  // namespace __gnu_cxx
