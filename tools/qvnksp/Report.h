// How every command shows what it did: one line per call with its status in
// hex and by name, the results worth seeing, and a closing verdict; or, with
// --json, one JSON object with the same content for scripts.
#ifndef QVNKSP_REPORT_H
#define QVNKSP_REPORT_H

#include "StatusNames.h"

#include <cstdint>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace qvnksp
{

// JSON text of one value, for Report::Result.
std::string JsonString(const std::string &str);
std::string JsonNumber(uint64_t value);
std::string JsonBool(bool f);
std::string JsonArray(const std::vector<std::string> &rgstrValues);
// {"k": v, ...} from already encoded values.
std::string JsonObject(const std::vector<std::pair<std::string, std::string>> &rgFields);

class Report
{
public:
    Report(std::string strCommand, bool fJson);

    bool Json() const { return m_fJson; }
    // Sends the report to standard error, for commands that write data to standard output.
    void UseStandardError() { m_pOut = &std::cerr; }
    bool Ok() const { return m_cFailed == 0 && m_rgstrErrors.empty(); }

    // A heading that groups the lines below it (text output only).
    void Section(const std::string &strTitle);
    // One call and the status it returned. The step succeeds when the status
    // equals the one expected; returns whether it did.
    bool Step(const std::string &strCall, uint32_t status, StatusKind kind, uint32_t expected = 0);
    // A check that has no status of its own (a comparison, an independent judge).
    bool Check(const std::string &strWhat, bool fPassed, const std::string &strPassed, const std::string &strFailed);
    // A result worth showing: `strLabel  strText` in text, "key": json in JSON.
    void Result(const std::string &strKey, const std::string &strLabel, const std::string &strText,
                const std::string &strJson);
    // A result with no text line (JSON only), or a text line with no JSON field.
    void ResultJsonOnly(const std::string &strKey, const std::string &strJson);
    void Line(const std::string &strText);
    // A failure outside any call (a file that cannot be read, ...).
    void Error(const std::string &strMessage);

    // Prints the verdict (text) or the whole object (JSON); returns the exit code.
    int Finish();

private:
    void PrintStepLine(const std::string &strCall, const std::string &strOutcome);

    std::string m_strCommand;
    bool m_fJson;
    std::ostream *m_pOut;
    unsigned m_cSteps = 0;
    unsigned m_cFailed = 0;
    std::vector<std::string> m_rgstrStepsJson;
    std::vector<std::pair<std::string, std::string>> m_rgResults;
    std::vector<std::string> m_rgstrErrors;
};

// "3f 1a 09 ... 7c 21" (the first and last bytes of a long buffer).
std::string HexPreview(const std::vector<uint8_t> &data, size_t cbHead = 8, size_t cbTail = 4);
// Every byte, without separators.
std::string HexString(const std::vector<uint8_t> &data);

} // namespace qvnksp

#endif
