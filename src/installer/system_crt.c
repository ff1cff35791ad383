// Two C runtime functions, forwarded to msvcrt.dll, which the program imports anyway.
//
// MinGW's headers send every snprintf and strtod of C++ code to libmingwex's own versions: a
// whole printf engine and a correctly rounding strtod, with gdtoa under both, about 37 KB of an
// exe that every new user downloads before anything else happens. The shipped code's only
// callers are the JSON library, which formats "\u%04x" and "<U+%.4X>" and parses numbers the
// state file never holds as fractions, and the hash unit's "NTSTATUS 0x%08lX". Defining the two
// entry points here keeps libmingwex's copies out of the link. The cost is msvcrt's dialect:
// its printf has no %zu, %lld or %Lf, so shipped code formats nothing beyond int-sized
// conversions, and its strtod reads no hexadecimal numbers (JSON has none).

#include <stdarg.h>
#include <stddef.h>

__declspec(dllimport) int __cdecl _vsnprintf(char* buffer, size_t count, const char* format, va_list args);
__declspec(dllimport) int __cdecl _vscprintf(const char* format, va_list args);
__declspec(dllimport) double __cdecl strtod(const char* text, char** end);

// C99's contract on top of msvcrt's: the result is always terminated when there is room for
// anything, and the return value is the full length, not -1, when the text did not fit.
int __cdecl __mingw_vsnprintf(char* buffer, size_t count, const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int length = _vscprintf(format, measure);
    va_end(measure);
    if (count > 0 && length >= 0) {
        _vsnprintf(buffer, count, format, args);
        buffer[(size_t)length < count ? (size_t)length : count - 1] = '\0';
    }
    return length;
}

double __cdecl __mingw_strtod(const char* text, char** end) { return strtod(text, end); }
