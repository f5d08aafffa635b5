// Command-line options of one (sub)command: `--name VALUE`, `--name=VALUE`,
// `--flag`, and positional words. Anything else is a usage error.
#ifndef QVNKSP_ARGS_H
#define QVNKSP_ARGS_H

#include <cstdint>
#include <initializer_list>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace qvnksp
{

class UsageError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

struct OptionSpec {
    const char *pszName; // without the leading dashes
    bool fTakesValue;
};

class Args
{
public:
    // --help and -h are always accepted. Throws UsageError (an unknown option, one given twice).
    Args(const std::vector<std::string> &rgstrArgs, std::initializer_list<OptionSpec> options);

    bool Help() const { return m_fHelp; }
    bool Has(const std::string &strName) const { return m_mapValues.count(strName) != 0; }
    std::string Get(const std::string &strName, const std::string &strDefault = "") const;
    // The value of an option that must be there.
    std::string Require(const std::string &strName) const;
    // A number option ("2048", "0x800"); throws UsageError when it is not one.
    uint32_t Number(const std::string &strName, uint32_t defaultValue) const;
    const std::vector<std::string> &Positional() const { return m_rgstrPositional; }

private:
    bool m_fHelp = false;
    std::map<std::string, std::string> m_mapValues;
    std::vector<std::string> m_rgstrPositional;
};

// Parses "2048" or "0x80090016" (whole string); false when it is not a 32-bit number.
bool ParseNumber(const std::string &str, uint32_t &value);

} // namespace qvnksp

#endif
