// The CNG provider configuration of the stand-in: the registrations kept on
// disk in the directory "cng-providers" inside the key store directory
// (QvnPlatformGetStoreDirectory), so that a test that points the key store at
// a directory of its own gets a provider configuration of its own as well.
//
// The directory holds "providers", the text of every registration (see
// ProviderRegistration.h), replaced as a whole by renaming a new copy over
// it, and "lock", a file that every operation locks (flock) for its whole
// read or read-modify-write: threads and processes that share the directory
// see each change entirely or not at all, and lose none.
//
// Every function answers an NTSTATUS and throws nothing.
#ifndef QVN_POSIX_BCRYPT_REGISTRATIONSTORE_H
#define QVN_POSIX_BCRYPT_REGISTRATIONSTORE_H

#include "ProviderRegistration.h"

#include <ntstatus.h>

namespace qvn
{
namespace bcrypt
{

// The registry answers this when its data cannot be read as registry data;
// the stand-in answers it when the file of registrations cannot be parsed.
constexpr NTSTATUS kStatusRegistryCorrupt = static_cast<NTSTATUS>(0xC000014C);

// The directory of the registrations of the current key store; empty when
// there is no key store directory.
std::string RegistrationDirectory();

// Adds a registration, or with fOverwrite replaces one of the same name.
// STATUS_OBJECT_NAME_COLLISION when the name is taken and fOverwrite is false.
NTSTATUS StoreRegistration(const ProviderRegistration &registration, bool fOverwrite);

// Removes the registration of that name; STATUS_NOT_FOUND when there is none.
NTSTATUS RemoveRegistration(const std::u16string &strName);

// Reads the registration of that name (with fAliasesToo, else the one that has
// it as an alias, as the CNG router resolves a name); STATUS_NOT_FOUND when
// there is none.
NTSTATUS FindRegistration(const std::u16string &strName, ProviderRegistration *pRegistration, bool fAliasesToo = false);

} // namespace bcrypt
} // namespace qvn

#endif
