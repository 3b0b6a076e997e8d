// printf-style formatting into std::string, checked by the compiler.
#pragma once

#include <cstdarg>
#include <string>

#if defined(__MINGW32__)
#define TARVIK_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define TARVIK_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

namespace tarvik {

std::string strformat(const char* fmt, ...) TARVIK_PRINTF(1, 2);
std::string vstrformat(const char* fmt, va_list args);

}  // namespace tarvik
