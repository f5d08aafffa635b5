// UTF-16 <-> UTF-8 conversion for the stand-in's libraries.
#include "wide.h"

#include <algorithm>
#include <cstring>

namespace qvn
{
namespace
{

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string &str, char32_t ch)
{
    if (ch < 0x80) {
        str.push_back(static_cast<char>(ch));
    } else if (ch < 0x800) {
        str.push_back(static_cast<char>(0xC0 | (ch >> 6)));
        str.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
    } else if (ch < 0x10000) {
        str.push_back(static_cast<char>(0xE0 | (ch >> 12)));
        str.push_back(static_cast<char>(0x80 | ((ch >> 6) & 0x3F)));
        str.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
    } else {
        str.push_back(static_cast<char>(0xF0 | (ch >> 18)));
        str.push_back(static_cast<char>(0x80 | ((ch >> 12) & 0x3F)));
        str.push_back(static_cast<char>(0x80 | ((ch >> 6) & 0x3F)));
        str.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
    }
}

void AppendUtf16(std::u16string &str, char32_t ch)
{
    if (ch < 0x10000) {
        str.push_back(static_cast<char16_t>(ch));
    } else {
        ch -= 0x10000;
        str.push_back(static_cast<char16_t>(0xD800 | (ch >> 10)));
        str.push_back(static_cast<char16_t>(0xDC00 | (ch & 0x3FF)));
    }
}

bool IsHighSurrogate(char16_t ch)
{
    return ch >= 0xD800 && ch <= 0xDBFF;
}
bool IsLowSurrogate(char16_t ch)
{
    return ch >= 0xDC00 && ch <= 0xDFFF;
}

std::string Utf16ToUtf8(const char16_t *pch, size_t cch)
{
    std::string str;
    str.reserve(cch);
    for (size_t i = 0; i < cch; ++i) {
        const char16_t ch = pch[i];
        if (IsHighSurrogate(ch) && i + 1 < cch && IsLowSurrogate(pch[i + 1])) {
            AppendUtf8(str, 0x10000 + ((char32_t(ch) - 0xD800) << 10) + (char32_t(pch[i + 1]) - 0xDC00));
            ++i;
        } else if (IsHighSurrogate(ch) || IsLowSurrogate(ch)) {
            AppendUtf8(str, kReplacement);
        } else {
            AppendUtf8(str, ch);
        }
    }
    return str;
}

} // namespace

std::string ToUtf8(LPCWSTR psz)
{
    if (psz == nullptr) {
        return std::string();
    }
    size_t cch = 0;
    while (psz[cch] != 0) {
        ++cch;
    }
    return Utf16ToUtf8(psz, cch);
}

std::string ToUtf8(const std::u16string &str)
{
    return Utf16ToUtf8(str.data(), str.size());
}

// Malformed UTF-8 (a bad lead byte, a missing or extra continuation byte, an
// overlong form, a surrogate or a value above U+10FFFF) gives one U+FFFD per
// offending byte sequence and the conversion goes on.
std::u16string ToUtf16(const std::string &str)
{
    std::u16string strOut;
    strOut.reserve(str.size());
    const size_t cb = str.size();
    size_t i = 0;
    while (i < cb) {
        const unsigned char b = static_cast<unsigned char>(str[i]);
        size_t cbSeq = 0;
        char32_t ch = 0;
        char32_t chMin = 0;
        if (b < 0x80) {
            strOut.push_back(b);
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            cbSeq = 2;
            ch = b & 0x1F;
            chMin = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            cbSeq = 3;
            ch = b & 0x0F;
            chMin = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            cbSeq = 4;
            ch = b & 0x07;
            chMin = 0x10000;
        } else {
            strOut.push_back(static_cast<char16_t>(kReplacement));
            ++i;
            continue;
        }
        size_t j = 1;
        for (; j < cbSeq && i + j < cb; ++j) {
            const unsigned char c = static_cast<unsigned char>(str[i + j]);
            if ((c & 0xC0) != 0x80) {
                break;
            }
            ch = (ch << 6) | (c & 0x3F);
        }
        if (j < cbSeq || ch < chMin || ch > 0x10FFFF || (ch >= 0xD800 && ch <= 0xDFFF)) {
            strOut.push_back(static_cast<char16_t>(kReplacement));
            i += j;
            continue;
        }
        AppendUtf16(strOut, ch);
        i += cbSeq;
    }
    return strOut;
}

} // namespace qvn

extern "C" int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                                          LPWSTR lpWideCharStr, int cchWideChar)
{
    if (CodePage != CP_ACP && CodePage != CP_UTF8) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (dwFlags != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cchWideChar < 0 ||
        (cchWideChar > 0 && lpWideCharStr == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // A length of -1 takes the text with its terminating NUL, which is converted too.
    const size_t cb = cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    const std::u16string str = qvn::ToUtf16(std::string(lpMultiByteStr, cb));
    if (cchWideChar != 0 && str.size() > static_cast<size_t>(cchWideChar)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (cchWideChar != 0) {
        std::copy(str.begin(), str.end(), lpWideCharStr);
    }
    return static_cast<int>(str.size());
}
