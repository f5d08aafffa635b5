// Observation log of the end-to-end suite, for comparing one run with another
// (the Linux stand-in against Windows under Wine).
//
// When the environment variable QVN_E2E_RECORD names a file, every
// observation is appended to it as one line:
//
//     <TestSuite.TestName> <label> <status as 0x%08X> [<size>]
//
// Labels are chosen by the cases and stable from run to run: no addresses,
// handles or random data. Only the thread that runs the tests records; worker
// threads report through it, so the order of the lines is fixed.
#ifndef QVN_E2E_RECORD_H
#define QVN_E2E_RECORD_H

#include <windows.h>

#include <string>

namespace e2e
{

void Record(const std::string &strLabel, LONG lStatus);
void Record(const std::string &strLabel, LONG lStatus, DWORD dwSize);

} // namespace e2e

#endif
