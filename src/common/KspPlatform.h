// The Win32 headers that the module is written against, included in the one
// order that works with both the Windows SDK / mingw-w64 and the Linux stand-in.
#ifndef KSP_PLATFORM_H
#define KSP_PLATFORM_H

#ifndef UNICODE
#define UNICODE
#endif

#define WIN32_NO_STATUS
#include <windows.h>
#undef WIN32_NO_STATUS
#include <ntstatus.h>
#include <wincrypt.h>
#include <bcrypt.h>
#include <ncrypt.h>

#include "ncrypt_provider.h"
#include "bcrypt_provider.h"

#endif
