#include "ContainerFile.h"

#include "CspError.h"
#include "KeyBlob.h"

#include <cstring>
#include <sstream>

namespace qvn
{
namespace csp
{
namespace
{

const char kHeader[] = "QVNCONTAINER 1";

void AppendPair(std::ostringstream &out, const char *pszSpec, const KeyPair &pair, ALG_ID aiKeyAlg)
{
    std::vector<uint8_t> blob = BuildPrivateKeyBlob(*pair.key, aiKeyAlg);
    out << "pair " << pszSpec << ' ' << (pair.fExportable ? 1 : 0) << ' ' << ToHex(blob.data(), blob.size()) << '\n';
    std::fill(blob.begin(), blob.end(), 0);
}

[[noreturn]] void Corrupt()
{
    Fail(NTE_KEYSET_ENTRY_BAD);
}

} // namespace

const char kDigits[] = "0123456789abcdef";

std::string ToHex(const uint8_t *pb, size_t cb)
{
    std::string strHex;
    strHex.reserve(cb * 2);
    for (size_t i = 0; i < cb; ++i) {
        strHex.push_back(kDigits[pb[i] >> 4]);
        strHex.push_back(kDigits[pb[i] & 0x0f]);
    }
    return strHex;
}

bool FromHex(const std::string &strHex, std::vector<uint8_t> *pBytes)
{
    if (strHex.size() % 2 != 0) {
        return false;
    }
    auto digit = [](char ch) -> int {
        const char *pch = ch != 0 ? std::strchr(kDigits, ch) : nullptr;
        return pch != nullptr ? static_cast<int>(pch - kDigits) : -1;
    };
    pBytes->clear();
    pBytes->reserve(strHex.size() / 2);
    for (size_t i = 0; i < strHex.size(); i += 2) {
        const int hi = digit(strHex[i]);
        const int lo = digit(strHex[i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        pBytes->push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

std::string FormatContainer(const ContainerData &container)
{
    std::ostringstream out;
    out << kHeader << '\n';
    std::vector<uint8_t> nameBytes;
    for (char16_t ch : container.strName) {
        nameBytes.push_back(static_cast<uint8_t>(ch & 0xff));
        nameBytes.push_back(static_cast<uint8_t>(ch >> 8));
    }
    out << "name " << ToHex(nameBytes.data(), nameBytes.size()) << '\n';
    out << "prompt " << (container.fNeedsPrompt ? 1 : 0) << '\n';
    if (container.exchange) {
        AppendPair(out, "exchange", *container.exchange, CALG_RSA_KEYX);
    }
    if (container.signature) {
        AppendPair(out, "signature", *container.signature, CALG_RSA_SIGN);
    }
    return out.str();
}

ContainerData ParseContainer(const std::string &strText)
{
    std::istringstream in(strText);
    std::string strLine;
    if (!std::getline(in, strLine) || strLine != kHeader) {
        Corrupt();
    }
    ContainerData container;
    bool fHaveName = false;
    while (std::getline(in, strLine)) {
        std::istringstream fields(strLine);
        std::string strKind;
        fields >> strKind;
        if (strKind == "name") {
            std::string strHex;
            fields >> strHex;
            std::vector<uint8_t> bytes;
            if (!FromHex(strHex, &bytes) || bytes.size() % 2 != 0) {
                Corrupt();
            }
            container.strName.clear();
            for (size_t i = 0; i < bytes.size(); i += 2) {
                container.strName.push_back(static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8));
            }
            fHaveName = true;
        } else if (strKind == "prompt") {
            int iPrompt = -1;
            fields >> iPrompt;
            if (iPrompt != 0 && iPrompt != 1) {
                Corrupt();
            }
            container.fNeedsPrompt = iPrompt == 1;
        } else if (strKind == "pair") {
            std::string strSpec, strHex;
            int iExportable = -1;
            fields >> strSpec >> iExportable >> strHex;
            std::vector<uint8_t> blob;
            if ((iExportable != 0 && iExportable != 1) || !FromHex(strHex, &blob) || blob.empty()) {
                Corrupt();
            }
            KeyPair pair;
            pair.fExportable = iExportable == 1;
            try {
                pair.key = ParseKeyBlob(blob.data(), static_cast<DWORD>(blob.size())).key;
            } catch (const CspError &) {
                Corrupt();
            }
            std::fill(blob.begin(), blob.end(), 0);
            if (!pair.key->HasPrivate()) {
                Corrupt();
            }
            if (strSpec == "exchange") {
                container.exchange = pair;
            } else if (strSpec == "signature") {
                container.signature = pair;
            } else {
                Corrupt();
            }
        } else if (!strKind.empty()) {
            Corrupt();
        }
    }
    if (!fHaveName) {
        Corrupt();
    }
    return container;
}

} // namespace csp
} // namespace qvn
