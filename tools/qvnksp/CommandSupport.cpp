#include "Commands.h"

#include <cctype>
#include <iostream>

namespace qvnksp
{

void PrintJsonUsageError(const std::string &strCommand, const std::string &strMessage)
{
    std::cout << JsonObject({{"command", JsonString(strCommand)},
                             {"ok", JsonBool(false)},
                             {"usage_error", JsonString(strMessage)}})
              << std::endl;
}

int WithUsage(const Context &ctx, const std::string &strCommand, const char *pszUsage, const std::function<int()> &body)
{
    try {
        return body();
    } catch (const HelpRequested &) {
        if (ctx.fJson) {
            std::cout << JsonObject({{"command", JsonString(strCommand)},
                                     {"ok", JsonBool(true)},
                                     {"help", JsonString(pszUsage)}})
                      << std::endl;
        } else {
            std::cout << pszUsage;
        }
        return kExitOk;
    } catch (const UsageError &err) {
        if (ctx.fJson) {
            PrintJsonUsageError(strCommand, err.what());
            return kExitUsage;
        }
        // The synopsis only: the lines before the first blank one.
        const std::string strUsage = pszUsage;
        const size_t iBlank = strUsage.find("\n\n");
        std::cerr << "qvnksp " << strCommand << ": " << err.what() << "\n"
                  << strUsage.substr(0, iBlank == std::string::npos ? strUsage.size() : iBlank + 1) << "Run `qvnksp "
                  << strCommand << " --help` for more.\n";
        return kExitUsage;
    }
}

void RefuseStandardOutputWithJson(const Context &ctx, const std::string &strPath, const char *pszOption)
{
    if (ctx.fJson && strPath == "-") {
        throw UsageError(std::string("--") + pszOption +
                         " - and --json exclude each other: with --json standard output carries the JSON object "
                         "alone; write the data to a file");
    }
}

bool CheckWritable(Report &report, const std::string &strPath)
{
    std::string strError;
    if (!ProbeWritable(strPath, strError)) {
        report.Error(strError);
        return false;
    }
    return true;
}

bool LoadModuleSection(Report &report, Router &router, const Context &ctx)
{
    report.Section("Loading the module, as the CNG router does");
    const bool fLoaded = router.Load(ctx.strModulePath);
    if (fLoaded) {
        report.Result("module", "module", ctx.strModulePath, JsonString(ctx.strModulePath));
    }
    return fLoaded;
}

KeyTarget ParseKeyTarget(const Args &args)
{
    KeyTarget target;
    target.strCsp = ResolveProviderName(args.Get("csp", "alder"));
    target.strName = args.Require("name");
    target.dwKeySpec = ParseKeySpec(args.Get("spec", "exchange"));
    target.dwOpenFlags =
        (args.Has("machine") ? NCRYPT_MACHINE_KEY_FLAG : 0) | (args.Has("silent") ? NCRYPT_SILENT_FLAG : 0);
    return target;
}

std::string ParseHashName(const std::string &strGiven)
{
    std::string strUpper;
    for (const char ch : strGiven) {
        strUpper += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    }
    if (strUpper == "NONE") {
        return "";
    }
    static const char *const rgpszKnown[] = {"SHA1", "SHA256", "SHA384", "SHA512", "MD5", "MD4", "MD2"};
    for (const char *pszKnown : rgpszKnown) {
        if (strUpper == pszKnown) {
            return strUpper;
        }
    }
    throw UsageError("--hash must be SHA1, SHA256, SHA384, SHA512, MD5, MD4, MD2 or none, not \"" + strGiven + "\"");
}

Bytes ParseHex(const std::string &strHex, const char *pszOption)
{
    Bytes data;
    int nibble = -1;
    for (const char ch : strHex) {
        if (ch == ' ' || ch == ':' || ch == '\t' || ch == '\n') {
            continue;
        }
        int value;
        if (ch >= '0' && ch <= '9') {
            value = ch - '0';
        } else if (ch >= 'a' && ch <= 'f') {
            value = ch - 'a' + 10;
        } else if (ch >= 'A' && ch <= 'F') {
            value = ch - 'A' + 10;
        } else {
            throw UsageError(std::string("--") + pszOption + " must be hexadecimal digits");
        }
        if (nibble < 0) {
            nibble = value;
        } else {
            data.push_back(static_cast<uint8_t>((nibble << 4) | value));
            nibble = -1;
        }
    }
    if (nibble >= 0) {
        throw UsageError(std::string("--") + pszOption + " has an odd number of hexadecimal digits");
    }
    if (data.empty()) {
        throw UsageError(std::string("--") + pszOption + " is empty");
    }
    return data;
}

} // namespace qvnksp
