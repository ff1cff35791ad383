// What std::terminate does in the shipped program. libstdc++'s default handler names the uncaught
// exception's type before aborting, which links its whole C++ demangler (about 45 KB) into the
// exe, and std::set_terminate(nullptr) refers to that default, so calling set_terminate at start
// would not keep it out. Defining the default handler itself here does: the linker then never
// takes libstdc++'s copy. The only exception that can reach terminate in this program is
// std::bad_alloc, and a GUI program has nobody to print its type name for.

#include <cxxabi.h>

#include <cstdlib>

namespace __gnu_cxx {

void __verbose_terminate_handler() { std::abort(); }

}  // namespace __gnu_cxx
