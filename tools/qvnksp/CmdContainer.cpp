// container create | delete | list, export-public: CryptoAPI calls on the CSPs,
// so that there are keys for the module to use.
#include "Commands.h"

#include "Capi.h"
#include "Judge.h"
#include "PublicKey.h"

namespace qvnksp
{
namespace
{

#define QVNKSP_CSP_HELP                                                                                                \
    "  --csp NAME        the CSP: alder (default), birch, cedar, dogwood, or its full name\n"                          \
    "                    (any letter case)\n"                                                                          \
    "  --machine         a machine key set (CRYPT_MACHINE_KEYSET)\n"                                                   \
    "  --json            one JSON object on standard output instead of text\n"
#define QVNKSP_CONTAINER_HELP "  --name CONTAINER  the key container (its name is the CNG key name)\n" QVNKSP_CSP_HELP

#define QVNKSP_LIST_HELP "  list      the containers of a CSP (CryptGetProvParam PP_ENUMCONTAINERS)\n"

const char kContainerUsage[] =
    "usage: qvnksp container create --name CONTAINER [--csp NAME] [--bits N] [--spec SPEC] [--add] [--machine]\n"
    "       qvnksp container delete --name CONTAINER [--csp NAME] [--machine]\n"
    "       qvnksp container list [--csp NAME] [--machine]\n"
    "\n"
    "Key containers of the CSPs, through CryptoAPI (not through the module):\n"
    "  create    a new container with an RSA key pair (CryptAcquireContextW with\n"
    "            CRYPT_NEWKEYSET, CryptGenKey with CRYPT_EXPORTABLE)\n"
    "  delete    the container and its keys (CRYPT_DELETEKEYSET)\n" QVNKSP_LIST_HELP "\n"
    "Run `qvnksp container COMMAND --help` for the options of one.\n";

const char kCreateUsage[] =
    "usage: qvnksp container create --name CONTAINER [--csp NAME] [--bits N] [--spec SPEC] [--add] [--machine]\n"
    "\n"
    "Creates a key container with a new RSA key pair through CryptoAPI.\n"
    "\n" QVNKSP_CONTAINER_HELP "  --bits N          the key length in bits (default 2048)\n"
    "  --spec SPEC       exchange (AT_KEYEXCHANGE, default) or signature (AT_SIGNATURE)\n"
    "  --add             the container exists already: add the key of --spec to it\n"
    "                    (refused when it holds one)\n"
    "\n"
    "A container that this command made is deleted again when its key cannot be\n"
    "made. Key generation shows its elapsed time on standard error when that is a\n"
    "terminal.\n";

const char kDeleteUsage[] = "usage: qvnksp container delete --name CONTAINER [--csp NAME] [--machine]\n"
                            "\n"
                            "Deletes a key container and its keys through CryptoAPI (CRYPT_DELETEKEYSET).\n"
                            "\n" QVNKSP_CONTAINER_HELP;

const char kListUsage[] = "usage: qvnksp container list [--csp NAME] [--machine]\n"
                          "\n"
                          "Lists the key containers of a CSP (CryptGetProvParam with PP_ENUMCONTAINERS).\n"
                          "\n" QVNKSP_CSP_HELP;

const char kExportUsage[] =
    "usage: qvnksp export-public --name CONTAINER --out FILE.pem [--csp NAME] [--spec SPEC] [--machine]\n"
    "\n"
    "Writes the public key of a container's key pair as PEM (SubjectPublicKeyInfo),\n"
    "from CryptExportKey(PUBLICKEYBLOB), for `openssl dgst -verify` and\n"
    "`openssl pkeyutl -encrypt -pubin`.\n"
    "\n" QVNKSP_CONTAINER_HELP "  --spec SPEC       exchange (AT_KEYEXCHANGE, default) or signature (AT_SIGNATURE)\n"
    "  --out FILE        where the PEM goes (\"-\": standard output, and the report to\n"
    "                    standard error; not with --json)\n";

DWORD AcquireFlagsOf(const Args &args)
{
    return args.Has("machine") ? CRYPT_MACHINE_KEYSET : 0;
}

void ShowStore(Report &report)
{
    const std::string strStore = CurrentStoreDescription();
    report.Result("store", "key store", strStore, JsonString(strStore));
}

// Shows a key's public half (and returns it); false when it cannot be exported.
bool ShowPublicKey(Report &report, HCRYPTKEY hKey, RsaPublicKey &key)
{
    Bytes blob;
    if (!ExportPublicBlobStep(report, hKey, blob)) {
        return false;
    }
    std::string strError;
    if (!ParsePublicKeyBlob(blob, key, strError)) {
        report.Error(strError);
        return false;
    }
    report.Result("bits", "public key",
                  std::to_string(key.cBits) + "-bit RSA, exponent " + std::to_string(ExponentValue(key)),
                  JsonNumber(key.cBits));
    report.ResultJsonOnly("exponent", JsonNumber(ExponentValue(key)));
    report.Result("modulus", "modulus", HexPreview(key.modulus), JsonString(HexString(key.modulus)));
    Bytes fingerprint;
    if (judge::Digest("SHA256", SubjectPublicKeyInfo(key), fingerprint, strError)) {
        report.Result("spki_sha256", "SHA-256 of SPKI", HexString(fingerprint), JsonString(HexString(fingerprint)));
    }
    return true;
}

int ContainerCreate(const Context &ctx, const CommandArgs &rgstrArgs)
{
    return WithUsage(ctx, "container create", kCreateUsage, [&] {
        const Args args(
            rgstrArgs,
            {{"csp", true}, {"name", true}, {"bits", true}, {"spec", true}, {"add", false}, {"machine", false}});
        if (args.Help()) {
            throw HelpRequested{};
        }
        const std::string strCsp = ResolveProviderName(args.Get("csp", "alder"));
        const std::string strName = args.Require("name");
        const DWORD dwKeySpec = ParseKeySpec(args.Get("spec", "exchange"));
        const uint32_t cBits = args.Number("bits", 2048);
        if (cBits == 0 || cBits > 0xFFFF) {
            throw UsageError("--bits must be between 1 and 65535");
        }
        const DWORD dwFlags = AcquireFlagsOf(args);
        Report report("container create", ctx.fJson);
        report.Section("Creating container \"" + strName + "\" in \"" + strCsp + "\"");
        ShowStore(report);
        HCRYPTPROV hProv = 0;
        HCRYPTKEY hKey = 0;
        bool fOk =
            AcquireContainerStep(report, strCsp, strName, dwFlags | (args.Has("add") ? 0 : CRYPT_NEWKEYSET), hProv);
        if (fOk && args.Has("add")) {
            // The key of that spec must not exist yet: CryptGenKey would replace it.
            fOk = GetUserKeyStep(report, hProv, dwKeySpec, hKey, static_cast<uint32_t>(NTE_NO_KEY));
            DestroyKeyStep(report, hKey);
        }
        RsaPublicKey key;
        const bool fMadeContainer = fOk && !args.Has("add");
        if (fOk && GenKeyStep(report, hProv, dwKeySpec, cBits, hKey)) {
            ShowPublicKey(report, hKey, key);
        } else if (fMadeContainer) {
            // No empty container stays behind to block the next attempt (NTE_EXISTS).
            report.Section("Removing the container again: its key could not be made");
            ReleaseContextStep(report, hProv);
            DeleteContainerStep(report, strCsp, strName, dwFlags);
        }
        DestroyKeyStep(report, hKey);
        ReleaseContextStep(report, hProv);
        return report.Finish();
    });
}

int ContainerDelete(const Context &ctx, const CommandArgs &rgstrArgs)
{
    return WithUsage(ctx, "container delete", kDeleteUsage, [&] {
        const Args args(rgstrArgs, {{"csp", true}, {"name", true}, {"machine", false}});
        if (args.Help()) {
            throw HelpRequested{};
        }
        const std::string strCsp = ResolveProviderName(args.Get("csp", "alder"));
        const std::string strName = args.Require("name");
        Report report("container delete", ctx.fJson);
        report.Section("Deleting container \"" + strName + "\" of \"" + strCsp + "\"");
        ShowStore(report);
        DeleteContainerStep(report, strCsp, strName, AcquireFlagsOf(args));
        return report.Finish();
    });
}

int ContainerList(const Context &ctx, const CommandArgs &rgstrArgs)
{
    return WithUsage(ctx, "container list", kListUsage, [&] {
        const Args args(rgstrArgs, {{"csp", true}, {"machine", false}});
        if (args.Help()) {
            throw HelpRequested{};
        }
        const std::string strCsp = ResolveProviderName(args.Get("csp", "alder"));
        Report report("container list", ctx.fJson);
        report.Section("Containers of \"" + strCsp + "\"");
        HCRYPTPROV hProv = 0;
        const WString strWideCsp = Widen(strCsp);
        const DWORD dwFlags = CRYPT_VERIFYCONTEXT | AcquireFlagsOf(args);
        const BOOL fAcquired =
            CryptAcquireContextW(&hProv, nullptr, strWideCsp.c_str(), CapiProviderType(strCsp), dwFlags);
        if (report.Step("CryptAcquireContextW(NULL, " + AcquireFlagsText(dwFlags) + ")", fAcquired ? 0 : GetLastError(),
                        StatusKind::SecurityStatus)) {
            // The size query gives a buffer that holds the longest name; then
            // CRYPT_FIRST and one name per call until ERROR_NO_MORE_ITEMS.
            DWORD cbName = 0;
            const BOOL fSized = CryptGetProvParam(hProv, PP_ENUMCONTAINERS, nullptr, &cbName, CRYPT_FIRST);
            std::vector<std::string> rgstrJson;
            if (report.Step("CryptGetProvParam(PP_ENUMCONTAINERS, size query)", fSized ? 0 : GetLastError(),
                            StatusKind::SecurityStatus)) {
                std::vector<char> name(cbName + 1);
                for (DWORD dwEnumFlags = CRYPT_FIRST;; dwEnumFlags = CRYPT_NEXT) {
                    DWORD cb = cbName;
                    if (!CryptGetProvParam(hProv, PP_ENUMCONTAINERS, reinterpret_cast<BYTE *>(name.data()), &cb,
                                           dwEnumFlags)) {
                        report.Step("CryptGetProvParam(PP_ENUMCONTAINERS)", GetLastError(), StatusKind::SecurityStatus,
                                    ERROR_NO_MORE_ITEMS);
                        break;
                    }
                    name[cb < name.size() ? cb : name.size() - 1] = 0;
                    // The names come in the ANSI code page (PP_ENUMCONTAINERS is narrow).
                    const std::string strName = AnsiToUtf8(name.data());
                    report.Result("", "container", strName, "");
                    rgstrJson.push_back(JsonString(strName));
                }
            }
            report.ResultJsonOnly("containers", JsonArray(rgstrJson));
            ReleaseContextStep(report, hProv);
        }
        return report.Finish();
    });
}

} // namespace

int RunContainer(const Context &ctx, const CommandArgs &rgstrArgs)
{
    if (rgstrArgs.empty() || rgstrArgs[0] == "--help" || rgstrArgs[0] == "-h") {
        return WithUsage(ctx, "container", kContainerUsage, [&]() -> int {
            if (rgstrArgs.empty()) {
                throw UsageError("which container command?");
            }
            throw HelpRequested{};
        });
    }
    const CommandArgs rgstrRest(rgstrArgs.begin() + 1, rgstrArgs.end());
    if (rgstrArgs[0] == "create") {
        return ContainerCreate(ctx, rgstrRest);
    }
    if (rgstrArgs[0] == "delete") {
        return ContainerDelete(ctx, rgstrRest);
    }
    if (rgstrArgs[0] == "list") {
        return ContainerList(ctx, rgstrRest);
    }
    return WithUsage(ctx, "container", kContainerUsage,
                     [&]() -> int { throw UsageError("unknown container command \"" + rgstrArgs[0] + "\""); });
}

int RunExportPublic(const Context &ctx, const CommandArgs &rgstrArgs)
{
    return WithUsage(ctx, "export-public", kExportUsage, [&] {
        const Args args(rgstrArgs, {{"csp", true}, {"name", true}, {"spec", true}, {"out", true}, {"machine", false}});
        if (args.Help()) {
            throw HelpRequested{};
        }
        const std::string strCsp = ResolveProviderName(args.Get("csp", "alder"));
        const std::string strName = args.Require("name");
        const DWORD dwKeySpec = ParseKeySpec(args.Get("spec", "exchange"));
        const std::string strOut = args.Require("out");
        RefuseStandardOutputWithJson(ctx, strOut, "out");
        Report report("export-public", ctx.fJson);
        if (strOut == "-") {
            report.UseStandardError();
        }
        if (!CheckWritable(report, strOut)) {
            return report.Finish();
        }
        report.Section("Public key of \"" + strName + "\" in \"" + strCsp + "\"");
        ShowStore(report);
        HCRYPTPROV hProv = 0;
        HCRYPTKEY hKey = 0;
        RsaPublicKey key;
        if (AcquireContainerStep(report, strCsp, strName, AcquireFlagsOf(args), hProv) &&
            GetUserKeyStep(report, hProv, dwKeySpec, hKey) && ShowPublicKey(report, hKey, key)) {
            const std::string strPem = PublicKeyPem(key);
            std::string strError;
            if (WriteWholeFile(strOut, Bytes(strPem.begin(), strPem.end()), strError)) {
                report.Result("out", "written to", strOut, JsonString(strOut));
            } else {
                report.Error(strError);
            }
        }
        DestroyKeyStep(report, hKey);
        ReleaseContextStep(report, hProv);
        return report.Finish();
    });
}

} // namespace qvnksp
