// What libstdc++'s error paths do in the shipped program. The code is built without exceptions,
// so an error libstdc++ would throw (a vector or string past its maximum size, an allocation that
// fails) can only reach std::terminate. libstdc++'s own throwers construct the exception first,
// which links its exception classes, the copy-on-write string and a small printf (about 3 KB of
// an exe held under 256 KiB). These definitions go to the same end directly: std::terminate, whose
// handler (terminate.cpp) ends the process with exit code 0. Only the exe links this file; the
// tests keep libstdc++'s throwing versions.

#include <bits/functexcept.h>

#include <exception>

namespace std {

void __throw_bad_exception() { std::terminate(); }
void __throw_bad_alloc() { std::terminate(); }
void __throw_bad_array_new_length() { std::terminate(); }
void __throw_bad_cast() { std::terminate(); }
void __throw_bad_typeid() { std::terminate(); }
void __throw_logic_error(const char*) { std::terminate(); }
void __throw_domain_error(const char*) { std::terminate(); }
void __throw_invalid_argument(const char*) { std::terminate(); }
void __throw_length_error(const char*) { std::terminate(); }
void __throw_out_of_range(const char*) { std::terminate(); }
void __throw_out_of_range_fmt(const char*, ...) { std::terminate(); }
void __throw_runtime_error(const char*) { std::terminate(); }
void __throw_range_error(const char*) { std::terminate(); }
void __throw_overflow_error(const char*) { std::terminate(); }
void __throw_underflow_error(const char*) { std::terminate(); }

}  // namespace std
