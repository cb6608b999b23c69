#pragma once

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

// A text formatted as the program's printf-style message formats give it.

namespace quellis::text
{

std::string PrintfText(const char* format, ...) __attribute__((format(printf, 1, 2)));

inline std::string PrintfText(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    va_list copy;
    va_copy(copy, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(static_cast<std::size_t>(std::max(length, 0)), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, arguments);
    va_end(arguments);
    return text;
}

} // namespace quellis::text
