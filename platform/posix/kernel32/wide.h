// UTF-8 helpers of the stand-in's libraries, on top of the code of
// MultiByteToWideChar and WideCharToMultiByte (CP_UTF8).
#ifndef QVN_POSIX_WIDE_H
#define QVN_POSIX_WIDE_H

#include <windows.h>

#include <string>

namespace qvn
{

// The UTF-16 text up to its NUL (null: none) as UTF-8, and back.
std::string ToUtf8(LPCWSTR psz);
std::string ToUtf8(const std::u16string &str);
std::u16string ToUtf16(const std::string &str);

} // namespace qvn

#endif
