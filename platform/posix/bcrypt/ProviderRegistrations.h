// What the stand-in's CNG router asks of the provider configuration.
#pragma once

#include <windows.h>

#include <string>

namespace qvn
{
namespace bcrypt
{

// The user-mode image registered for a provider, found by the provider's own
// name or, failing that, by an alias of a registration, as the CNG router
// resolves a name. False when no registration answers to the name.
bool FindUserModeImage(LPCWSTR pszName, std::u16string *pstrImage);

} // namespace bcrypt
} // namespace qvn
