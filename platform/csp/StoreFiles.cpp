#include "StoreFiles.h"

#include "ContainerFile.h"
#include "CspError.h"

#include <wincrypt.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qvn
{
namespace csp
{
namespace
{

// Names whose hex form would be longer than this are named by a digest.
constexpr size_t kMaxHexFileName = 200;
const int kLockTries = 2000; // 10 ms apart: 20 s

// mkdir -p, each folder private to the user.
void MakeDirectories(const std::string &strPath)
{
    for (size_t i = 1; i <= strPath.size(); ++i) {
        if (i == strPath.size() || strPath[i] == '/') {
            if (mkdir(strPath.substr(0, i).c_str(), 0700) != 0 && errno != EEXIST) {
                Fail(NTE_FAIL);
            }
        }
    }
}

} // namespace

DirectoryLock::DirectoryLock(const std::string &strDirectory, bool fExclusive, bool fCreate)
{
    if (fCreate) {
        MakeDirectories(strDirectory);
    }
    m_fd = open((strDirectory + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        if (!fCreate && errno == ENOENT) {
            return;
        }
        Fail(NTE_FAIL);
    }
    // A bounded wait: a lock left held (a process stopped while holding it)
    // fails the call within seconds, with the lock file named.
    for (int nTry = 0; flock(m_fd, (fExclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0; ++nTry) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            close(m_fd);
            Fail(NTE_FAIL);
        }
        if (nTry == kLockTries) {
            std::fprintf(stderr, "store: %s/.lock still locked after %d s\n", strDirectory.c_str(), kLockTries / 100);
            close(m_fd);
            Fail(NTE_FAIL);
        }
        usleep(10000);
    }
}

DirectoryLock::~DirectoryLock()
{
    if (m_fd >= 0) {
        close(m_fd); // releases the lock
    }
}

bool ReadWholeFile(const std::string &strPath, std::string *pText)
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

void ReplaceFile(const std::string &strDirectory, const std::string &strPath, const std::string &strText)
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

std::string FileNameOf(const std::u16string &strName)
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
    return strHex;
}

} // namespace csp
} // namespace qvn
