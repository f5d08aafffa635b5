#include "E2ERecord.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace e2e
{

namespace
{

// The thread that runs the tests is the one that builds this file's statics.
const std::thread::id g_recordingThread = std::this_thread::get_id();

std::mutex g_mutex;

void AppendLine(const char *pszPath, const std::string &strLabel, LONG lStatus, const DWORD *pdwSize)
{
    const ::testing::TestInfo *pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string strLine =
        pInfo == nullptr ? std::string("(none)") : std::string(pInfo->test_suite_name()) + "." + pInfo->name();
    strLine += ' ';
    for (char ch : strLabel) {
        strLine += (ch == ' ' || ch == '\n') ? '_' : ch;
    }

    char szValues[64];
    if (pdwSize != nullptr) {
        std::snprintf(szValues, sizeof(szValues), " 0x%08lX %lu\n",
                      static_cast<unsigned long>(static_cast<DWORD>(lStatus)), static_cast<unsigned long>(*pdwSize));
    } else {
        std::snprintf(szValues, sizeof(szValues), " 0x%08lX\n",
                      static_cast<unsigned long>(static_cast<DWORD>(lStatus)));
    }
    strLine += szValues;

    std::lock_guard<std::mutex> lock(g_mutex);
    std::FILE *pFile = std::fopen(pszPath, "ab");
    if (pFile != nullptr) {
        std::fputs(strLine.c_str(), pFile);
        std::fclose(pFile);
    }
}

void Append(const std::string &strLabel, LONG lStatus, const DWORD *pdwSize)
{
    // Recording must not disturb the last-error value that the cases observe
    // (looking up the environment alone may change it).
    const DWORD dwLastError = GetLastError();
    const char *pszPath = std::getenv("QVN_E2E_RECORD");
    if (std::this_thread::get_id() == g_recordingThread && pszPath != nullptr && *pszPath != '\0') {
        AppendLine(pszPath, strLabel, lStatus, pdwSize);
    }
    SetLastError(dwLastError);
}

} // namespace

void Record(const std::string &strLabel, LONG lStatus)
{
    Append(strLabel, lStatus, nullptr);
}

void Record(const std::string &strLabel, LONG lStatus, DWORD dwSize)
{
    Append(strLabel, lStatus, &dwSize);
}

} // namespace e2e
