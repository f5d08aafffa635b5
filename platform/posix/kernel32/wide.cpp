// MultiByteToWideChar and WideCharToMultiByte for CP_UTF8, the one code page
// the stand-in has; and the UTF-8 helpers its own libraries use on top of
// them. As on Windows, invalid input (an unpaired surrogate, a malformed,
// overlong or out-of-range UTF-8 sequence) gives U+FFFD and the conversion
// goes on.
#include "wide.h"

#include <algorithm>

namespace
{

constexpr char32_t kReplacement = 0xFFFD;

bool IsSurrogate(char32_t ch)
{
    return ch >= 0xD800 && ch <= 0xDFFF;
}

void AppendUtf8(std::string &str, char32_t ch)
{
    const int cbExtra = ch < 0x80 ? 0 : ch < 0x800 ? 1 : ch < 0x10000 ? 2 : 3;
    static const unsigned char kLead[] = {0x00, 0xC0, 0xE0, 0xF0};
    str.push_back(static_cast<char>(kLead[cbExtra] | (ch >> (6 * cbExtra))));
    for (int i = cbExtra - 1; i >= 0; --i) {
        str.push_back(static_cast<char>(0x80 | ((ch >> (6 * i)) & 0x3F)));
    }
}

std::string Utf16ToUtf8(const char16_t *pch, size_t cch)
{
    std::string str;
    for (size_t i = 0; i < cch; ++i) {
        char32_t ch = pch[i];
        if (ch >= 0xD800 && ch <= 0xDBFF && i + 1 < cch && pch[i + 1] >= 0xDC00 && pch[i + 1] <= 0xDFFF) {
            ch = 0x10000 + ((ch - 0xD800) << 10) + (char32_t(pch[i + 1]) - 0xDC00);
            ++i;
        }
        AppendUtf8(str, IsSurrogate(ch) ? kReplacement : ch);
    }
    return str;
}

std::u16string Utf8ToUtf16(const unsigned char *pb, size_t cb)
{
    static const char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    std::u16string str;
    for (size_t i = 0; i < cb;) {
        const unsigned char b = pb[i];
        const size_t cbExtra = b < 0x80             ? 0
                               : (b & 0xE0) == 0xC0 ? 1
                               : (b & 0xF0) == 0xE0 ? 2
                               : (b & 0xF8) == 0xF0 ? 3
                                                    : 4;
        char32_t ch = kReplacement;
        size_t cbTaken = 1;
        if (cbExtra < 4) {
            char32_t value = b & (0x7F >> cbExtra);
            size_t j = 1;
            for (; j <= cbExtra && i + j < cb && (pb[i + j] & 0xC0) == 0x80; ++j) {
                value = (value << 6) | (pb[i + j] & 0x3F);
            }
            cbTaken = j;
            if (j == cbExtra + 1 && value >= kMinimum[cbExtra] && value <= 0x10FFFF && !IsSurrogate(value)) {
                ch = value;
            }
        }
        i += cbTaken;
        if (ch >= 0x10000) {
            str.push_back(static_cast<char16_t>(0xD800 | ((ch - 0x10000) >> 10)));
            str.push_back(static_cast<char16_t>(0xDC00 | (ch & 0x3FF)));
        } else {
            str.push_back(static_cast<char16_t>(ch));
        }
    }
    return str;
}

// The length of the input: given, or up to and with its NUL when -1.
template <class Char> bool InputLength(const Char *p, int cIn, size_t *pcIn)
{
    if (p == nullptr || cIn == 0 || cIn < -1) {
        return false;
    }
    size_t c = static_cast<size_t>(cIn);
    if (cIn == -1) {
        for (c = 0; p[c] != 0; ++c) {
        }
        ++c;
    }
    *pcIn = c;
    return true;
}

// Hands the result out by the Win32 rule: cOut 0 asks for the size only.
template <class String, class Char> int CopyResult(const String &str, Char *pOut, int cOut)
{
    if (str.size() > 0x7FFFFFFF) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (cOut == 0) {
        return static_cast<int>(str.size());
    }
    if (static_cast<size_t>(cOut) < str.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(str.begin(), str.end(), pOut);
    return static_cast<int>(str.size());
}

} // namespace

namespace qvn
{

std::string ToUtf8(LPCWSTR psz)
{
    return psz == nullptr ? std::string() : ToUtf8(std::u16string(psz));
}

std::string ToUtf8(const std::u16string &str)
{
    return Utf16ToUtf8(str.data(), str.size());
}

std::u16string ToUtf16(const std::string &str)
{
    return Utf8ToUtf16(reinterpret_cast<const unsigned char *>(str.data()), str.size());
}

} // namespace qvn

namespace
{
// The stand-in's ANSI code page is UTF-8, the encoding of Linux's command
// lines and file names.
bool IsUtf8CodePage(UINT codePage)
{
    return codePage == CP_UTF8 || codePage == CP_ACP;
}
} // namespace

extern "C" {

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar)
{
    size_t cb = 0;
    if (!IsUtf8CodePage(CodePage) || dwFlags != 0 || !InputLength(lpMultiByteStr, cbMultiByte, &cb) ||
        cchWideChar < 0 || (cchWideChar > 0 && lpWideCharStr == nullptr)) {
        SetLastError(!IsUtf8CodePage(CodePage) || dwFlags == 0 ? ERROR_INVALID_PARAMETER : ERROR_INVALID_FLAGS);
        return 0;
    }
    return CopyResult(Utf8ToUtf16(reinterpret_cast<const unsigned char *>(lpMultiByteStr), cb), lpWideCharStr,
                      cchWideChar);
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar)
{
    size_t cch = 0;
    if (!IsUtf8CodePage(CodePage) || dwFlags != 0 || lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr ||
        !InputLength(lpWideCharStr, cchWideChar, &cch) || cbMultiByte < 0 ||
        (cbMultiByte > 0 && lpMultiByteStr == nullptr)) {
        SetLastError(!IsUtf8CodePage(CodePage) || dwFlags == 0 ? ERROR_INVALID_PARAMETER : ERROR_INVALID_FLAGS);
        return 0;
    }
    return CopyResult(Utf16ToUtf8(lpWideCharStr, cch), lpMultiByteStr, cbMultiByte);
}

} // extern "C"
