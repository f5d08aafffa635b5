#include "Host.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <streambuf>
#include <iostream>
#else
#include <qvnplatform.h>

#include <cstdlib>
#include <filesystem>
#include <unistd.h>
#endif

#include <cstdint>

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

// Mode "rb", "wb" or "ab".
FILE *OpenFile(const std::string &strPath, const char *pszMode)
{
#ifdef _WIN32
    const WString strWide = Widen(strPath);
    const WString strMode = Widen(pszMode);
    return _wfopen(strWide.c_str(), strMode.c_str());
#else
    return std::fopen(strPath.c_str(), pszMode);
#endif
}

int RemoveFile(const std::string &strPath)
{
#ifdef _WIN32
    const WString strWide = Widen(strPath);
    return _wremove(strWide.c_str());
#else
    return std::remove(strPath.c_str());
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

bool ReadWholeFile(const std::string &strPath, Bytes &data, std::string &strError, size_t cbMax)
{
    const bool fStdin = strPath == "-";
    FILE *pFile = fStdin ? stdin : OpenFile(strPath, "rb");
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
    while (data.size() <= cbMax && (cbRead = std::fread(rgb, 1, sizeof(rgb), pFile)) > 0) {
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
    if (data.size() > cbMax) {
        strError = strPath + " holds more than " + std::to_string(cbMax) + " bytes";
        data.clear();
        return false;
    }
    return true;
}

bool ProbeWritable(const std::string &strPath, std::string &strError)
{
    if (strPath == "-") {
        return true;
    }
    FILE *pExisting = OpenFile(strPath, "rb");
    if (pExisting != nullptr) {
        std::fclose(pExisting);
    }
    // Appending changes nothing of an existing file; a new one goes again.
    FILE *pFile = OpenFile(strPath, pExisting != nullptr ? "ab" : "wb");
    if (pFile == nullptr) {
        strError = "cannot create " + strPath + ": " + std::strerror(errno);
        return false;
    }
    std::fclose(pFile);
    if (pExisting == nullptr) {
        RemoveFile(strPath);
    }
    return true;
}

bool WriteWholeFile(const std::string &strPath, const Bytes &data, std::string &strError)
{
    const bool fStdout = strPath == "-";
    FILE *pFile = fStdout ? stdout : OpenFile(strPath, "wb");
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

std::string AnsiToUtf8(const char *psz)
{
    const int cch = MultiByteToWideChar(CP_ACP, 0, psz, -1, nullptr, 0);
    if (cch <= 0) {
        return "";
    }
    WString strWide(static_cast<size_t>(cch), 0);
    MultiByteToWideChar(CP_ACP, 0, psz, -1, &strWide[0], cch);
    return Narrow(strWide.c_str());
}

bool StandardErrorIsTerminal()
{
    DWORD dwMode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &dwMode) != 0;
}

namespace
{

// Collects UTF-8 text and writes it to a console as UTF-16, whole lines at a
// time (and at a flush), never splitting a character.
class ConsoleBuffer : public std::streambuf
{
public:
    explicit ConsoleBuffer(HANDLE hConsole) : m_hConsole(hConsole) {}

protected:
    int_type overflow(int_type ch) override
    {
        if (ch != traits_type::eof()) {
            m_str.push_back(static_cast<char>(ch));
            if (ch == '\n') {
                sync();
            }
        }
        return traits_type::not_eof(ch);
    }
    std::streamsize xsputn(const char *pch, std::streamsize cch) override
    {
        m_str.append(pch, static_cast<size_t>(cch));
        if (m_str.find('\n') != std::string::npos) {
            sync();
        }
        return cch;
    }
    int sync() override
    {
        // A character cut at the end waits for the rest.
        size_t cbWhole = m_str.size();
        size_t iLead = cbWhole;
        while (iLead > 0 && iLead + 4 > cbWhole && (static_cast<unsigned char>(m_str[iLead - 1]) & 0xC0) == 0x80) {
            --iLead;
        }
        if (iLead > 0) {
            const unsigned char b = static_cast<unsigned char>(m_str[iLead - 1]);
            const size_t cbSeq = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
            if (iLead - 1 + cbSeq > cbWhole) {
                cbWhole = iLead - 1;
            }
        }
        const WString strWide = Widen(m_str.substr(0, cbWhole));
        DWORD cchWritten = 0;
        WriteConsoleW(m_hConsole, strWide.data(), static_cast<DWORD>(strWide.size()), &cchWritten, nullptr);
        m_str.erase(0, cbWhole);
        return 0;
    }

private:
    HANDLE m_hConsole;
    std::string m_str;
};

void UseConsoleFor(std::ostream &stream, DWORD dwStdHandle)
{
    const HANDLE hHandle = GetStdHandle(dwStdHandle);
    DWORD dwMode = 0;
    if (GetConsoleMode(hHandle, &dwMode)) {
        // Never freed: the streams flush into it while the process ends.
        stream.rdbuf(new ConsoleBuffer(hHandle));
    }
}

} // namespace

void SetUpConsoleOutput()
{
    UseConsoleFor(std::cout, STD_OUTPUT_HANDLE);
    UseConsoleFor(std::cerr, STD_ERROR_HANDLE);
}

std::string DefaultModuleDirectory()
{
    WCHAR szSystem[MAX_PATH];
    // A 32-bit process on 64-bit Windows reads System32 as SysWOW64 (the file
    // system redirects it, as it does the router's load): name that folder.
    BOOL fWow64 = FALSE;
    const UINT cch = IsWow64Process(GetCurrentProcess(), &fWow64) && fWow64
                         ? GetSystemWow64DirectoryW(szSystem, MAX_PATH)
                         : GetSystemDirectoryW(szSystem, MAX_PATH);
    return cch > 0 && cch < MAX_PATH ? Narrow(szSystem) : std::string("C:\\Windows\\System32");
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

std::string AnsiToUtf8(const char *psz)
{
    return psz;
}

bool StandardErrorIsTerminal()
{
    return isatty(STDERR_FILENO) != 0;
}

void SetUpConsoleOutput() {}

std::string DefaultModuleDirectory()
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
