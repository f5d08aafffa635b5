// sign, verify, encrypt, decrypt: one key operation through the module's table.
#include "Commands.h"

#include "Judge.h"

#include <wincrypt.h>

#include <cstdint>

namespace qvnksp
{
namespace
{

#define QVNKSP_KEY_HELP                                                                                                \
    "  --name CONTAINER  the key container; it is the CNG key name (required)\n"                                       \
    "  --csp NAME        the CSP that holds it: alder (default), birch, cedar, dogwood,\n"                             \
    "                    or the CSP's full name (any letter case)\n"                                                   \
    "  --spec SPEC       exchange (AT_KEYEXCHANGE, default) or signature (AT_SIGNATURE)\n"                             \
    "  --machine         a machine key set (NCRYPT_MACHINE_KEY_FLAG)\n"                                                \
    "  --silent          fail instead of prompting (NCRYPT_SILENT_FLAG)\n"                                             \
    "  --module PATH     the module to load (default: see `qvnksp --help`)\n"                                          \
    "  --json            one JSON object on standard output instead of text\n"

#define QVNKSP_DIGEST_HELP                                                                                             \
    "  --hash ALG        SHA256 (default), SHA1, SHA384, SHA512, MD5, MD4, MD2: named in\n"                            \
    "                    BCRYPT_PKCS1_PADDING_INFO; or none: no padding information, the\n"                            \
    "                    module picks the algorithm by the digest's length and the bare\n"                             \
    "                    digest is signed (needs --digest)\n"                                                          \
    "  --in FILE         the data; qvnksp hashes it with --hash (\"-\": standard input)\n"                             \
    "  --digest HEX      the digest itself instead of --in\n"

const char kSignUsage[] =
    "usage: qvnksp sign --name CONTAINER (--in FILE | --digest HEX) --out SIGNATURE\n"
    "                   [--hash ALG] [--csp NAME] [--spec SPEC] [--machine] [--silent]\n"
    "\n"
    "Signs a hash through the key storage provider: OpenKey, then SignHash with\n"
    "NCRYPT_PAD_PKCS1_FLAG (a size query first). The signature is written most\n"
    "significant byte first, as CNG and OpenSSL read it.\n"
    "\n" QVNKSP_DIGEST_HELP
    "  --out FILE        where the signature goes (\"-\": standard output; not with --json)\n" QVNKSP_KEY_HELP;

const char kVerifyUsage[] =
    "usage: qvnksp verify --name CONTAINER (--in FILE | --digest HEX) --sig SIGNATURE\n"
    "                     [--hash ALG] [--csp NAME] [--spec SPEC] [--machine] [--silent]\n"
    "\n"
    "Checks a signature through the key storage provider: OpenKey, then\n"
    "VerifySignature with NCRYPT_PAD_PKCS1_FLAG. Exits 0 only for a valid signature.\n"
    "\n" QVNKSP_DIGEST_HELP "  --sig FILE        the signature, most significant byte first\n" QVNKSP_KEY_HELP;

const char kEncryptUsage[] =
    "usage: qvnksp encrypt --name CONTAINER --in FILE --out FILE\n"
    "                      [--csp NAME] [--spec SPEC] [--machine] [--silent]\n"
    "\n"
    "Encrypts through the key storage provider (Encrypt with NCRYPT_PAD_PKCS1_FLAG,\n"
    "PKCS #1 v1.5). The plaintext may be at most the key length less 11 bytes; the\n"
    "ciphertext is written most significant byte first, as OpenSSL reads it.\n"
    "\n"
    "  --in FILE         the plaintext (\"-\": standard input)\n"
    "  --out FILE        the ciphertext (\"-\": standard output; not with --json)\n" QVNKSP_KEY_HELP;

const char kDecryptUsage[] =
    "usage: qvnksp decrypt --name CONTAINER --in FILE --out FILE\n"
    "                      [--csp NAME] [--spec SPEC] [--machine] [--silent]\n"
    "\n"
    "Decrypts through the key storage provider (Decrypt with NCRYPT_PAD_PKCS1_FLAG,\n"
    "PKCS #1 v1.5), for instance what `openssl pkeyutl -encrypt` made with the\n"
    "exported public key.\n"
    "\n"
    "  --in FILE         the ciphertext, most significant byte first (\"-\": standard input)\n"
    "  --out FILE        the plaintext (\"-\": standard output; not with --json)\n" QVNKSP_KEY_HELP;

// What is signed or verified: the hash name ("" for none) and the digest.
struct DigestRequest {
    std::string strHash;
    std::string strInPath; // empty with --digest
    Bytes digest;          // set with --digest; computed from --in later
};

DigestRequest ParseDigestRequest(const Args &args)
{
    DigestRequest request;
    request.strHash = ParseHashName(args.Get("hash", "SHA256"));
    const bool fIn = args.Has("in");
    const bool fDigest = args.Has("digest");
    if (fIn == fDigest) {
        throw UsageError("give either --in FILE or --digest HEX");
    }
    if (fDigest) {
        request.digest = ParseHex(args.Get("digest"), "digest");
    } else {
        request.strInPath = args.Require("in");
        if (request.strHash.empty()) {
            throw UsageError("--hash none signs a digest as it is: give it with --digest HEX");
        }
    }
    return request;
}

// Hashes --in with the judge's library (not with the module or the CSP).
bool ComputeDigest(Report &report, DigestRequest &request)
{
    if (request.strInPath.empty()) {
        report.Result("digest", "digest", HexString(request.digest), JsonString(HexString(request.digest)));
        return true;
    }
    Bytes data;
    std::string strError;
    if (!ReadWholeFile(request.strInPath, data, strError) ||
        !judge::Digest(request.strHash, data, request.digest, strError)) {
        report.Error(strError);
        return false;
    }
    report.Result("digest", request.strHash + " of input", HexString(request.digest),
                  JsonString(HexString(request.digest)));
    return true;
}

std::string PaddingText(const std::string &strHash)
{
    return (strHash.empty() ? std::string("no padding information") : strHash) + ", NCRYPT_PAD_PKCS1_FLAG";
}

// After a failed OpenKey: asks CryptoAPI whether the container and its key of
// that spec are there, and says what to do when one is not.
void HintMissingKey(Report &report, const KeyTarget &target)
{
    const WString strContainer = Widen(target.strName), strCsp = Widen(target.strCsp);
    const DWORD dwFlags =
        CRYPT_SILENT | ((target.dwOpenFlags & NCRYPT_MACHINE_KEY_FLAG) != 0 ? CRYPT_MACHINE_KEYSET : 0);
    const std::string strMachine = (target.dwOpenFlags & NCRYPT_MACHINE_KEY_FLAG) != 0 ? " --machine" : "";
    const std::string strCreate = "qvnksp container create --csp " +
                                  target.strCsp.substr(9, target.strCsp.find(' ', 9) - 9) + " --name \"" +
                                  target.strName + "\"" + strMachine;
    HCRYPTPROV hProv = 0;
    std::string strHint;
    if (!CryptAcquireContextW(&hProv, strContainer.c_str(), strCsp.c_str(), CapiProviderType(target.strCsp), dwFlags)) {
        strHint = "\"" + target.strCsp + "\" has no container \"" + target.strName + "\"" +
                  (strMachine.empty() ? " in the user's key set (add --machine for the machine's)"
                                      : " in the machine key set") +
                  "; `qvnksp container list` shows those there are, `" + strCreate + "` makes it";
    } else {
        HCRYPTKEY hKey = 0;
        if (!CryptGetUserKey(hProv, target.dwKeySpec, &hKey)) {
            const bool fSignature = target.dwKeySpec == AT_SIGNATURE;
            strHint = std::string("container \"") + target.strName + "\" holds no " +
                      (fSignature ? "signature key (AT_SIGNATURE)" : "exchange key (AT_KEYEXCHANGE)") +
                      ": use --spec " + (fSignature ? "exchange" : "signature") + ", or add one with `" + strCreate +
                      " --add --spec " + (fSignature ? "signature" : "exchange") + "`";
        } else {
            CryptDestroyKey(hKey);
        }
        CryptReleaseContext(hProv, 0);
    }
    if (!strHint.empty()) {
        report.Result("hint", "hint", strHint, JsonString(strHint));
    }
}

// GetKeyStorageInterface, OpenProvider and OpenKey; then body; then FreeKey,
// FreeProvider and FreeLibrary whatever happened.
int WithOpenKey(Report &report, const Context &ctx, const KeyTarget &target, const std::string &strTitle,
                const std::function<void(TableSession &)> &body)
{
    Router router(report);
    if (LoadModuleSection(report, router, ctx)) {
        report.Section(strTitle + " with key \"" + target.strName + "\" of \"" + target.strCsp + "\"");
        TableSession session;
        if (router.GetInterface(target.strCsp) && OpenProviderStep(report, router.Table(), target.strCsp, session)) {
            if (OpenKeyStep(report, session, target.strName, target.dwKeySpec, target.dwOpenFlags)) {
                body(session);
            } else {
                HintMissingKey(report, target);
            }
        }
        report.Section("Closing");
        CloseSession(report, session);
        router.Unload();
    }
    return report.Finish();
}

bool WriteOutput(Report &report, const std::string &strPath, const Bytes &data)
{
    std::string strError;
    if (!WriteWholeFile(strPath, data, strError)) {
        report.Error(strError);
        return false;
    }
    return true;
}

bool ReadInput(Report &report, const std::string &strPath, Bytes &data, size_t cbMax = SIZE_MAX)
{
    std::string strError;
    if (!ReadWholeFile(strPath, data, strError, cbMax)) {
        report.Error(strError);
        return false;
    }
    return true;
}

} // namespace

int RunSign(const Context &ctx, const CommandArgs &rgstrArgs)
{
    return WithUsage(ctx, "sign", kSignUsage, [&] {
        const Args args(rgstrArgs, {QVNKSP_KEY_OPTIONS, {"hash", true}, {"in", true}, {"digest", true}, {"out", true}});
        if (args.Help()) {
            throw HelpRequested{};
        }
        const KeyTarget target = ParseKeyTarget(args);
        DigestRequest request = ParseDigestRequest(args);
        const std::string strOut = args.Require("out");
        RefuseStandardOutputWithJson(ctx, strOut, "out");
        Report report("sign", ctx.fJson);
        if (strOut == "-") {
            report.UseStandardError();
        }
        report.Section("Input");
        if (!CheckWritable(report, strOut) || !ComputeDigest(report, request)) {
            return report.Finish();
        }
        return WithOpenKey(report, ctx, target, "Signing", [&](TableSession &session) {
            const WString strAlg = Widen(request.strHash);
            BCRYPT_PKCS1_PADDING_INFO padding = {strAlg.c_str()};
            void *pPadding = request.strHash.empty() ? nullptr : &padding;
            DWORD cbSignature = 0;
            SECURITY_STATUS status = session.pTable->SignHash(
                session.hProvider, session.hKey, pPadding, request.digest.data(),
                static_cast<DWORD>(request.digest.size()), nullptr, 0, &cbSignature, NCRYPT_PAD_PKCS1_FLAG);
            if (!report.Step("SignHash(size query)", static_cast<uint32_t>(status), StatusKind::SecurityStatus)) {
                return;
            }
            report.Result("signature_size", "signature size", std::to_string(cbSignature) + " bytes",
                          JsonNumber(cbSignature));
            Bytes signature(cbSignature, 0);
            DWORD cbResult = 0;
            status = session.pTable->SignHash(session.hProvider, session.hKey, pPadding, request.digest.data(),
                                              static_cast<DWORD>(request.digest.size()), signature.data(), cbSignature,
                                              &cbResult, NCRYPT_PAD_PKCS1_FLAG);
            if (!report.Step("SignHash(" + PaddingText(request.strHash) + ")", static_cast<uint32_t>(status),
                             StatusKind::SecurityStatus)) {
                return;
            }
            signature.resize(cbResult);
            report.Result("signature", "signature",
                          std::to_string(signature.size()) + " bytes: " + HexPreview(signature),
                          JsonString(HexString(signature)));
            if (WriteOutput(report, strOut, signature)) {
                report.Result("out", "written to", strOut, JsonString(strOut));
            }
        });
    });
}

int RunVerify(const Context &ctx, const CommandArgs &rgstrArgs)
{
    return WithUsage(ctx, "verify", kVerifyUsage, [&] {
        const Args args(rgstrArgs, {QVNKSP_KEY_OPTIONS, {"hash", true}, {"in", true}, {"digest", true}, {"sig", true}});
        if (args.Help()) {
            throw HelpRequested{};
        }
        const KeyTarget target = ParseKeyTarget(args);
        DigestRequest request = ParseDigestRequest(args);
        const std::string strSig = args.Require("sig");
        Report report("verify", ctx.fJson);
        report.Section("Input");
        Bytes signature;
        if (!ComputeDigest(report, request) || !ReadInput(report, strSig, signature)) {
            return report.Finish();
        }
        report.Result("signature_size", "signature", std::to_string(signature.size()) + " bytes from " + strSig,
                      JsonNumber(signature.size()));
        return WithOpenKey(report, ctx, target, "Verifying", [&](TableSession &session) {
            const WString strAlg = Widen(request.strHash);
            BCRYPT_PKCS1_PADDING_INFO padding = {strAlg.c_str()};
            void *pPadding = request.strHash.empty() ? nullptr : &padding;
            const SECURITY_STATUS status =
                session.pTable->VerifySignature(session.hProvider, session.hKey, pPadding, request.digest.data(),
                                                static_cast<DWORD>(request.digest.size()), signature.data(),
                                                static_cast<DWORD>(signature.size()), NCRYPT_PAD_PKCS1_FLAG);
            const bool fValid = report.Step("VerifySignature(" + PaddingText(request.strHash) + ")",
                                            static_cast<uint32_t>(status), StatusKind::SecurityStatus);
            report.Result("valid", "signature", fValid ? "valid" : "NOT valid", JsonBool(fValid));
        });
    });
}

namespace
{

// Encryption and decryption share their shape: read a file, hand it to one
// table entry (Encrypt and Decrypt have the same prototype) with a size query
// first, write what comes back.
struct CipherCommand {
    const char *pszCommand;
    const char *pszUsage;
    const char *pszVerb;      // the section title
    const char *pszOperation; // the table entry's name
    NCryptEncryptFn NCRYPT_KEY_STORAGE_FUNCTION_TABLE::*pfnEntry;
    bool fProducesCiphertext;
};

const CipherCommand kEncryptCommand = {
    "encrypt", kEncryptUsage, "Encrypting", "Encrypt", &NCRYPT_KEY_STORAGE_FUNCTION_TABLE::Encrypt, true};
const CipherCommand kDecryptCommand = {
    "decrypt", kDecryptUsage, "Decrypting", "Decrypt", &NCRYPT_KEY_STORAGE_FUNCTION_TABLE::Decrypt, false};

// The longest RSA key CryptGenKey makes (65535 bits), in bytes.
constexpr size_t kMaxKeyBytes = 8192;

// The key's length from the size query of Encrypt (the ciphertext's size),
// then the input against it: a ciphertext is exactly that long, a plaintext
// at most 11 bytes shorter (PKCS #1 v1.5 padding). Says what is wrong before
// the provider sees the input.
bool CheckInputSize(Report &report, const TableSession &session, size_t cbInput, bool fPlaintext)
{
    BYTE bProbe = 0;
    DWORD cbKey = 0;
    const SECURITY_STATUS status = session.pTable->Encrypt(session.hProvider, session.hKey, &bProbe, 1, nullptr,
                                                           nullptr, 0, &cbKey, NCRYPT_PAD_PKCS1_FLAG);
    if (!report.Step("Encrypt(size query: the key's length)", static_cast<uint32_t>(status),
                     StatusKind::SecurityStatus)) {
        return false;
    }
    const std::string strKey = "the key is " + std::to_string(cbKey * 8) + " bits";
    if (fPlaintext && cbInput + 11 > cbKey) {
        report.Error("the plaintext is " + std::to_string(cbInput) + " bytes; " + strKey + ": it encrypts at most " +
                     std::to_string(cbKey - 11) + " bytes");
        return false;
    }
    if (!fPlaintext && cbInput != cbKey) {
        report.Error("the ciphertext is " + std::to_string(cbInput) + " bytes; " + strKey + ": its ciphertexts are " +
                     std::to_string(cbKey) + " bytes");
        return false;
    }
    return true;
}

int RunCipher(const Context &ctx, const CommandArgs &rgstrArgs, const CipherCommand &command)
{
    return WithUsage(ctx, command.pszCommand, command.pszUsage, [&] {
        const Args args(rgstrArgs, {QVNKSP_KEY_OPTIONS, {"in", true}, {"out", true}});
        if (args.Help()) {
            throw HelpRequested{};
        }
        const KeyTarget target = ParseKeyTarget(args);
        const std::string strIn = args.Require("in");
        const std::string strOut = args.Require("out");
        RefuseStandardOutputWithJson(ctx, strOut, "out");
        const std::string strInputKind = command.fProducesCiphertext ? "plaintext" : "ciphertext";
        Report report(command.pszCommand, ctx.fJson);
        if (strOut == "-") {
            report.UseStandardError();
        }
        report.Section("Input");
        Bytes input;
        // No RSA key is longer than kMaxKeyBytes: a larger input is refused
        // after that many bytes, not read whole.
        if (!CheckWritable(report, strOut) || !ReadInput(report, strIn, input, kMaxKeyBytes)) {
            return report.Finish();
        }
        if (input.empty()) {
            report.Error("the " + strInputKind + " in " + strIn + " is empty: " +
                         (command.fProducesCiphertext ? "the provider encrypts 1 to (key length - 11) bytes"
                                                      : "a ciphertext is exactly as long as the key"));
            return report.Finish();
        }
        report.Result(strInputKind + "_size", strInputKind, std::to_string(input.size()) + " bytes from " + strIn,
                      JsonNumber(input.size()));
        return WithOpenKey(report, ctx, target, command.pszVerb, [&](TableSession &session) {
            const NCryptEncryptFn pfnEntry = session.pTable->*command.pfnEntry;
            const std::string strOperation = command.pszOperation;
            if (!CheckInputSize(report, session, input.size(), command.fProducesCiphertext)) {
                return;
            }
            DWORD cbOutput = 0;
            SECURITY_STATUS status =
                pfnEntry(session.hProvider, session.hKey, input.data(), static_cast<DWORD>(input.size()), nullptr,
                         nullptr, 0, &cbOutput, NCRYPT_PAD_PKCS1_FLAG);
            if (!report.Step(strOperation + "(size query)", static_cast<uint32_t>(status),
                             StatusKind::SecurityStatus)) {
                return;
            }
            Bytes output(cbOutput, 0);
            DWORD cbResult = 0;
            status = pfnEntry(session.hProvider, session.hKey, input.data(), static_cast<DWORD>(input.size()), nullptr,
                              output.data(), cbOutput, &cbResult, NCRYPT_PAD_PKCS1_FLAG);
            if (!report.Step(strOperation + "(" + std::to_string(input.size()) + " bytes, NCRYPT_PAD_PKCS1_FLAG)",
                             static_cast<uint32_t>(status), StatusKind::SecurityStatus)) {
                return;
            }
            output.resize(cbResult);
            if (command.fProducesCiphertext) {
                report.Result("ciphertext", "ciphertext",
                              std::to_string(output.size()) + " bytes: " + HexPreview(output),
                              JsonString(HexString(output)));
            } else {
                report.Result("plaintext_size", "plaintext", std::to_string(output.size()) + " bytes",
                              JsonNumber(output.size()));
            }
            if (WriteOutput(report, strOut, output)) {
                report.Result("out", "written to", strOut, JsonString(strOut));
            }
        });
    });
}

} // namespace

int RunEncrypt(const Context &ctx, const CommandArgs &rgstrArgs)
{
    return RunCipher(ctx, rgstrArgs, kEncryptCommand);
}

int RunDecrypt(const Context &ctx, const CommandArgs &rgstrArgs)
{
    return RunCipher(ctx, rgstrArgs, kDecryptCommand);
}

} // namespace qvnksp
