#include "ContainerStore.h"

#include "CspError.h"
#include "StoreFiles.h"

#include <wincrypt.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <mutex>

#include <dirent.h>
#include <pwd.h>
#include <unistd.h>

namespace qvn
{
namespace csp
{
namespace
{

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

std::string PathOf(const ContainerLocation &location)
{
    return DirectoryOf(location) + "/" + FileNameOf(location.strName) + kContainerSuffix;
}

// Loads under a lock the caller holds. A file of another name (a digest
// collision of long names) counts as absent.
bool LoadLocked(const ContainerLocation &location, ContainerData *pData)
{
    std::string strText;
    if (!ReadWholeFile(PathOf(location), &strText)) {
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
            if (!ReadWholeFile(strPath, &strText)) {
                continue;
            }
            ContainerData data = ParseContainer(strText);
            if (data.fNeedsPrompt) {
                data.fNeedsPrompt = false;
                ReplaceFile(strDirectory, strPath, FormatContainer(data));
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
    if (ReadWholeFile(PathOf(location), &strExisting)) {
        Fail(NTE_EXISTS);
    }
    ContainerData data;
    data.strName = location.strName;
    ReplaceFile(strDirectory, PathOf(location), FormatContainer(data));
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
    ReplaceFile(strDirectory, PathOf(location), FormatContainer(data));
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
    ReplaceFile(strDirectory, PathOf(location), FormatContainer(data));
}

std::vector<std::u16string> ListContainers(const ContainerLocation &keySet)
{
    const std::string strDirectory = DirectoryOf(keySet);
    std::vector<std::u16string> names;
    DirectoryLock lock(strDirectory, false, false);
    for (const std::string &strFile : lock.Held() ? ContainerFilesIn(strDirectory) : std::vector<std::string>()) {
        std::string strText;
        try {
            if (ReadWholeFile(strDirectory + "/" + strFile, &strText)) {
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
