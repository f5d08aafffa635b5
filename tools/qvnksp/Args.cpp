#include "Args.h"

#include <cerrno>
#include <cstdlib>

namespace qvnksp
{

Args::Args(const std::vector<std::string> &rgstrArgs, std::initializer_list<OptionSpec> options)
{
    for (size_t i = 0; i < rgstrArgs.size(); ++i) {
        const std::string &strArg = rgstrArgs[i];
        if (strArg == "--help" || strArg == "-h") {
            m_fHelp = true;
            continue;
        }
        if (strArg.size() < 3 || strArg.compare(0, 2, "--") != 0) {
            const bool fNegativeNumber = strArg.size() > 1 && strArg[0] == '-' && strArg[1] >= '0' && strArg[1] <= '9';
            if (strArg.size() > 1 && strArg[0] == '-' && !fNegativeNumber) {
                throw UsageError("unknown option " + strArg);
            }
            m_rgstrPositional.push_back(strArg);
            continue;
        }
        std::string strName = strArg.substr(2);
        std::string strValue;
        bool fInlineValue = false;
        const size_t iEquals = strName.find('=');
        if (iEquals != std::string::npos) {
            strValue = strName.substr(iEquals + 1);
            strName.resize(iEquals);
            fInlineValue = true;
        }
        const OptionSpec *pSpec = nullptr;
        for (const OptionSpec &spec : options) {
            if (strName == spec.pszName) {
                pSpec = &spec;
            }
        }
        if (pSpec == nullptr) {
            throw UsageError("unknown option --" + strName);
        }
        if (pSpec->fTakesValue && !fInlineValue) {
            if (i + 1 >= rgstrArgs.size()) {
                throw UsageError("option --" + strName + " needs a value");
            }
            strValue = rgstrArgs[++i];
        } else if (!pSpec->fTakesValue && fInlineValue) {
            throw UsageError("option --" + strName + " takes no value");
        }
        // The same option twice is a mistake, not a choice of the last one.
        if (!m_mapValues.emplace(strName, strValue).second) {
            throw UsageError("option --" + strName + " given twice");
        }
    }
}

std::string Args::Get(const std::string &strName, const std::string &strDefault) const
{
    const auto it = m_mapValues.find(strName);
    return it == m_mapValues.end() ? strDefault : it->second;
}

std::string Args::Require(const std::string &strName) const
{
    const auto it = m_mapValues.find(strName);
    if (it == m_mapValues.end() || it->second.empty()) {
        throw UsageError("missing --" + strName);
    }
    return it->second;
}

uint32_t Args::Number(const std::string &strName, uint32_t defaultValue) const
{
    if (!Has(strName)) {
        return defaultValue;
    }
    uint32_t value = 0;
    if (!ParseNumber(Get(strName), value)) {
        throw UsageError("--" + strName + " needs a number, not \"" + Get(strName) + "\"");
    }
    return value;
}

bool ParseNumber(const std::string &str, uint32_t &value)
{
    if (str.empty() || str[0] == '-' || str[0] == '+' || str[0] == ' ') {
        return false;
    }
    const bool fHex = str.size() > 2 && str[0] == '0' && (str[1] == 'x' || str[1] == 'X');
    char *pszEnd = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(str.c_str(), &pszEnd, fHex ? 16 : 10);
    if (errno != 0 || pszEnd == str.c_str() || *pszEnd != 0 || parsed > 0xFFFFFFFFull) {
        return false;
    }
    value = static_cast<uint32_t>(parsed);
    return true;
}

} // namespace qvnksp
