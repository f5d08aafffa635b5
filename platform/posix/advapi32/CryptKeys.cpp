// Key pairs: CryptGenKey, CryptGetUserKey, CryptGetKeyParam, CryptExportKey,
// CryptImportKey and CryptDestroyKey.
#include "CryptCommon.h"

#include <ContainerStore.h>
#include <KeyBlob.h>

#include <wincrypt.h>

using namespace qvn;
using namespace qvn::advapi32;

namespace
{

constexpr DWORD kDefaultKeyBits = 1024;
constexpr DWORD kGenKeyFlags = CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED;
constexpr DWORD kImportKeyFlags = CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED;
// Permissions that KP_PERMISSIONS reports (wincrypt.h values).
constexpr DWORD kPermEncrypt = 0x0001, kPermDecrypt = 0x0002, kPermExport = 0x0004, kPermRead = 0x0008,
                kPermWrite = 0x0010, kPermMac = 0x0020;
constexpr DWORD kKeyParamPermissions = 6; // KP_PERMISSIONS

DWORD KeySpecOf(ALG_ID algid)
{
    return algid == CALG_RSA_SIGN ? AT_SIGNATURE : AT_KEYEXCHANGE;
}

HCRYPTKEY NewKeyHandle(HCRYPTPROV hOwner, const csp::ProviderInfo *pProvider, ALG_ID algid, const csp::KeyPair &pair)
{
    auto key = std::make_shared<csp::KeyObject>();
    key->hOwner = hOwner;
    key->pProvider = pProvider;
    key->algid = algid;
    key->fExportable = pair.fExportable;
    key->key = pair.key;
    return csp::Table<csp::KeyObject>().Add(std::move(key));
}

// Installs a key pair as the context's pair of that spec and, for a context
// on a container, stores it there.
void InstallPair(csp::ContextObject &context, DWORD dwKeySpec, const csp::KeyPair &pair)
{
    std::lock_guard<std::mutex> lock(context.mutex);
    if (!context.fVerifyContext) {
        csp::StoreKeyPair(context.location, dwKeySpec, pair);
    }
    (dwKeySpec == AT_KEYEXCHANGE ? context.exchange : context.signature) = pair;
}

} // namespace

extern "C" BOOL WINAPI CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY *phKey)
{
    ApiFrame frame("CryptGenKey", hProv);
    return frame.Run([&] {
        std::shared_ptr<csp::ContextObject> context = ContextOrFail(hProv);
        if (phKey == nullptr) {
            FailInvalidParameter();
        }
        DWORD dwKeySpec = 0;
        ALG_ID algid = 0;
        switch (Algid) {
        case AT_KEYEXCHANGE:
        case CALG_RSA_KEYX:
            dwKeySpec = AT_KEYEXCHANGE;
            algid = CALG_RSA_KEYX;
            break;
        case AT_SIGNATURE:
        case CALG_RSA_SIGN:
            dwKeySpec = AT_SIGNATURE;
            algid = CALG_RSA_SIGN;
            break;
        default:
            csp::Fail(NTE_BAD_ALGID);
        }
        if ((dwFlags & 0xffff & ~kGenKeyFlags) != 0) {
            csp::Fail(NTE_BAD_FLAGS);
        }
        DWORD dwBits = dwFlags >> 16;
        if (dwBits == 0) {
            dwBits = kDefaultKeyBits;
        }
        if (dwBits < csp::RsaKey::kMinGenerateBits || dwBits > csp::RsaKey::kMaxBits) {
            csp::Fail(NTE_BAD_FLAGS);
        }
        if ((dwFlags & CRYPT_USER_PROTECTED) != 0 && context->fSilent) {
            csp::Fail(NTE_SILENT_CONTEXT); // protecting a key needs a dialog
        }
        csp::KeyPair pair;
        pair.key = csp::RsaKey::Generate(dwBits);
        pair.fExportable = (dwFlags & CRYPT_EXPORTABLE) != 0;
        InstallPair(*context, dwKeySpec, pair);
        *phKey = NewKeyHandle(hProv, context->pProvider, algid, pair);
    });
}

extern "C" BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY *phUserKey)
{
    ApiFrame frame("CryptGetUserKey", hProv);
    return frame.Run([&] {
        std::shared_ptr<csp::ContextObject> context = ContextOrFail(hProv);
        if (phUserKey == nullptr) {
            FailInvalidParameter();
        }
        if (dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE) {
            csp::Fail(NTE_BAD_KEY);
        }
        std::optional<csp::KeyPair> pair;
        {
            std::lock_guard<std::mutex> lock(context->mutex);
            pair = dwKeySpec == AT_KEYEXCHANGE ? context->exchange : context->signature;
        }
        if (!pair) {
            csp::Fail(NTE_NO_KEY);
        }
        *phUserKey =
            NewKeyHandle(hProv, context->pProvider, dwKeySpec == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN, *pair);
    });
}

extern "C" BOOL WINAPI CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen, DWORD dwFlags)
{
    ApiFrame frame("CryptGetKeyParam", hKey);
    return frame.Run([&] {
        std::shared_ptr<csp::KeyObject> key = KeyOrFail(hKey);
        if (dwFlags != 0) {
            csp::Fail(NTE_BAD_FLAGS);
        }
        if (pdwDataLen == nullptr) {
            FailInvalidParameter();
        }
        DWORD dwValue = 0;
        switch (dwParam) {
        case KP_ALGID:
            dwValue = key->algid;
            break;
        case KP_KEYLEN:
            dwValue = key->key->Bits();
            break;
        case KP_BLOCKLEN:
            dwValue = key->key->Bytes() * 8; // an RSA block is the whole modulus
            break;
        case kKeyParamPermissions:
            dwValue =
                kPermEncrypt | kPermDecrypt | kPermRead | kPermWrite | kPermMac | (key->fExportable ? kPermExport : 0);
            break;
        default:
            csp::Fail(NTE_BAD_TYPE);
        }
        CopyOut(&dwValue, sizeof(dwValue), pbData, pdwDataLen);
    });
}

extern "C" BOOL WINAPI CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags, BYTE *pbData,
                                      DWORD *pdwDataLen)
{
    ApiFrame frame("CryptExportKey", hKey);
    return frame.Run([&] {
        std::shared_ptr<csp::KeyObject> key = KeyOrFail(hKey);
        if (hExpKey != 0 && !csp::Table<csp::KeyObject>().Find(hExpKey)) {
            FailInvalidHandle();
        }
        if (pdwDataLen == nullptr) {
            FailInvalidParameter();
        }
        if (dwFlags != 0) {
            csp::Fail(NTE_BAD_FLAGS);
        }
        std::vector<uint8_t> blob;
        switch (dwBlobType) {
        case PUBLICKEYBLOB:
            if (hExpKey != 0) {
                csp::Fail(NTE_BAD_KEY); // public blobs are never encrypted
            }
            if (pbData == nullptr) {
                *pdwDataLen = csp::PublicKeyBlobSize(key->key->Bits());
                return;
            }
            blob = csp::BuildPublicKeyBlob(*key->key, key->algid);
            break;
        case PRIVATEKEYBLOB:
            if (hExpKey != 0) {
                csp::Fail(NTE_BAD_KEY); // no session keys to wrap the blob with
            }
            if (!key->key->HasPrivate() || !key->fExportable) {
                csp::Fail(NTE_BAD_KEY_STATE);
            }
            if (pbData == nullptr) {
                *pdwDataLen = csp::PrivateKeyBlobSize(key->key->Bits());
                return;
            }
            blob = csp::BuildPrivateKeyBlob(*key->key, key->algid);
            break;
        default:
            csp::Fail(NTE_BAD_TYPE);
        }
        struct Wipe {
            std::vector<uint8_t> &bytes;
            ~Wipe() { std::fill(bytes.begin(), bytes.end(), 0); }
        } wipe{blob};
        CopyOut(blob.data(), static_cast<DWORD>(blob.size()), pbData, pdwDataLen);
    });
}

extern "C" BOOL WINAPI CryptImportKey(HCRYPTPROV hProv, const BYTE *pbData, DWORD dwDataLen, HCRYPTKEY hPubKey,
                                      DWORD dwFlags, HCRYPTKEY *phKey)
{
    ApiFrame frame("CryptImportKey", hProv);
    return frame.Run([&] {
        std::shared_ptr<csp::ContextObject> context = ContextOrFail(hProv);
        if (hPubKey != 0 && !csp::Table<csp::KeyObject>().Find(hPubKey)) {
            FailInvalidHandle();
        }
        if (pbData == nullptr || dwDataLen == 0 || phKey == nullptr) {
            FailInvalidParameter();
        }
        if ((dwFlags & ~kImportKeyFlags) != 0) {
            csp::Fail(NTE_BAD_FLAGS);
        }
        csp::ParsedKeyBlob parsed = csp::ParseKeyBlob(pbData, dwDataLen);
        csp::KeyPair pair;
        pair.key = parsed.key;
        pair.fExportable = (dwFlags & CRYPT_EXPORTABLE) != 0;
        if (parsed.bType == PRIVATEKEYBLOB) {
            const DWORD dwKeySpec = KeySpecOf(parsed.aiKeyAlg);
            if ((dwFlags & CRYPT_USER_PROTECTED) != 0 && context->fSilent) {
                csp::Fail(NTE_SILENT_CONTEXT);
            }
            InstallPair(*context, dwKeySpec, pair);
        }
        *phKey = NewKeyHandle(hProv, context->pProvider, parsed.aiKeyAlg, pair);
    });
}

extern "C" BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey)
{
    ApiFrame frame("CryptDestroyKey", hKey);
    return frame.Run([&] {
        if (!csp::Table<csp::KeyObject>().Remove(hKey)) {
            FailInvalidHandle();
        }
    });
}
