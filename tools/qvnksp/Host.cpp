#include "Host.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <qvnplatform.h>

#include <cstdlib>
#include <filesystem>
#include <unistd.h>
#endif

namespace qvnksp
{

WString Widen(const std::string &strUtf8)
{
    if (strUtf8.empty()) {
        return WString();
    }
    WString str(static_cast<size_t>(
                    MultiByteToWideChar(CP_UTF8, 0, strUtf8.data(), static_cast<int>(strUtf8.size()), nullptr, 0)),
                0);
    MultiByteToWideChar(CP_UTF8, 0, strUtf8.data(), static_cast<int>(strUtf8.size()), &str[0],
                        static_cast<int>(str.size()));
    return str;
}

std::string Narrow(const WCHAR *psz)
{
    if (psz == nullptr || psz[0] == 0) {
        return std::string();
    }
    std::string str(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, psz, -1, nullptr, 0, nullptr, nullptr)), 0);
    WideCharToMultiByte(CP_UTF8, 0, psz, -1, &str[0], static_cast<int>(str.size()), nullptr, nullptr);
    str.pop_back(); // the NUL
    return str;
}

namespace
{

FILE *OpenFile(const std::string &strPath, bool fWrite)
{
#ifdef _WIN32
    const WString strWide = Widen(strPath);
    return _wfopen(strWide.c_str(), fWrite ? L"wb" : L"rb");
#else
    return std::fopen(strPath.c_str(), fWrite ? "wb" : "rb");
#endif
}

void MakeBinary(FILE *pFile)
{
#ifdef _WIN32
    _setmode(_fileno(pFile), _O_BINARY);
#else
    (void)pFile;
#endif
}

} // namespace

bool ReadWholeFile(const std::string &strPath, Bytes &data, std::string &strError)
{
    const bool fStdin = strPath == "-";
    FILE *pFile = fStdin ? stdin : OpenFile(strPath, false);
    if (pFile == nullptr) {
        strError = "cannot open " + strPath + ": " + std::strerror(errno);
        return false;
    }
    if (fStdin) {
        MakeBinary(pFile);
    }
    data.clear();
    uint8_t rgb[16384];
    size_t cbRead;
    while ((cbRead = std::fread(rgb, 1, sizeof(rgb), pFile)) > 0) {
        data.insert(data.end(), rgb, rgb + cbRead);
    }
    const bool fFailed = std::ferror(pFile) != 0;
    if (!fStdin) {
        std::fclose(pFile);
    }
    if (fFailed) {
        strError = "cannot read " + strPath;
        return false;
    }
    return true;
}

bool WriteWholeFile(const std::string &strPath, const Bytes &data, std::string &strError)
{
    const bool fStdout = strPath == "-";
    FILE *pFile = fStdout ? stdout : OpenFile(strPath, true);
    if (pFile == nullptr) {
        strError = "cannot create " + strPath + ": " + std::strerror(errno);
        return false;
    }
    if (fStdout) {
        std::fflush(stdout);
        MakeBinary(pFile);
    }
    bool fOk = data.empty() || std::fwrite(data.data(), 1, data.size(), pFile) == data.size();
    fOk = (fStdout ? std::fflush(pFile) : std::fclose(pFile)) == 0 && fOk;
    if (!fOk) {
        strError = "cannot write " + strPath;
    }
    return fOk;
}

#ifdef _WIN32

std::string SelfDirectory()
{
    WCHAR szPath[32768];
    const DWORD cch = GetModuleFileNameW(nullptr, szPath, sizeof(szPath) / sizeof(szPath[0]));
    std::string strPath = Narrow(WString(szPath, cch));
    const size_t iSlash = strPath.find_last_of("\\/");
    return iSlash == std::string::npos ? "." : strPath.substr(0, iSlash);
}

const char *ModuleFileName()
{
    return "QvnTpmKsp.dll";
}
char PathSeparator()
{
    return '\\';
}

bool CreateDemoStore(DemoStore &store, std::string &)
{
    char szName[64];
    std::snprintf(szName, sizeof(szName), "qvnksp-demo-%lu-%llx", static_cast<unsigned long>(GetCurrentProcessId()),
                  static_cast<unsigned long long>(GetTickCount64()));
    store.strDirectory.clear();
    store.strContainerName = szName;
    return true;
}

bool RemoveDemoStore(const DemoStore &, std::string &)
{
    return true;
}

std::string CurrentStoreDescription()
{
    return "the CSPs' own key containers";
}

#else

std::string SelfDirectory()
{
    std::error_code ec;
    const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return ".";
    }
    return path.parent_path().string();
}

const char *ModuleFileName()
{
    return "QvnTpmKsp.so";
}
char PathSeparator()
{
    return '/';
}

bool CreateDemoStore(DemoStore &store, std::string &strError)
{
    const char *pszTemp = std::getenv("TMPDIR");
    std::string strTemplate =
        std::string(pszTemp != nullptr && *pszTemp != 0 ? pszTemp : "/tmp") + "/qvnksp-demo-XXXXXX";
    std::vector<char> rgchTemplate(strTemplate.begin(), strTemplate.end());
    rgchTemplate.push_back(0);
    if (mkdtemp(rgchTemplate.data()) == nullptr) {
        strError = "cannot create a temporary key store under " + strTemplate + ": " + std::strerror(errno);
        return false;
    }
    store.strDirectory = rgchTemplate.data();
    store.strContainerName = "qvnksp-demo";
    QvnPlatformSetStoreDirectory(store.strDirectory.c_str());
    return true;
}

bool RemoveDemoStore(const DemoStore &store, std::string &strError)
{
    if (store.strDirectory.empty()) {
        return true;
    }
    std::error_code ec;
    std::filesystem::remove_all(store.strDirectory, ec);
    if (ec) {
        strError = "cannot remove " + store.strDirectory + ": " + ec.message();
        return false;
    }
    return true;
}

std::string CurrentStoreDescription()
{
    return QvnPlatformGetStoreDirectory();
}

#endif

} // namespace qvnksp
