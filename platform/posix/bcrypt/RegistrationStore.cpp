#include "RegistrationStore.h"

#include <qvnplatform.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <new>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qvn
{
namespace bcrypt
{
namespace
{

const char kDirectoryName[] = "cng-providers";
const char kDataFileName[] = "providers";
const char kNewDataFileName[] = "providers.new";
const char kLockFileName[] = "lock";

NTSTATUS StatusFromErrno(int nError)
{
    switch (nError) {
    case EACCES:
    case EPERM:
    case EROFS:
        return STATUS_ACCESS_DENIED;
    case ENOMEM:
        return STATUS_NO_MEMORY;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

// mkdir -p, private to the user: the store root also holds key containers.
NTSTATUS CreateDirectories(const std::string &strPath)
{
    for (size_t nSlash = strPath.find('/', 1);; nSlash = strPath.find('/', nSlash + 1)) {
        const std::string strPrefix = strPath.substr(0, nSlash);
        if (!strPrefix.empty() && mkdir(strPrefix.c_str(), 0700) != 0 && errno != EEXIST) {
            return StatusFromErrno(errno);
        }
        if (nSlash == std::string::npos) {
            return STATUS_SUCCESS;
        }
    }
}

bool DirectoryExists(const std::string &strPath)
{
    struct stat st;
    return stat(strPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Holds the lock file of a registration directory locked, shared or
// exclusive, for its lifetime.
class StoreLock
{
public:
    StoreLock(const std::string &strDirectory, bool fExclusive)
    {
        const std::string strPath = strDirectory + "/" + kLockFileName;
        do {
            m_fd = open(strPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        } while (m_fd < 0 && errno == EINTR);
        if (m_fd < 0) {
            m_status = StatusFromErrno(errno);
            return;
        }
        int nResult = 0;
        do {
            nResult = flock(m_fd, fExclusive ? LOCK_EX : LOCK_SH);
        } while (nResult != 0 && errno == EINTR);
        if (nResult != 0) {
            m_status = StatusFromErrno(errno);
        }
    }
    ~StoreLock()
    {
        if (m_fd >= 0) {
            close(m_fd); // releases the lock
        }
    }
    StoreLock(const StoreLock &) = delete;
    StoreLock &operator=(const StoreLock &) = delete;

    NTSTATUS Status() const { return m_status; }

private:
    int m_fd = -1;
    NTSTATUS m_status = STATUS_SUCCESS;
};

NTSTATUS ReadRegistrations(const std::string &strDirectory, std::vector<ProviderRegistration> *pRegistrations)
{
    const std::string strPath = strDirectory + "/" + kDataFileName;
    int fd = -1;
    do {
        fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == ENOENT) {
            pRegistrations->clear();
            return STATUS_SUCCESS;
        }
        return StatusFromErrno(errno);
    }
    std::string strText;
    char buffer[4096];
    for (;;) {
        const ssize_t cbRead = read(fd, buffer, sizeof(buffer));
        if (cbRead < 0 && errno == EINTR) {
            continue;
        }
        if (cbRead < 0) {
            const int nError = errno;
            close(fd);
            return StatusFromErrno(nError);
        }
        if (cbRead == 0) {
            break;
        }
        strText.append(buffer, static_cast<size_t>(cbRead));
    }
    close(fd);
    return ParseRegistrations(strText, pRegistrations) ? STATUS_SUCCESS : kStatusRegistryCorrupt;
}

// Writes the new text beside the old and renames it over the old, so that a
// reader never sees a half-written file.
NTSTATUS WriteRegistrations(const std::string &strDirectory, const std::vector<ProviderRegistration> &registrations)
{
    const std::string strText = FormatRegistrations(registrations);
    const std::string strNewPath = strDirectory + "/" + kNewDataFileName;
    int fd = -1;
    do {
        fd = open(strNewPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return StatusFromErrno(errno);
    }
    size_t cbWritten = 0;
    while (cbWritten < strText.size()) {
        const ssize_t cb = write(fd, strText.data() + cbWritten, strText.size() - cbWritten);
        if (cb < 0 && errno == EINTR) {
            continue;
        }
        if (cb < 0) {
            const int nError = errno;
            close(fd);
            unlink(strNewPath.c_str());
            return StatusFromErrno(nError);
        }
        cbWritten += static_cast<size_t>(cb);
    }
    if (close(fd) != 0 || rename(strNewPath.c_str(), (strDirectory + "/" + kDataFileName).c_str()) != 0) {
        const int nError = errno;
        unlink(strNewPath.c_str());
        return StatusFromErrno(nError);
    }
    return STATUS_SUCCESS;
}

std::vector<ProviderRegistration>::iterator FindByName(std::vector<ProviderRegistration> &registrations,
                                                       const std::u16string &strName)
{
    for (auto it = registrations.begin(); it != registrations.end(); ++it) {
        if (SameProviderName(it->strName, strName)) {
            return it;
        }
    }
    return registrations.end();
}

template <typename Operation> NTSTATUS Guarded(Operation operation)
{
    try {
        return operation();
    } catch (const std::bad_alloc &) {
        return STATUS_NO_MEMORY;
    } catch (...) {
        return STATUS_UNSUCCESSFUL;
    }
}

} // namespace

std::string RegistrationDirectory()
{
    const char *pszStore = QvnPlatformGetStoreDirectory();
    if (pszStore == nullptr || pszStore[0] == 0) {
        return std::string();
    }
    std::string strStore = pszStore;
    while (strStore.size() > 1 && strStore.back() == '/') {
        strStore.pop_back();
    }
    return strStore + "/" + kDirectoryName;
}

NTSTATUS StoreRegistration(const ProviderRegistration &registration, bool fOverwrite)
{
    return Guarded([&]() -> NTSTATUS {
        const std::string strDirectory = RegistrationDirectory();
        if (strDirectory.empty()) {
            return STATUS_UNSUCCESSFUL;
        }
        NTSTATUS status = CreateDirectories(strDirectory);
        if (status != STATUS_SUCCESS) {
            return status;
        }
        StoreLock lock(strDirectory, true);
        if (lock.Status() != STATUS_SUCCESS) {
            return lock.Status();
        }
        std::vector<ProviderRegistration> registrations;
        status = ReadRegistrations(strDirectory, &registrations);
        if (status != STATUS_SUCCESS) {
            return status;
        }
        auto it = FindByName(registrations, registration.strName);
        if (it == registrations.end()) {
            registrations.push_back(registration);
        } else if (fOverwrite) {
            *it = registration;
        } else {
            return STATUS_OBJECT_NAME_COLLISION;
        }
        return WriteRegistrations(strDirectory, registrations);
    });
}

NTSTATUS RemoveRegistration(const std::u16string &strName)
{
    return Guarded([&]() -> NTSTATUS {
        const std::string strDirectory = RegistrationDirectory();
        if (strDirectory.empty()) {
            return STATUS_UNSUCCESSFUL;
        }
        if (!DirectoryExists(strDirectory)) {
            return STATUS_NOT_FOUND;
        }
        StoreLock lock(strDirectory, true);
        if (lock.Status() != STATUS_SUCCESS) {
            return lock.Status();
        }
        std::vector<ProviderRegistration> registrations;
        NTSTATUS status = ReadRegistrations(strDirectory, &registrations);
        if (status != STATUS_SUCCESS) {
            return status;
        }
        auto it = FindByName(registrations, strName);
        if (it == registrations.end()) {
            return STATUS_NOT_FOUND;
        }
        registrations.erase(it);
        return WriteRegistrations(strDirectory, registrations);
    });
}

NTSTATUS FindRegistration(const std::u16string &strName, ProviderRegistration *pRegistration, bool fAliasesToo)
{
    return Guarded([&]() -> NTSTATUS {
        const std::string strDirectory = RegistrationDirectory();
        if (strDirectory.empty()) {
            return STATUS_UNSUCCESSFUL;
        }
        if (!DirectoryExists(strDirectory)) {
            return STATUS_NOT_FOUND;
        }
        std::vector<ProviderRegistration> registrations;
        {
            StoreLock lock(strDirectory, false);
            if (lock.Status() != STATUS_SUCCESS) {
                return lock.Status();
            }
            const NTSTATUS status = ReadRegistrations(strDirectory, &registrations);
            if (status != STATUS_SUCCESS) {
                return status;
            }
        }
        auto it = FindByName(registrations, strName);
        if (it == registrations.end() && fAliasesToo) {
            it = std::find_if(registrations.begin(), registrations.end(), [&](const ProviderRegistration &reg) {
                return std::any_of(reg.aliases.begin(), reg.aliases.end(),
                                   [&](const std::u16string &strAlias) { return SameProviderName(strAlias, strName); });
            });
        }
        if (it == registrations.end()) {
            return STATUS_NOT_FOUND;
        }
        *pRegistration = std::move(*it);
        return STATUS_SUCCESS;
    });
}

} // namespace bcrypt
} // namespace qvn
