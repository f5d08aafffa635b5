#include "Report.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace qvnksp
{
namespace
{

// Step lines put their outcome at this column (the call is padded with dots).
constexpr size_t kOutcomeColumn = 72;
// Result lines put their value at this column.
constexpr size_t kResultLabelWidth = 18;

// Columns that UTF-8 text takes: one per code point (continuation bytes take none).
size_t DisplayWidth(const std::string &str)
{
    size_t cColumns = 0;
    for (const char ch : str) {
        cColumns += (static_cast<unsigned char>(ch) & 0xC0) != 0x80 ? 1 : 0;
    }
    return cColumns;
}

// Appends `chFill` until the text takes `cColumns` columns.
void PadTo(std::string &str, size_t cColumns, char chFill)
{
    for (size_t cWidth = DisplayWidth(str); cWidth < cColumns; ++cWidth) {
        str += chFill;
    }
}

} // namespace

std::string JsonString(const std::string &str)
{
    std::string strOut = "\"";
    for (const char ch : str) {
        const auto b = static_cast<unsigned char>(ch);
        switch (ch) {
        case '"':
            strOut += "\\\"";
            break;
        case '\\':
            strOut += "\\\\";
            break;
        case '\n':
            strOut += "\\n";
            break;
        case '\r':
            strOut += "\\r";
            break;
        case '\t':
            strOut += "\\t";
            break;
        default:
            if (b < 0x20) {
                char sz[8];
                std::snprintf(sz, sizeof(sz), "\\u%04x", b);
                strOut += sz;
            } else {
                strOut += ch;
            }
        }
    }
    return strOut + "\"";
}

std::string JsonNumber(uint64_t value)
{
    return std::to_string(value);
}

std::string JsonBool(bool f)
{
    return f ? "true" : "false";
}

std::string JsonArray(const std::vector<std::string> &rgstrValues)
{
    std::string strOut = "[";
    for (size_t i = 0; i < rgstrValues.size(); ++i) {
        strOut += (i == 0 ? "" : ", ") + rgstrValues[i];
    }
    return strOut + "]";
}

std::string JsonObject(const std::vector<std::pair<std::string, std::string>> &rgFields)
{
    std::string strOut = "{";
    for (size_t i = 0; i < rgFields.size(); ++i) {
        strOut += (i == 0 ? "" : ", ") + JsonString(rgFields[i].first) + ": " + rgFields[i].second;
    }
    return strOut + "}";
}

std::string HexString(const std::vector<uint8_t> &data)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string str;
    str.reserve(data.size() * 2);
    for (const uint8_t b : data) {
        str += kDigits[b >> 4];
        str += kDigits[b & 15];
    }
    return str;
}

std::string HexPreview(const std::vector<uint8_t> &data, size_t cbHead, size_t cbTail)
{
    static const char kDigits[] = "0123456789abcdef";
    auto append = [&](std::string &str, size_t iFirst, size_t iEnd) {
        for (size_t i = iFirst; i < iEnd; ++i) {
            if (!str.empty()) {
                str += ' ';
            }
            str += kDigits[data[i] >> 4];
            str += kDigits[data[i] & 15];
        }
    };
    std::string str;
    if (data.size() <= cbHead + cbTail) {
        append(str, 0, data.size());
        return str;
    }
    append(str, 0, cbHead);
    str += " ..";
    append(str, data.size() - cbTail, data.size());
    return str;
}

Report::Report(std::string strCommand, bool fJson)
    : m_strCommand(std::move(strCommand)), m_fJson(fJson), m_pOut(&std::cout)
{
}

void Report::Section(const std::string &strTitle)
{
    if (!m_fJson) {
        *m_pOut << "\n" << strTitle << "\n";
    }
}

void Report::PrintStepLine(const std::string &strCall, const std::string &strOutcome)
{
    std::string strLine = "  " + strCall + " ";
    PadTo(strLine, kOutcomeColumn - 1, '.');
    if (strLine.back() != ' ') {
        strLine += ' ';
    }
    *m_pOut << strLine << strOutcome << "\n";
}

bool Report::Step(const std::string &strCall, uint32_t status, StatusKind kind, uint32_t expected)
{
    const bool fOk = status == expected;
    ++m_cSteps;
    if (!fOk) {
        ++m_cFailed;
    }
    if (m_fJson) {
        m_rgstrStepsJson.push_back(JsonObject({
            {"call", JsonString(strCall)},
            {"status", JsonString(StatusHex(status))},
            {"status_name", JsonString(StatusName(status, kind))},
            {"expected", JsonString(StatusHex(expected))},
            {"ok", JsonBool(fOk)},
        }));
        return fOk;
    }
    std::string strOutcome = StatusText(status, kind);
    if (fOk && expected != 0) {
        strOutcome += "  (as it should)";
    } else if (!fOk) {
        strOutcome += "  << FAILED";
        if (expected != 0) {
            strOutcome += ", should be " + StatusText(expected, kind);
        }
    }
    PrintStepLine(strCall, strOutcome);
    return fOk;
}

bool Report::Check(const std::string &strWhat, bool fPassed, const std::string &strPassed, const std::string &strFailed)
{
    ++m_cSteps;
    if (!fPassed) {
        ++m_cFailed;
    }
    if (m_fJson) {
        m_rgstrStepsJson.push_back(JsonObject({
            {"check", JsonString(strWhat)},
            {"result", JsonString(fPassed ? strPassed : strFailed)},
            {"ok", JsonBool(fPassed)},
        }));
    } else {
        PrintStepLine(strWhat, fPassed ? strPassed : strFailed + "  << FAILED");
    }
    return fPassed;
}

void Report::Result(const std::string &strKey, const std::string &strLabel, const std::string &strText,
                    const std::string &strJson)
{
    if (!strKey.empty()) {
        m_rgResults.emplace_back(strKey, strJson);
    }
    if (!m_fJson) {
        std::string strLine = "      " + strLabel;
        strLine += ' ';
        PadTo(strLine, 6 + kResultLabelWidth, ' ');
        *m_pOut << strLine << strText << "\n";
    }
}

void Report::ResultJsonOnly(const std::string &strKey, const std::string &strJson)
{
    m_rgResults.emplace_back(strKey, strJson);
}

void Report::Line(const std::string &strText)
{
    if (!m_fJson) {
        *m_pOut << strText << "\n";
    }
}

void Report::Error(const std::string &strMessage)
{
    m_rgstrErrors.push_back(strMessage);
    if (!m_fJson) {
        *m_pOut << std::flush;
        std::cerr << "qvnksp " << m_strCommand << ": error: " << strMessage << "\n";
    }
}

int Report::Finish()
{
    if (m_fJson) {
        std::vector<std::string> rgstrErrors;
        for (const std::string &str : m_rgstrErrors) {
            rgstrErrors.push_back(JsonString(str));
        }
        *m_pOut << JsonObject({
                       {"command", JsonString(m_strCommand)},
                       {"ok", JsonBool(Ok())},
                       {"steps", JsonArray(m_rgstrStepsJson)},
                       {"results", JsonObject(m_rgResults)},
                       {"errors", JsonArray(rgstrErrors)},
                   })
                << std::endl;
    } else {
        *m_pOut << "\n";
        if (Ok()) {
            *m_pOut << "qvnksp " << m_strCommand << ": OK (" << m_cSteps << " of " << m_cSteps
                    << " steps gave what they should)\n";
        } else if (m_cFailed > 0) {
            *m_pOut << "qvnksp " << m_strCommand << ": FAILED (" << m_cFailed << " of " << m_cSteps
                    << " steps did not give what they should)\n";
        } else {
            *m_pOut << "qvnksp " << m_strCommand << ": FAILED (" << m_rgstrErrors.front() << ")\n";
        }
        *m_pOut << std::flush;
    }
    return Ok() ? 0 : 1;
}

} // namespace qvnksp
