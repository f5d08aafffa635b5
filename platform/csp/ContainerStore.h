// The persistent key-container store of the CSPs: under the store root, one
// directory per CSP and key set (<root>/<csp>/user, <root>/<csp>/machine), one
// file per container. Every read holds a shared flock and every
// read-modify-write an exclusive flock on the directory's ".lock" file, and
// files are replaced by writing a temporary file and renaming it, so that
// threads and processes may use the store at once.
#ifndef QVN_CSP_CONTAINERSTORE_H
#define QVN_CSP_CONTAINERSTORE_H

#include "ContainerFile.h"
#include "Providers.h"

#include <string>
#include <vector>

namespace qvn
{
namespace csp
{

// Where one container lives.
struct ContainerLocation {
    std::string strRoot;
    const ProviderInfo *pProvider = nullptr;
    bool fMachine = false;
    std::u16string strName;
};

// The store root: set explicitly, else $QVNPLATFORM_STORE, else
// ~/.local/share/qvnplatform/store. A null or empty value returns to that
// default.
std::string StoreRoot();
void SetStoreRoot(const char *pszDirectory);
// The root as a C string that stays valid for the life of the process.
const char *StoreRootCString();

// Loads the container; false when it does not exist. Throws
// NTE_KEYSET_ENTRY_BAD for a damaged file and NTE_FAIL for I/O errors.
bool LoadContainer(const ContainerLocation &location, ContainerData *pData);
// Creates an empty container; NTE_EXISTS when it is already there.
void CreateContainer(const ContainerLocation &location);
// Deletes the container; NTE_BAD_KEYSET when it does not exist.
void DeleteContainer(const ContainerLocation &location);
// Stores a key pair of one spec (AT_KEYEXCHANGE or AT_SIGNATURE), replacing
// the one there; a container deleted meanwhile is created again, as the
// context that writes still holds it.
void StoreKeyPair(const ContainerLocation &location, DWORD dwKeySpec, const KeyPair &pair);
// Sets or clears the prompt mark; NTE_BAD_KEYSET when the container does not
// exist.
void SetNeedsPrompt(const ContainerLocation &location, bool fNeedsPrompt);
// The names of the containers of one CSP's key set, in file-name order
// (damaged files are left out).
std::vector<std::u16string> ListContainers(const ContainerLocation &keySet);
// Clears the prompt mark of every container under the current root.
void ClearAllPromptMarks();

} // namespace csp
} // namespace qvn

#endif
