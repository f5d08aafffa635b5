// UTF-16 helpers shared by the stand-in's libraries.
#ifndef QVN_POSIX_WIDE_H
#define QVN_POSIX_WIDE_H

#include <windows.h>

#include <string>

namespace qvn
{

// The UTF-16 text up to its NUL as UTF-8 (unpaired surrogates become U+FFFD).
std::string ToUtf8(LPCWSTR psz);
std::string ToUtf8(const std::u16string &str);
// UTF-8 text as UTF-16.
std::u16string ToUtf16(const std::string &str);

} // namespace qvn

#endif
