// providers, properties, register, unregister, error: the module as a whole.
#include "Commands.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iostream>

namespace qvnksp
{
namespace
{

const char kProvidersUsage[] = "usage: qvnksp providers [--module PATH] [--json]\n"
                               "\n"
                               "For each of the five names the module answers to (the key storage provider\n"
                               "and its four CSP aliases): GetKeyStorageInterface, OpenProvider, FreeProvider.\n";

const char kPropertiesUsage[] =
    "usage: qvnksp properties [--module PATH] [--json]\n"
    "\n"
    "The provider properties of \"Quorvane TPM Key Storage Provider\" (GetProviderProperty\n"
    "of \"Impl Type\", \"Version\", \"Max Name Length\") and its algorithm list (EnumAlgorithms).\n";

const char kRegisterUsage[] = "usage: qvnksp register [--module PATH] [--json]\n"
                              "\n"
                              "Calls the module's DllRegisterServer, which enters \"Quorvane TPM Key Storage\n"
                              "Provider\" with its four aliases in the CNG provider configuration (on Windows\n"
                              "this needs an administrator), then reads the registration back with\n"
                              "BCryptQueryProviderRegistration.\n";

const char kUnregisterUsage[] = "usage: qvnksp unregister [--module PATH] [--json]\n"
                                "\n"
                                "Calls the module's DllUnregisterServer, which removes the provider from the CNG\n"
                                "configuration (S_FALSE: it was not registered), then checks that it is gone.\n";

const char kErrorUsage[] = "usage: qvnksp error CODE... [--json]\n"
                           "\n"
                           "Names status values and says what they mean, like `certutil -error`: CODE is\n"
                           "a number (0x80090016, -2146893802, 2148073494) or a name in any letter case\n"
                           "(NTE_BAD_KEYSET, nte_bad_keyset). It knows the NTE_*, STATUS_*, ERROR_*, S_*\n"
                           "and E_* values that the module, CryptoAPI, bcrypt and the loader return.\n"
                           "\n"
                           "Exit status: 0 when every CODE is known, 1 when one is not (a number without\n"
                           "a name, or a word that is no known name), 2 when no CODE is given.\n";

std::string Quoted(const std::string &str)
{
    return "\"" + str + "\"";
}

uint32_t PropertyValue(Report &report, const TableSession &session, const char *pszProperty, bool &fRead)
{
    const WString strProperty = Widen(pszProperty);
    DWORD dwValue = 0;
    DWORD cbResult = 0;
    const SECURITY_STATUS status = session.pTable->GetProviderProperty(
        session.hProvider, strProperty.c_str(), reinterpret_cast<PBYTE>(&dwValue), sizeof(dwValue), &cbResult, 0);
    fRead = report.Step(std::string("GetProviderProperty(") + Quoted(pszProperty) + ")", static_cast<uint32_t>(status),
                        StatusKind::SecurityStatus);
    if (fRead && cbResult != sizeof(DWORD)) {
        report.Check(std::string(pszProperty) + " is a DWORD", false, "4 bytes", std::to_string(cbResult) + " bytes");
        fRead = false;
    }
    return dwValue;
}

std::string ImplTypeText(uint32_t value)
{
    std::string str;
    if ((value & NCRYPT_IMPL_HARDWARE_FLAG) != 0) {
        str += "NCRYPT_IMPL_HARDWARE_FLAG ";
    }
    if ((value & NCRYPT_IMPL_SOFTWARE_FLAG) != 0) {
        str += "NCRYPT_IMPL_SOFTWARE_FLAG ";
    }
    return str.empty() ? "no implementation flag set" : str.substr(0, str.size() - 1);
}

// A name's interpretations for `error`.
struct Interpretation {
    StatusKind kind;
    const char *pszVocabulary;
};

} // namespace

void ShowProviderProperties(Report &report, const TableSession &session)
{
    bool fRead = false;
    const uint32_t implType = PropertyValue(report, session, "Impl Type", fRead);
    if (fRead) {
        report.Result("impl_type", "Impl Type", StatusHex(implType) + " (" + ImplTypeText(implType) + ")",
                      JsonNumber(implType));
    }
    const uint32_t version = PropertyValue(report, session, "Version", fRead);
    if (fRead) {
        report.Result("version", "Version",
                      StatusHex(version) + " (" + std::to_string(version >> 16) + "." +
                          std::to_string(version & 0xFFFF) + ")",
                      JsonNumber(version));
    }
    const uint32_t maxNameLength = PropertyValue(report, session, "Max Name Length", fRead);
    if (fRead) {
        report.Result("max_name_length", "Max Name Length", std::to_string(maxNameLength) + " characters",
                      JsonNumber(maxNameLength));
    }
    DWORD cAlgorithms = 0;
    NCryptAlgorithmName *pAlgorithms = nullptr;
    const SECURITY_STATUS status = session.pTable->EnumAlgorithms(
        session.hProvider,
        NCRYPT_CIPHER_OPERATION | NCRYPT_HASH_OPERATION | NCRYPT_ASYMMETRIC_ENCRYPTION_OPERATION |
            NCRYPT_SECRET_AGREEMENT_OPERATION | NCRYPT_SIGNATURE_OPERATION,
        &cAlgorithms, &pAlgorithms, 0);
    if (report.Step("EnumAlgorithms(every operation class)", static_cast<uint32_t>(status),
                    StatusKind::SecurityStatus)) {
        std::string strText = cAlgorithms == 0 ? "none (an empty list)" : std::to_string(cAlgorithms);
        std::vector<std::string> rgstrJson;
        for (DWORD i = 0; pAlgorithms != nullptr && i < cAlgorithms; ++i) {
            const std::string strName = Narrow(pAlgorithms[i].pszName);
            strText += (i == 0 ? ": " : ", ") + strName;
            rgstrJson.push_back(JsonString(strName));
        }
        report.Result("algorithms", "algorithms", strText, JsonArray(rgstrJson));
        if (pAlgorithms != nullptr) {
            session.pTable->FreeBuffer(pAlgorithms);
        }
    }
}

int RunProviders(const Context &ctx, const CommandArgs &rgstrArgs)
{
    return WithUsage(ctx, "providers", kProvidersUsage, [&] {
        const Args args(rgstrArgs, {});
        if (args.Help()) {
            throw HelpRequested{};
        }
        Report report("providers", ctx.fJson);
        Router router(report);
        if (LoadModuleSection(report, router, ctx)) {
            std::vector<const char *> rgpszNames = {kKspProviderName};
            rgpszNames.insert(rgpszNames.end(), std::begin(kCapiProviderNames), std::end(kCapiProviderNames));
            std::vector<std::string> rgstrJson;
            for (const char *pszName : rgpszNames) {
                const DWORD dwProvType = CapiProviderType(pszName);
                const std::string strKind = dwProvType == 0 ? std::string("the key storage provider")
                                                            : std::string("CSP, ") + ProviderTypeName(dwProvType);
                report.Section(std::string(pszName) + "  (" + strKind + ")");
                TableSession session;
                const bool fInterface = router.GetInterface(pszName);
                const bool fOpened = fInterface && OpenProviderStep(report, router.Table(), pszName, session);
                CloseSession(report, session);
                rgstrJson.push_back(JsonObject({{"name", JsonString(pszName)},
                                                {"kind", JsonString(strKind)},
                                                {"interface", JsonBool(fInterface)},
                                                {"opens", JsonBool(fOpened)}}));
            }
            report.ResultJsonOnly("providers", JsonArray(rgstrJson));
            report.Section("Unloading");
            router.Unload();
        }
        return report.Finish();
    });
}

int RunProperties(const Context &ctx, const CommandArgs &rgstrArgs)
{
    return WithUsage(ctx, "properties", kPropertiesUsage, [&] {
        const Args args(rgstrArgs, {});
        if (args.Help()) {
            throw HelpRequested{};
        }
        Report report("properties", ctx.fJson);
        Router router(report);
        if (LoadModuleSection(report, router, ctx)) {
            report.Section(std::string("Provider properties of \"") + kKspProviderName + "\"");
            TableSession session;
            if (router.GetInterface(kKspProviderName) &&
                OpenProviderStep(report, router.Table(), kKspProviderName, session)) {
                ShowProviderProperties(report, session);
            }
            CloseSession(report, session);
            router.Unload();
        }
        return report.Finish();
    });
}

int RunRegister(const Context &ctx, const CommandArgs &rgstrArgs, bool fRegister)
{
    const char *pszCommand = fRegister ? "register" : "unregister";
    return WithUsage(ctx, pszCommand, fRegister ? kRegisterUsage : kUnregisterUsage, [&] {
        const Args args(rgstrArgs, {});
        if (args.Help()) {
            throw HelpRequested{};
        }
        Report report(pszCommand, ctx.fJson);
        Router router(report);
        if (LoadModuleSection(report, router, ctx)) {
            const char *pszExport = fRegister ? "DllRegisterServer" : "DllUnregisterServer";
            report.Section(std::string(fRegister ? "Registering" : "Unregistering") + " \"" + kKspProviderName + "\"");
            using RegisterFn = HRESULT(WINAPI *)(void);
            const auto pfn = reinterpret_cast<RegisterFn>(reinterpret_cast<void (*)()>(router.Export(pszExport)));
            if (pfn != nullptr) {
                const HRESULT hr = pfn();
                // DllUnregisterServer answers S_FALSE when there was nothing to remove.
                const HRESULT expected = !fRegister && hr == S_FALSE ? S_FALSE : S_OK;
                report.Step(std::string(pszExport) + "()", static_cast<uint32_t>(hr), StatusKind::HResult,
                            static_cast<uint32_t>(expected));
                report.ResultJsonOnly("hresult", JsonString(StatusHex(static_cast<uint32_t>(hr))));
                if (!fRegister && hr == S_FALSE) {
                    report.Result("", "note", "the provider was not registered", "");
                }
                const WString strProvider = Widen(kKspProviderName);
                ULONG cbBuffer = 0;
                PCRYPT_PROVIDER_REG pReg = nullptr;
                const NTSTATUS status = BCryptQueryProviderRegistration(strProvider.c_str(), CRYPT_UM,
                                                                        NCRYPT_KEY_STORAGE_INTERFACE, &cbBuffer, &pReg);
                const NTSTATUS expectedQuery = fRegister ? 0 : static_cast<NTSTATUS>(0xC0000225L); // STATUS_NOT_FOUND
                report.Step("BCryptQueryProviderRegistration(KEY_STORAGE)", static_cast<uint32_t>(status),
                            StatusKind::NtStatus, static_cast<uint32_t>(expectedQuery));
                if (status == 0 && pReg != nullptr) {
                    std::vector<std::string> rgstrAliases;
                    for (ULONG i = 0; i < pReg->cAliases; ++i) {
                        const std::string strAlias = Narrow(pReg->rgpszAliases[i]);
                        report.Result("", "alias", strAlias, "");
                        rgstrAliases.push_back(JsonString(strAlias));
                    }
                    report.ResultJsonOnly("aliases", JsonArray(rgstrAliases));
                    if (pReg->pUM != nullptr) {
                        const std::string strImage = Narrow(pReg->pUM->pszImage);
                        report.Result("image", "image", strImage, JsonString(strImage));
                    }
                    BCryptFreeBuffer(pReg);
                }
            }
            router.Unload();
        }
        return report.Finish();
    });
}

int RunError(const Context &ctx, const CommandArgs &rgstrArgs)
{
    return WithUsage(ctx, "error", kErrorUsage, [&] {
        const Args args(rgstrArgs, {});
        if (args.Help()) {
            throw HelpRequested{};
        }
        if (args.Positional().empty()) {
            throw UsageError("which status value?");
        }
        bool fAllKnown = true;
        std::vector<std::string> rgstrJson;
        for (const std::string &strCode : args.Positional()) {
            uint32_t value = 0;
            bool fParsed = StatusFromName(strCode, value) || ParseNumber(strCode, value);
            if (!fParsed && strCode.size() > 1 && strCode[0] == '-') {
                char *pszEnd = nullptr;
                const long long negative = std::strtoll(strCode.c_str(), &pszEnd, 10);
                fParsed = *pszEnd == 0 && negative >= INT32_MIN;
                value = static_cast<uint32_t>(static_cast<int32_t>(negative));
            }
            if (!fParsed) {
                fAllKnown = false;
                if (!ctx.fJson) {
                    std::cout << strCode << "  (unknown: neither a number nor a known status name)\n";
                }
                rgstrJson.push_back(JsonObject(
                    {{"input", JsonString(strCode)}, {"value", "null"}, {"names", "[]"}, {"descriptions", "[]"}}));
                continue;
            }
            // 0 and 1 read differently in each vocabulary; every other value has one name.
            const Interpretation rgKinds[] = {{StatusKind::SecurityStatus, "SECURITY_STATUS"},
                                              {StatusKind::NtStatus, "NTSTATUS"},
                                              {StatusKind::HResult, "HRESULT"}};
            std::vector<std::string> rgstrNames, rgstrDescriptions;
            for (const Interpretation &interpretation : rgKinds) {
                const std::string strName = StatusName(value, interpretation.kind);
                const std::string strDescription = StatusDescription(strName);
                if (!strName.empty() && std::find(rgstrNames.begin(), rgstrNames.end(), strName) == rgstrNames.end()) {
                    rgstrNames.push_back(strName);
                }
                if (!strDescription.empty() && std::find(rgstrDescriptions.begin(), rgstrDescriptions.end(),
                                                         strDescription) == rgstrDescriptions.end()) {
                    rgstrDescriptions.push_back(strDescription);
                }
            }
            std::string strNames;
            std::vector<std::string> rgstrNamesJson, rgstrDescriptionsJson;
            for (const std::string &strName : rgstrNames) {
                strNames += (strNames.empty() ? "" : " / ") + strName;
                rgstrNamesJson.push_back(JsonString(strName));
            }
            if (rgstrNames.empty()) {
                fAllKnown = false;
                strNames = "(unknown)";
            }
            if (!ctx.fJson) {
                std::cout << StatusHex(value) << "  " << static_cast<int32_t>(value) << "  " << strNames << "\n";
            }
            for (const std::string &strDescription : rgstrDescriptions) {
                if (!ctx.fJson) {
                    std::cout << "    " << strDescription << "\n";
                }
                rgstrDescriptionsJson.push_back(JsonString(strDescription));
            }
            rgstrJson.push_back(JsonObject({{"input", JsonString(strCode)},
                                            {"value", JsonString(StatusHex(value))},
                                            {"names", JsonArray(rgstrNamesJson)},
                                            {"descriptions", JsonArray(rgstrDescriptionsJson)}}));
        }
        if (ctx.fJson) {
            std::cout << JsonObject({{"command", JsonString("error")},
                                     {"ok", JsonBool(fAllKnown)},
                                     {"codes", JsonArray(rgstrJson)}})
                      << std::endl;
        }
        return fAllKnown ? kExitOk : kExitFailed;
    });
}

} // namespace qvnksp
