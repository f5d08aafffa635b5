// The file layer of the stand-in's stores, the key containers and the CNG
// provider registrations alike: folders private to the user, an flock on a
// folder's lock file, whole-file reads, and files replaced by writing a
// temporary file and renaming it, so that threads and processes may share a
// store. A failing system call throws NTE_FAIL (CspError) with errno as the
// call left it.
#ifndef QVN_CSP_STOREFILES_H
#define QVN_CSP_STOREFILES_H

#include <string>

namespace qvn
{
namespace csp
{

// An flock on the folder's ".lock" file, shared or exclusive, held for the
// object's lifetime.
class DirectoryLock
{
public:
    // With fCreate the folder is made first; without, an absent folder gives
    // an object that holds no lock.
    DirectoryLock(const std::string &strDirectory, bool fExclusive, bool fCreate);
    ~DirectoryLock();
    DirectoryLock(const DirectoryLock &) = delete;
    DirectoryLock &operator=(const DirectoryLock &) = delete;

    bool Held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// Reads a whole file; false when it does not exist.
bool ReadWholeFile(const std::string &strPath, std::string *pText);

// Replaces strPath (in strDirectory) with strText at once.
void ReplaceFile(const std::string &strDirectory, const std::string &strPath, const std::string &strText);

// A file name for a UTF-16 name: the hex of its code units, or "long-" and
// the hex of their SHA-256 digest when that would be too long for a file name.
std::string FileNameOf(const std::u16string &strName);

} // namespace csp
} // namespace qvn

#endif
