#include "ProviderRegistration.h"

#include <cstdio>
#include <cstring>
#include <sstream>

namespace qvn
{
namespace bcrypt
{
namespace
{

// The text starts with this line; then, for each provider, a "provider" line
// followed by its "alias" lines, and for each image an "image um|km" line
// followed by its "interface <id> <flags>" lines, each followed by its
// "function" lines. Strings are written as four hex digits per UTF-16 code
// unit, so that any name survives unchanged.
const char kHeader[] = "QVNCNGPROVIDERS 1";

WCHAR FoldCase(WCHAR ch)
{
    return (ch >= u'a' && ch <= u'z') ? static_cast<WCHAR>(ch - u'a' + u'A') : ch;
}

bool CopyString(LPCWSTR psz, std::u16string *pResult)
{
    if (psz == nullptr || psz[0] == 0) {
        return false;
    }
    *pResult = psz;
    return true;
}

bool CopyImage(const CRYPT_IMAGE_REG &image, ImageRegistration *pResult)
{
    if (!CopyString(image.pszImage, &pResult->strImage)) {
        return false;
    }
    if (image.cInterfaces != 0 && image.rgpInterfaces == nullptr) {
        return false;
    }
    for (ULONG iInterface = 0; iInterface < image.cInterfaces; ++iInterface) {
        const CRYPT_INTERFACE_REG *pInterface = image.rgpInterfaces[iInterface];
        if (pInterface == nullptr || (pInterface->cFunctions != 0 && pInterface->rgpszFunctions == nullptr)) {
            return false;
        }
        InterfaceRegistration entry;
        entry.dwInterface = pInterface->dwInterface;
        entry.dwFlags = pInterface->dwFlags;
        for (ULONG iFunction = 0; iFunction < pInterface->cFunctions; ++iFunction) {
            std::u16string strFunction;
            if (!CopyString(pInterface->rgpszFunctions[iFunction], &strFunction)) {
                return false;
            }
            entry.functions.push_back(std::move(strFunction));
        }
        pResult->interfaces.push_back(std::move(entry));
    }
    return true;
}

std::string EncodeString(const std::u16string &str)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string strHex;
    strHex.reserve(str.size() * 4);
    for (char16_t ch : str) {
        for (int nShift = 12; nShift >= 0; nShift -= 4) {
            strHex.push_back(kDigits[(ch >> nShift) & 0xf]);
        }
    }
    return strHex;
}

bool DecodeString(const std::string &strHex, std::u16string *pResult)
{
    if (strHex.empty() || strHex.size() % 4 != 0) {
        return false;
    }
    std::u16string str;
    for (size_t iDigit = 0; iDigit < strHex.size(); iDigit += 4) {
        unsigned int uUnit = 0;
        for (size_t j = iDigit; j < iDigit + 4; ++j) {
            const char ch = strHex[j];
            unsigned int uDigit = 0;
            if (ch >= '0' && ch <= '9') {
                uDigit = static_cast<unsigned int>(ch - '0');
            } else if (ch >= 'a' && ch <= 'f') {
                uDigit = static_cast<unsigned int>(ch - 'a' + 10);
            } else {
                return false;
            }
            uUnit = uUnit << 4 | uDigit;
        }
        if (uUnit == 0) {
            return false;
        }
        str.push_back(static_cast<char16_t>(uUnit));
    }
    *pResult = std::move(str);
    return true;
}

bool DecodeNumber(const std::string &strHex, ULONG *pulValue)
{
    if (strHex.size() != 8) {
        return false;
    }
    ULONG ulValue = 0;
    for (char ch : strHex) {
        ULONG ulDigit = 0;
        if (ch >= '0' && ch <= '9') {
            ulDigit = static_cast<ULONG>(ch - '0');
        } else if (ch >= 'a' && ch <= 'f') {
            ulDigit = static_cast<ULONG>(ch - 'a' + 10);
        } else {
            return false;
        }
        ulValue = ulValue << 4 | ulDigit;
    }
    *pulValue = ulValue;
    return true;
}

void AppendImage(std::ostringstream &out, const char *pszMode, const ImageRegistration &image)
{
    out << "image " << pszMode << ' ' << EncodeString(image.strImage) << '\n';
    for (const InterfaceRegistration &entry : image.interfaces) {
        char szNumbers[32];
        std::snprintf(szNumbers, sizeof(szNumbers), "%08x %08x", static_cast<unsigned int>(entry.dwInterface),
                      static_cast<unsigned int>(entry.dwFlags));
        out << "interface " << szNumbers << '\n';
        for (const std::u16string &strFunction : entry.functions) {
            out << "function " << EncodeString(strFunction) << '\n';
        }
    }
}

// Places the parts of a marshalled registration one after another, each at
// its alignment; writes them only when the whole layout fits.
class Layout
{
public:
    Layout(BYTE *pbBuffer, size_t cbBuffer) : m_pbBuffer(pbBuffer), m_cbBuffer(cbBuffer) {}

    // The address reserved for cb bytes aligned to cbAlign, or null while
    // only measuring.
    void *Reserve(size_t cb, size_t cbAlign)
    {
        m_cbUsed = (m_cbUsed + cbAlign - 1) / cbAlign * cbAlign;
        void *pv = m_fWriting ? m_pbBuffer + m_cbUsed : nullptr;
        m_cbUsed += cb;
        return pv;
    }

    PWSTR PlaceString(const std::u16string &str)
    {
        const size_t cb = (str.size() + 1) * sizeof(WCHAR);
        auto *psz = static_cast<PWSTR>(Reserve(cb, alignof(WCHAR)));
        if (psz != nullptr) {
            std::memcpy(psz, str.c_str(), cb);
        }
        return psz;
    }

    PWSTR *PlaceStrings(const std::vector<std::u16string> &strings)
    {
        if (strings.empty()) {
            return nullptr;
        }
        auto *rgpsz = static_cast<PWSTR *>(Reserve(strings.size() * sizeof(PWSTR), alignof(PWSTR)));
        for (size_t i = 0; i < strings.size(); ++i) {
            PWSTR psz = PlaceString(strings[i]);
            if (rgpsz != nullptr) {
                rgpsz[i] = psz;
            }
        }
        return rgpsz;
    }

    PCRYPT_IMAGE_REG PlaceImage(const std::optional<ImageRegistration> &image)
    {
        if (!image) {
            return nullptr;
        }
        auto *pImage = static_cast<PCRYPT_IMAGE_REG>(Reserve(sizeof(CRYPT_IMAGE_REG), alignof(CRYPT_IMAGE_REG)));
        const size_t cInterfaces = image->interfaces.size();
        PCRYPT_INTERFACE_REG *rgpInterfaces = nullptr;
        if (cInterfaces != 0) {
            rgpInterfaces = static_cast<PCRYPT_INTERFACE_REG *>(
                Reserve(cInterfaces * sizeof(PCRYPT_INTERFACE_REG), alignof(PCRYPT_INTERFACE_REG)));
        }
        for (size_t i = 0; i < cInterfaces; ++i) {
            const InterfaceRegistration &entry = image->interfaces[i];
            auto *pInterface =
                static_cast<PCRYPT_INTERFACE_REG>(Reserve(sizeof(CRYPT_INTERFACE_REG), alignof(CRYPT_INTERFACE_REG)));
            PWSTR *rgpszFunctions = PlaceStrings(entry.functions);
            if (pInterface != nullptr) {
                pInterface->dwInterface = entry.dwInterface;
                pInterface->dwFlags = entry.dwFlags;
                pInterface->cFunctions = static_cast<ULONG>(entry.functions.size());
                pInterface->rgpszFunctions = rgpszFunctions;
                rgpInterfaces[i] = pInterface;
            }
        }
        PWSTR pszImage = PlaceString(image->strImage);
        if (pImage != nullptr) {
            pImage->pszImage = pszImage;
            pImage->cInterfaces = static_cast<ULONG>(cInterfaces);
            pImage->rgpInterfaces = rgpInterfaces;
        }
        return pImage;
    }

    size_t Place(const ProviderRegistration &registration)
    {
        auto *pReg = static_cast<PCRYPT_PROVIDER_REG>(Reserve(sizeof(CRYPT_PROVIDER_REG), alignof(CRYPT_PROVIDER_REG)));
        PWSTR *rgpszAliases = PlaceStrings(registration.aliases);
        PCRYPT_IMAGE_REG pUM = PlaceImage(registration.userMode);
        PCRYPT_IMAGE_REG pKM = PlaceImage(registration.kernelMode);
        if (pReg != nullptr) {
            pReg->cAliases = static_cast<ULONG>(registration.aliases.size());
            pReg->rgpszAliases = rgpszAliases;
            pReg->pUM = pUM;
            pReg->pKM = pKM;
        }
        return m_cbUsed;
    }

    size_t Marshal(const ProviderRegistration &registration)
    {
        const size_t cbNeeded = Place(registration);
        if (m_pbBuffer != nullptr && m_cbBuffer >= cbNeeded) {
            m_cbUsed = 0;
            m_fWriting = true;
            Place(registration);
        }
        return cbNeeded;
    }

private:
    BYTE *m_pbBuffer;
    size_t m_cbBuffer;
    size_t m_cbUsed = 0;
    bool m_fWriting = false;
};

} // namespace

bool IsValidProviderName(LPCWSTR pszName)
{
    if (pszName == nullptr || pszName[0] == 0) {
        return false;
    }
    size_t cch = 0;
    for (; pszName[cch] != 0; ++cch) {
        if (pszName[cch] == u'\\' || cch >= kMaxProviderName) {
            return false;
        }
    }
    return true;
}

bool SameProviderName(const std::u16string &strLeft, const std::u16string &strRight)
{
    if (strLeft.size() != strRight.size()) {
        return false;
    }
    for (size_t i = 0; i < strLeft.size(); ++i) {
        if (FoldCase(strLeft[i]) != FoldCase(strRight[i])) {
            return false;
        }
    }
    return true;
}

bool CopyFromCryptRecord(LPCWSTR pszName, const CRYPT_PROVIDER_REG &reg, ProviderRegistration *pResult)
{
    ProviderRegistration registration;
    if (!CopyString(pszName, &registration.strName)) {
        return false;
    }
    if ((reg.cAliases != 0 && reg.rgpszAliases == nullptr) || (reg.pUM == nullptr && reg.pKM == nullptr)) {
        return false;
    }
    for (ULONG iAlias = 0; iAlias < reg.cAliases; ++iAlias) {
        std::u16string strAlias;
        if (!CopyString(reg.rgpszAliases[iAlias], &strAlias)) {
            return false;
        }
        registration.aliases.push_back(std::move(strAlias));
    }
    if (reg.pUM != nullptr && !CopyImage(*reg.pUM, &registration.userMode.emplace())) {
        return false;
    }
    if (reg.pKM != nullptr && !CopyImage(*reg.pKM, &registration.kernelMode.emplace())) {
        return false;
    }
    *pResult = std::move(registration);
    return true;
}

std::string FormatRegistrations(const std::vector<ProviderRegistration> &registrations)
{
    std::ostringstream out;
    out << kHeader << '\n';
    for (const ProviderRegistration &registration : registrations) {
        out << "provider " << EncodeString(registration.strName) << '\n';
        for (const std::u16string &strAlias : registration.aliases) {
            out << "alias " << EncodeString(strAlias) << '\n';
        }
        if (registration.userMode) {
            AppendImage(out, "um", *registration.userMode);
        }
        if (registration.kernelMode) {
            AppendImage(out, "km", *registration.kernelMode);
        }
    }
    return out.str();
}

bool ParseRegistrations(const std::string &strText, std::vector<ProviderRegistration> *pRegistrations)
{
    std::istringstream in(strText);
    std::string strLine;
    if (!std::getline(in, strLine) || strLine != kHeader) {
        return false;
    }
    std::vector<ProviderRegistration> registrations;
    ImageRegistration *pImage = nullptr;
    InterfaceRegistration *pInterface = nullptr;
    while (std::getline(in, strLine)) {
        std::istringstream fields(strLine);
        std::string strKind;
        std::string strFirst;
        std::string strSecond;
        std::string strExtra;
        fields >> strKind >> strFirst >> strSecond >> strExtra;
        if (!strExtra.empty()) {
            return false;
        }
        if (strKind == "provider" && strSecond.empty()) {
            ProviderRegistration &registration = registrations.emplace_back();
            if (!DecodeString(strFirst, &registration.strName)) {
                return false;
            }
            pImage = nullptr;
            pInterface = nullptr;
        } else if (strKind == "alias" && strSecond.empty() && !registrations.empty() && pImage == nullptr) {
            if (!DecodeString(strFirst, &registrations.back().aliases.emplace_back())) {
                return false;
            }
        } else if (strKind == "image" && !registrations.empty()) {
            ProviderRegistration &registration = registrations.back();
            // User mode first, kernel mode second, each at most once.
            if (strFirst == "um" && !registration.userMode && !registration.kernelMode) {
                pImage = &registration.userMode.emplace();
            } else if (strFirst == "km" && !registration.kernelMode) {
                pImage = &registration.kernelMode.emplace();
            } else {
                return false;
            }
            if (!DecodeString(strSecond, &pImage->strImage)) {
                return false;
            }
            pInterface = nullptr;
        } else if (strKind == "interface" && pImage != nullptr) {
            pInterface = &pImage->interfaces.emplace_back();
            if (!DecodeNumber(strFirst, &pInterface->dwInterface) || !DecodeNumber(strSecond, &pInterface->dwFlags)) {
                return false;
            }
        } else if (strKind == "function" && strSecond.empty() && pInterface != nullptr) {
            if (!DecodeString(strFirst, &pInterface->functions.emplace_back())) {
                return false;
            }
        } else {
            return false;
        }
    }
    for (const ProviderRegistration &registration : registrations) {
        if (!registration.userMode && !registration.kernelMode) {
            return false;
        }
    }
    *pRegistrations = std::move(registrations);
    return true;
}

size_t MarshalRegistration(const ProviderRegistration &registration, BYTE *pbBuffer, size_t cbBuffer)
{
    return Layout(pbBuffer, cbBuffer).Marshal(registration);
}

} // namespace bcrypt
} // namespace qvn
