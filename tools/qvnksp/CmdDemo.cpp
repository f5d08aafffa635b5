// demo: the project's main job, end to end on a fresh key store.
#include "Commands.h"

#include "Capi.h"
#include "Judge.h"
#include "PublicKey.h"

namespace qvnksp
{
namespace
{

const char kDemoUsage[] = "usage: qvnksp demo [--module PATH] [--json]\n"
                          "\n"
                          "An application's day with the key storage provider, on a fresh key store:\n"
                          "  1. CryptoAPI creates a 2048-bit exchange key K in a new container of\n"
                          "     \"Quorvane Alder Cryptographic Provider\" and exports its public key;\n"
                          "  2. the tool loads the module as the CNG router does and, through its table,\n"
                          "     opens that provider and K, signs a SHA-256 hash (PKCS #1 v1.5), verifies\n"
                          "     the signature, and has an independent library check it with K's public key;\n"
                          "  3. it encrypts and decrypts a message with K, and decrypts what the\n"
                          "     independent library encrypted to K's public key;\n"
                          "  4. it reads the properties of \"Quorvane TPM Key Storage Provider\";\n"
                          "  5. it frees every handle, deletes the container and the store.\n"
#ifdef _WIN32
                          "On Windows the real CSPs keep the key: the container has a unique name and is\n"
                          "deleted at the end.\n"
#else
                          "On Linux the key store is a new temporary directory, removed at the end; the\n"
                          "default store ($QVNPLATFORM_STORE) is not touched.\n"
#endif
                          "Exits 0 when every step gave what it should.\n";

const char kCsp[] = "Quorvane Alder Cryptographic Provider";
const char kMessage[] = "QvnTpmKsp demo: an RSA key of a CryptoAPI container, used through CNG.";
const char kSecret[] = "The secret that the judge encrypted to K's public key.";
constexpr DWORD kKeyBits = 2048;

std::string AsText(const Bytes &data)
{
    return "\"" + std::string(data.begin(), data.end()) + "\"";
}

// CryptoAPI: a new container with a 2048-bit exchange key, and its public key.
bool CreateKey(Report &report, const DemoStore &store, RsaPublicKey &publicKey, bool &fContainerCreated)
{
    report.Section("Creating the key K through CryptoAPI");
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey = 0;
    fContainerCreated = AcquireContainerStep(report, kCsp, store.strContainerName, CRYPT_NEWKEYSET, hProv);
    bool fOk = fContainerCreated && GenKeyStep(report, hProv, AT_KEYEXCHANGE, kKeyBits, hKey);
    Bytes blob;
    if (fOk && (fOk = ExportPublicBlobStep(report, hKey, blob))) {
        std::string strError;
        fOk = ParsePublicKeyBlob(blob, publicKey, strError);
        if (fOk) {
            report.Result("key_bits", "public key",
                          std::to_string(publicKey.cBits) + "-bit RSA, exponent " +
                              std::to_string(ExponentValue(publicKey)),
                          JsonNumber(publicKey.cBits));
            report.ResultJsonOnly("exponent", JsonNumber(ExponentValue(publicKey)));
            report.Result("modulus", "modulus", HexPreview(publicKey.modulus),
                          JsonString(HexString(publicKey.modulus)));
        } else {
            report.Error(strError);
        }
    }
    DestroyKeyStep(report, hKey);
    ReleaseContextStep(report, hProv);
    return fOk;
}

bool SignAndVerify(Report &report, const TableSession &session, const RsaPublicKey &publicKey)
{
    const Bytes message(kMessage, kMessage + sizeof(kMessage) - 1);
    Bytes digest;
    std::string strError;
    if (!judge::Digest("SHA256", message, digest, strError)) {
        report.Error(strError);
        return false;
    }
    report.Result("message", "message", AsText(message), JsonString(kMessage));
    report.Result("digest", "SHA-256", HexString(digest), JsonString(HexString(digest)));

    const WString strAlg = Widen("SHA256");
    BCRYPT_PKCS1_PADDING_INFO padding = {strAlg.c_str()};
    DWORD cbSignature = 0;
    SECURITY_STATUS status =
        session.pTable->SignHash(session.hProvider, session.hKey, &padding, digest.data(),
                                 static_cast<DWORD>(digest.size()), nullptr, 0, &cbSignature, NCRYPT_PAD_PKCS1_FLAG);
    if (!report.Step("SignHash(size query)", static_cast<uint32_t>(status), StatusKind::SecurityStatus)) {
        return false;
    }
    report.Result("signature_size", "signature size", std::to_string(cbSignature) + " bytes", JsonNumber(cbSignature));
    Bytes signature(cbSignature, 0);
    DWORD cbResult = 0;
    status = session.pTable->SignHash(session.hProvider, session.hKey, &padding, digest.data(),
                                      static_cast<DWORD>(digest.size()), signature.data(), cbSignature, &cbResult,
                                      NCRYPT_PAD_PKCS1_FLAG);
    if (!report.Step("SignHash(SHA256, NCRYPT_PAD_PKCS1_FLAG)", static_cast<uint32_t>(status),
                     StatusKind::SecurityStatus)) {
        return false;
    }
    signature.resize(cbResult);
    if (signature.empty()) {
        report.Error("SignHash returned an empty signature");
        return false;
    }
    report.Result("signature_length", "signature",
                  std::to_string(signature.size()) + " bytes: " + HexPreview(signature), JsonNumber(signature.size()));
    report.ResultJsonOnly("signature", JsonString(HexString(signature)));
    report.Check("signature length is the key length", signature.size() == kKeyBits / 8,
                 std::to_string(signature.size()) + " bytes", std::to_string(signature.size()) + " bytes");

    status = session.pTable->VerifySignature(session.hProvider, session.hKey, &padding, digest.data(),
                                             static_cast<DWORD>(digest.size()), signature.data(),
                                             static_cast<DWORD>(signature.size()), NCRYPT_PAD_PKCS1_FLAG);
    bool fOk = report.Step("VerifySignature(SHA256, NCRYPT_PAD_PKCS1_FLAG)", static_cast<uint32_t>(status),
                           StatusKind::SecurityStatus);

    Bytes tampered = signature;
    tampered[tampered.size() / 2] ^= 0x01;
    status = session.pTable->VerifySignature(session.hProvider, session.hKey, &padding, digest.data(),
                                             static_cast<DWORD>(digest.size()), tampered.data(),
                                             static_cast<DWORD>(tampered.size()), NCRYPT_PAD_PKCS1_FLAG);
    fOk = report.Step("VerifySignature(one bit of the signature flipped)", static_cast<uint32_t>(status),
                      StatusKind::SecurityStatus, static_cast<uint32_t>(NTE_BAD_SIGNATURE)) &&
          fOk;

    std::string strDetail;
    const judge::Verdict verdict = judge::VerifyPkcs1(publicKey, "SHA256", digest, signature, strDetail);
    fOk = report.Check(std::string(judge::ShortName()) + " verifies the signature with K's public key",
                       verdict == judge::Verdict::Valid, "valid",
                       verdict == judge::Verdict::Invalid ? "NOT valid (" + strDetail + ")" : strDetail) &&
          fOk;
    return fOk;
}

// Decrypt through the table; the plaintext must equal `expected`.
bool DecryptAndCompare(Report &report, const TableSession &session, const std::string &strWhat, const Bytes &ciphertext,
                       const Bytes &expected, const std::string &strExpected)
{
    DWORD cbPlain = 0;
    SECURITY_STATUS status = session.pTable->Decrypt(
        session.hProvider, session.hKey, const_cast<PBYTE>(ciphertext.data()), static_cast<DWORD>(ciphertext.size()),
        nullptr, nullptr, 0, &cbPlain, NCRYPT_PAD_PKCS1_FLAG);
    if (!report.Step("Decrypt(size query)", static_cast<uint32_t>(status), StatusKind::SecurityStatus)) {
        return false;
    }
    Bytes plaintext(cbPlain, 0);
    DWORD cbResult = 0;
    status = session.pTable->Decrypt(session.hProvider, session.hKey, const_cast<PBYTE>(ciphertext.data()),
                                     static_cast<DWORD>(ciphertext.size()), nullptr, plaintext.data(), cbPlain,
                                     &cbResult, NCRYPT_PAD_PKCS1_FLAG);
    if (!report.Step("Decrypt(" + strWhat + ", NCRYPT_PAD_PKCS1_FLAG)", static_cast<uint32_t>(status),
                     StatusKind::SecurityStatus)) {
        return false;
    }
    plaintext.resize(cbResult);
    report.Result("", "plaintext", AsText(plaintext), "");
    return report.Check("Decrypted text equals " + strExpected, plaintext == expected, "equal",
                        "differs: " + AsText(plaintext));
}

bool EncryptAndDecrypt(Report &report, const TableSession &session, const RsaPublicKey &publicKey)
{
    const Bytes message(kMessage, kMessage + sizeof(kMessage) - 1);
    report.Result("", "message", AsText(message), "");
    DWORD cbCipher = 0;
    SECURITY_STATUS status = session.pTable->Encrypt(session.hProvider, session.hKey, const_cast<PBYTE>(message.data()),
                                                     static_cast<DWORD>(message.size()), nullptr, nullptr, 0, &cbCipher,
                                                     NCRYPT_PAD_PKCS1_FLAG);
    if (!report.Step("Encrypt(size query)", static_cast<uint32_t>(status), StatusKind::SecurityStatus)) {
        return false;
    }
    Bytes ciphertext(cbCipher, 0);
    DWORD cbResult = 0;
    status = session.pTable->Encrypt(session.hProvider, session.hKey, const_cast<PBYTE>(message.data()),
                                     static_cast<DWORD>(message.size()), nullptr, ciphertext.data(), cbCipher,
                                     &cbResult, NCRYPT_PAD_PKCS1_FLAG);
    if (!report.Step("Encrypt(" + std::to_string(message.size()) + " bytes, NCRYPT_PAD_PKCS1_FLAG)",
                     static_cast<uint32_t>(status), StatusKind::SecurityStatus)) {
        return false;
    }
    ciphertext.resize(cbResult);
    report.Result("ciphertext_length", "ciphertext",
                  std::to_string(ciphertext.size()) + " bytes: " + HexPreview(ciphertext),
                  JsonNumber(ciphertext.size()));
    bool fOk = DecryptAndCompare(report, session, std::to_string(ciphertext.size()) + " bytes", ciphertext, message,
                                 "the message");

    const Bytes secret(kSecret, kSecret + sizeof(kSecret) - 1);
    Bytes judgeCiphertext;
    std::string strError;
    const bool fEncrypted = judge::EncryptPkcs1(publicKey, secret, judgeCiphertext, strError);
    report.Check(std::string(judge::ShortName()) + " encrypts a secret to K's public key", fEncrypted,
                 std::to_string(judgeCiphertext.size()) + " bytes", strError);
    if (fEncrypted) {
        fOk = DecryptAndCompare(report, session, std::string(judge::ShortName()) + "'s ciphertext", judgeCiphertext,
                                secret, "the secret") &&
              fOk;
    }
    return fOk && fEncrypted;
}

} // namespace

int RunDemo(const Context &ctx, const CommandArgs &rgstrArgs)
{
    return WithUsage(ctx, "demo", kDemoUsage, [&] {
        const Args args(rgstrArgs, {});
        if (args.Help()) {
            throw HelpRequested{};
        }
        Report report("demo", ctx.fJson);
        report.Line("qvnksp demo: a CryptoAPI key signs, verifies, encrypts and decrypts through the key storage "
                    "provider");
#ifdef _WIN32
        report.Section("Embedded default: a new container of the installed CSP, deleted at the end");
#else
        report.Section("Embedded default: a fresh key store");
#endif
        DemoStore store;
        std::string strError;
        if (!CreateDemoStore(store, strError)) {
            report.Error(strError);
            return report.Finish();
        }
        if (!store.strDirectory.empty()) {
            report.Result("store", "key store", store.strDirectory + " (fresh, removed at the end)",
                          JsonString(store.strDirectory));
        }
        report.Result("container", "container K",
                      "\"" + store.strContainerName + "\" of \"" + kCsp + "\", " + std::to_string(kKeyBits) +
                          "-bit AT_KEYEXCHANGE",
                      JsonString(store.strContainerName));
        report.Result("judge", "judge", judge::Name(), JsonString(judge::Name()));

        RsaPublicKey publicKey;
        bool fContainerCreated = false;
        const bool fKeyCreated = CreateKey(report, store, publicKey, fContainerCreated);

        Router router(report);
        if (fKeyCreated && LoadModuleSection(report, router, ctx)) {
            report.Section(std::string("Signing with K through \"") + kCsp + "\"");
            TableSession session;
            if (router.GetInterface(kCsp) && OpenProviderStep(report, router.Table(), kCsp, session) &&
                OpenKeyStep(report, session, store.strContainerName, AT_KEYEXCHANGE, 0)) {
                SignAndVerify(report, session, publicKey);
                report.Section("Encrypting and decrypting with K");
                EncryptAndDecrypt(report, session, publicKey);
            }
            CloseSession(report, session);

            report.Section(std::string("Provider properties of \"") + kKspProviderName + "\"");
            TableSession kspSession;
            if (router.GetInterface(kKspProviderName) &&
                OpenProviderStep(report, router.Table(), kKspProviderName, kspSession)) {
                ShowProviderProperties(report, kspSession);
            }
            CloseSession(report, kspSession);
        }

        report.Section("Cleaning up");
        router.Unload();
        if (fContainerCreated) {
            DeleteContainerStep(report, kCsp, store.strContainerName, 0);
        }
        if (!store.strDirectory.empty()) {
            const bool fRemoved = RemoveDemoStore(store, strError);
            report.Check("Remove the key store", fRemoved, "removed", strError);
        }
        return report.Finish();
    });
}

} // namespace qvnksp
