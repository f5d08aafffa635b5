#include "ContainerStore.h"

#include "CspError.h"

#include <wincrypt.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qvn
{
namespace csp
{
namespace
{

// Names whose hex form would be longer than this are stored under a digest.
constexpr size_t kMaxHexFileName = 200;
const char kLockFileName[] = ".lock";
const int kLockTries = 2000; // 10 ms apart: 20 s
const char kContainerSuffix[] = ".ctr";

struct RootState {
    std::mutex mutex;
    bool fExplicit = false;
    std::string strRoot;
    std::deque<std::string> handedOut; // every string whose c_str() was returned
};

RootState &Roots()
{
    static RootState *pState = new RootState; // never destroyed: used during process exit
    return *pState;
}

std::string DefaultRoot()
{
    const char *pszEnv = std::getenv("QVNPLATFORM_STORE");
    if (pszEnv != nullptr && pszEnv[0] != 0) {
        return pszEnv;
    }
    std::string strHome;
    const char *pszHome = std::getenv("HOME");
    if (pszHome != nullptr && pszHome[0] != 0) {
        strHome = pszHome;
    } else {
        struct passwd *pEntry = getpwuid(getuid());
        strHome = pEntry != nullptr && pEntry->pw_dir != nullptr ? pEntry->pw_dir : "/tmp";
    }
    return strHome + "/.local/share/qvnplatform/store";
}

std::string DirectoryOf(const std::string &strRoot, const ProviderInfo &provider, bool fMachine)
{
    return strRoot + "/" + provider.pszStoreName + (fMachine ? "/machine" : "/user");
}

std::string DirectoryOf(const ContainerLocation &location)
{
    return DirectoryOf(location.strRoot, *location.pProvider, location.fMachine);
}

void MakeDirectories(const std::string &strPath)
{
    for (size_t i = 1; i <= strPath.size(); ++i) {
        if (i == strPath.size() || strPath[i] == '/') {
            const std::string strPrefix = strPath.substr(0, i);
            if (mkdir(strPrefix.c_str(), 0700) != 0 && errno != EEXIST) {
                Fail(NTE_FAIL);
            }
        }
    }
}

// An flock on a directory's lock file, held for the object's lifetime.
class DirectoryLock
{
public:
    // Returns without a lock when fCreate is false and the directory is absent.
    DirectoryLock(const std::string &strDirectory, bool fExclusive, bool fCreate) : m_fd(-1)
    {
        if (fCreate) {
            MakeDirectories(strDirectory);
        }
        const std::string strLock = strDirectory + "/" + kLockFileName;
        m_fd = open(strLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd < 0) {
            if (!fCreate && errno == ENOENT) {
                return;
            }
            Fail(NTE_FAIL);
        }
        // A bounded wait: a lock left held (a process stopped while holding
        // it) fails the call within seconds, with the lock file named.
        for (int nTry = 0; flock(m_fd, (fExclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0; ++nTry) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                close(m_fd);
                Fail(NTE_FAIL);
            }
            if (nTry == kLockTries) {
                std::fprintf(stderr, "container store: %s still locked after %d s\n", strLock.c_str(),
                             kLockTries / 100);
                close(m_fd);
                Fail(NTE_FAIL);
            }
            usleep(10000);
        }
    }
    ~DirectoryLock()
    {
        if (m_fd >= 0) {
            flock(m_fd, LOCK_UN);
            close(m_fd);
        }
    }
    DirectoryLock(const DirectoryLock &) = delete;
    DirectoryLock &operator=(const DirectoryLock &) = delete;

    bool Held() const { return m_fd >= 0; }

private:
    int m_fd;
};

// Reads a whole file; false when it does not exist.
bool ReadFile(const std::string &strPath, std::string *pText)
{
    const int fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return false;
        }
        Fail(NTE_FAIL);
    }
    pText->clear();
    char buffer[8192];
    for (;;) {
        const ssize_t cb = read(fd, buffer, sizeof(buffer));
        if (cb < 0 && errno == EINTR) {
            continue;
        }
        if (cb < 0) {
            close(fd);
            Fail(NTE_FAIL);
        }
        if (cb == 0) {
            break;
        }
        pText->append(buffer, static_cast<size_t>(cb));
    }
    close(fd);
    return true;
}

// Replaces a file atomically: a temporary file in the same directory, renamed.
void WriteFile(const std::string &strDirectory, const std::string &strPath, const std::string &strText)
{
    std::string strTemplate = strDirectory + "/.tmp-XXXXXX";
    const int fd = mkostemp(&strTemplate[0], O_CLOEXEC);
    if (fd < 0) {
        Fail(NTE_FAIL);
    }
    size_t cbWritten = 0;
    while (cbWritten < strText.size()) {
        const ssize_t cb = write(fd, strText.data() + cbWritten, strText.size() - cbWritten);
        if (cb < 0 && errno == EINTR) {
            continue;
        }
        if (cb <= 0) {
            close(fd);
            unlink(strTemplate.c_str());
            Fail(NTE_FAIL);
        }
        cbWritten += static_cast<size_t>(cb);
    }
    if (close(fd) != 0 || rename(strTemplate.c_str(), strPath.c_str()) != 0) {
        unlink(strTemplate.c_str());
        Fail(NTE_FAIL);
    }
}

std::string PathOf(const ContainerLocation &location)
{
    return DirectoryOf(location) + "/" + ContainerFileName(location.strName);
}

// Loads under a lock the caller holds. A file of another name (a digest
// collision of long names) counts as absent.
bool LoadLocked(const ContainerLocation &location, ContainerData *pData)
{
    std::string strText;
    if (!ReadFile(PathOf(location), &strText)) {
        return false;
    }
    ContainerData data = ParseContainer(strText);
    if (data.strName != location.strName) {
        return false;
    }
    *pData = std::move(data);
    return true;
}

// Whether the container's file is there; a damaged file counts, so that a
// damaged container can still be deleted.
bool ExistsLocked(const ContainerLocation &location)
{
    ContainerData data;
    try {
        return LoadLocked(location, &data);
    } catch (const CspError &error) {
        if (error.dwError == static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD)) {
            return true;
        }
        throw;
    }
}

// The container files of a directory, sorted; none when it does not exist.
std::vector<std::string> ContainerFilesIn(const std::string &strDirectory)
{
    std::vector<std::string> files;
    DIR *pDir = opendir(strDirectory.c_str());
    if (pDir == nullptr) {
        return files;
    }
    while (struct dirent *pEntry = readdir(pDir)) {
        const std::string strFile = pEntry->d_name;
        const size_t cbSuffix = sizeof(kContainerSuffix) - 1;
        if (strFile.size() > cbSuffix && strFile.compare(strFile.size() - cbSuffix, cbSuffix, kContainerSuffix) == 0) {
            files.push_back(strFile);
        }
    }
    closedir(pDir);
    std::sort(files.begin(), files.end());
    return files;
}

void ClearMarksIn(const std::string &strDirectory)
{
    const std::vector<std::string> files = ContainerFilesIn(strDirectory);
    DirectoryLock lock(strDirectory, true, false);
    if (!lock.Held()) {
        return;
    }
    for (const std::string &strFile : files) {
        const std::string strPath = strDirectory + "/" + strFile;
        try {
            std::string strText;
            if (!ReadFile(strPath, &strText)) {
                continue;
            }
            ContainerData data = ParseContainer(strText);
            if (data.fNeedsPrompt) {
                data.fNeedsPrompt = false;
                WriteFile(strDirectory, strPath, FormatContainer(data));
            }
        } catch (const CspError &) {
            // a damaged or vanished container keeps whatever it has
        }
    }
}

} // namespace

std::string StoreRoot()
{
    RootState &state = Roots();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.fExplicit) {
        state.strRoot = DefaultRoot();
    }
    return state.strRoot;
}

void SetStoreRoot(const char *pszDirectory)
{
    RootState &state = Roots();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.fExplicit = pszDirectory != nullptr && pszDirectory[0] != 0;
    state.strRoot = state.fExplicit ? pszDirectory : DefaultRoot();
}

const char *StoreRootCString()
{
    const std::string strRoot = StoreRoot();
    RootState &state = Roots();
    std::lock_guard<std::mutex> lock(state.mutex);
    for (const std::string &strSeen : state.handedOut) {
        if (strSeen == strRoot) {
            return strSeen.c_str();
        }
    }
    state.handedOut.push_back(strRoot);
    return state.handedOut.back().c_str();
}

std::string ContainerFileName(const std::u16string &strName)
{
    std::vector<uint8_t> bytes;
    for (char16_t ch : strName) {
        bytes.push_back(static_cast<uint8_t>(ch >> 8));
        bytes.push_back(static_cast<uint8_t>(ch & 0xff));
    }
    std::string strHex = ToHex(bytes.data(), bytes.size());
    if (strHex.size() > kMaxHexFileName) {
        uint8_t abDigest[32];
        unsigned int cbDigest = 0;
        EVP_Digest(bytes.data(), bytes.size(), abDigest, &cbDigest, EVP_sha256(), nullptr);
        strHex = "long-" + ToHex(abDigest, cbDigest);
    }
    return strHex + kContainerSuffix;
}

bool LoadContainer(const ContainerLocation &location, ContainerData *pData)
{
    DirectoryLock lock(DirectoryOf(location), false, false);
    if (!lock.Held()) {
        return false;
    }
    return LoadLocked(location, pData);
}

void CreateContainer(const ContainerLocation &location)
{
    const std::string strDirectory = DirectoryOf(location);
    DirectoryLock lock(strDirectory, true, true);
    std::string strExisting;
    if (ReadFile(PathOf(location), &strExisting)) {
        Fail(NTE_EXISTS);
    }
    ContainerData data;
    data.strName = location.strName;
    WriteFile(strDirectory, PathOf(location), FormatContainer(data));
}

void DeleteContainer(const ContainerLocation &location)
{
    DirectoryLock lock(DirectoryOf(location), true, false);
    if (!lock.Held() || !ExistsLocked(location)) {
        Fail(NTE_BAD_KEYSET);
    }
    if (unlink(PathOf(location).c_str()) != 0) {
        Fail(errno == ENOENT ? NTE_BAD_KEYSET : NTE_FAIL);
    }
}

void StoreKeyPair(const ContainerLocation &location, DWORD dwKeySpec, const KeyPair &pair)
{
    const std::string strDirectory = DirectoryOf(location);
    DirectoryLock lock(strDirectory, true, true);
    ContainerData data;
    if (!LoadLocked(location, &data)) {
        data = ContainerData();
        data.strName = location.strName;
    }
    (dwKeySpec == AT_KEYEXCHANGE ? data.exchange : data.signature) = pair;
    WriteFile(strDirectory, PathOf(location), FormatContainer(data));
}

void SetNeedsPrompt(const ContainerLocation &location, bool fNeedsPrompt)
{
    const std::string strDirectory = DirectoryOf(location);
    DirectoryLock lock(strDirectory, true, false);
    ContainerData data;
    if (!lock.Held() || !LoadLocked(location, &data)) {
        Fail(NTE_BAD_KEYSET);
    }
    data.fNeedsPrompt = fNeedsPrompt;
    WriteFile(strDirectory, PathOf(location), FormatContainer(data));
}

std::vector<std::u16string> ListContainers(const ContainerLocation &keySet)
{
    const std::string strDirectory = DirectoryOf(keySet);
    std::vector<std::u16string> names;
    DirectoryLock lock(strDirectory, false, false);
    for (const std::string &strFile : lock.Held() ? ContainerFilesIn(strDirectory) : std::vector<std::string>()) {
        std::string strText;
        try {
            if (ReadFile(strDirectory + "/" + strFile, &strText)) {
                names.push_back(ParseContainer(strText).strName);
            }
        } catch (const CspError &) {
            // a damaged container is not listed
        }
    }
    return names;
}

void ClearAllPromptMarks()
{
    const std::string strRoot = StoreRoot();
    size_t cProviders = 0;
    const ProviderInfo *pProviders = AllProviders(&cProviders);
    for (size_t i = 0; i < cProviders; ++i) {
        ClearMarksIn(DirectoryOf(strRoot, pProviders[i], false));
        ClearMarksIn(DirectoryOf(strRoot, pProviders[i], true));
    }
}

} // namespace csp
} // namespace qvn
