// qvnksp: the key storage provider from the command line. It plays the CNG
// router: loads the module, asks for its function table and calls it.
#include "Commands.h"

#include <iostream>

namespace qvnksp
{
namespace
{

const char kUsage[] = "usage: qvnksp [--module PATH] [--json] COMMAND [OPTIONS]\n"
                      "\n"
                      "Uses the Quorvane TPM Key Storage Provider module the way the CNG router does\n"
                      "(LoadLibraryW, GetKeyStorageInterface, the function table) and shows every\n"
                      "call with its status in hex and by name.\n"
                      "\n"
                      "Commands:\n"
                      "  demo            sign, verify, encrypt and decrypt end to end on a fresh key store\n"
                      "  providers       the five provider names: GetKeyStorageInterface and OpenProvider\n"
                      "  properties      the provider properties of \"Quorvane TPM Key Storage Provider\"\n"
                      "  container       create | delete | list key containers of a CSP (CryptoAPI)\n"
                      "  export-public   write a container key's public key as PEM (CryptoAPI)\n"
                      "  sign            sign a file or a digest through the provider\n"
                      "  verify          verify a signature through the provider\n"
                      "  encrypt         encrypt a file through the provider\n"
                      "  decrypt         decrypt a file through the provider\n"
                      "  register        call the module's DllRegisterServer\n"
                      "  unregister      call the module's DllUnregisterServer\n"
                      "  error           name a status value (NTE_*, STATUS_*, ERROR_*, HRESULT)\n"
                      "  doctor          check the installation link by link (--name CONTAINER: and a key)\n"
                      "\n"
                      "Options for every command:\n"
                      "  --module PATH   the module to load (default: "
#ifdef _WIN32
                      "QvnTpmKsp.dll in the system\n"
                      "                  folder of this process, where the provider's registration puts it:\n"
                      "                  SysWOW64 for the 32-bit qvnksp on 64-bit Windows)\n"
#else
                      "QvnTpmKsp.so next to qvnksp)\n"
#endif
                      "  --json          one JSON object on standard output and nothing else there, also\n"
                      "                  for a usage error; \"-\" as an output file is then refused\n"
                      "  --help          help for qvnksp or for one command (`qvnksp sign --help`)\n"
                      "\n"
#ifndef _WIN32
                      "Key containers live in the platform's store: $QVNPLATFORM_STORE, else\n"
                      "~/.local/share/qvnplatform/store (`demo` always uses a fresh temporary one).\n"
                      "\n"
#endif
                      "Exit status: 0 when every step gave what it should, 1 when one did not,\n"
                      "2 for a usage error.\n";

using CommandFn = int (*)(const Context &, const CommandArgs &);

struct Command {
    const char *pszName;
    CommandFn pfnRun;
};

int RunRegisterCommand(const Context &ctx, const CommandArgs &rgstrArgs)
{
    return RunRegister(ctx, rgstrArgs, true);
}
int RunUnregisterCommand(const Context &ctx, const CommandArgs &rgstrArgs)
{
    return RunRegister(ctx, rgstrArgs, false);
}

const Command g_rgCommands[] = {
    {"demo", RunDemo},
    {"providers", RunProviders},
    {"properties", RunProperties},
    {"container", RunContainer},
    {"export-public", RunExportPublic},
    {"sign", RunSign},
    {"verify", RunVerify},
    {"encrypt", RunEncrypt},
    {"decrypt", RunDecrypt},
    {"register", RunRegisterCommand},
    {"unregister", RunUnregisterCommand},
    {"error", RunError},
    {"doctor", RunDoctor},
};

int Usage(const std::string &strMessage, bool fJson)
{
    if (fJson) {
        PrintJsonUsageError("", strMessage);
        return kExitUsage;
    }
    std::cerr << "qvnksp: " << strMessage << "\n"
              << "usage: qvnksp [--module PATH] [--json] COMMAND [OPTIONS]\n"
              << "Run `qvnksp --help` for the commands.\n";
    return kExitUsage;
}

int Main(const std::vector<std::string> &rgstrArgv)
{
    Context ctx;
    ctx.strModulePath = DefaultModulePath();
    // --json decides the form of every message, usage errors included.
    for (const std::string &strArg : rgstrArgv) {
        ctx.fJson = ctx.fJson || strArg == "--json";
    }
    // Options of every command may stand anywhere; the rest goes to the command.
    CommandArgs rgstrRest;
    for (size_t i = 0; i < rgstrArgv.size(); ++i) {
        const std::string &strArg = rgstrArgv[i];
        const bool fModule = strArg == "--module" || strArg.compare(0, 9, "--module=") == 0;
        if (fModule && ctx.fModuleGiven) {
            return Usage("option --module given twice", ctx.fJson);
        }
        if (strArg == "--json") {
            continue;
        } else if (strArg == "--module") {
            if (i + 1 >= rgstrArgv.size()) {
                return Usage("option --module needs a value", ctx.fJson);
            }
            ctx.strModulePath = rgstrArgv[++i];
        } else if (fModule) {
            ctx.strModulePath = strArg.substr(9);
        } else {
            rgstrRest.push_back(strArg);
        }
        ctx.fModuleGiven = ctx.fModuleGiven || fModule;
    }
    if (rgstrRest.empty()) {
        return Usage("which command?", ctx.fJson);
    }
    const std::string strCommand = rgstrRest.front();
    if (strCommand == "--help" || strCommand == "-h" || strCommand == "help") {
        if (ctx.fJson) {
            std::cout << JsonObject({{"command", JsonString("")}, {"ok", JsonBool(true)}, {"help", JsonString(kUsage)}})
                      << std::endl;
        } else {
            std::cout << kUsage;
        }
        return kExitOk;
    }
    const CommandArgs rgstrCommandArgs(rgstrRest.begin() + 1, rgstrRest.end());
    for (const Command &command : g_rgCommands) {
        if (strCommand == command.pszName) {
            return command.pfnRun(ctx, rgstrCommandArgs);
        }
    }
    return Usage(strCommand[0] == '-' ? "unknown option " + strCommand : "unknown command \"" + strCommand + "\"",
                 ctx.fJson);
}

} // namespace
} // namespace qvnksp

#ifdef _WIN32
// Built with -municode: the arguments arrive as UTF-16 and are passed on as UTF-8.
int wmain(int argc, wchar_t **argv)
{
    qvnksp::SetUpConsoleOutput();
    std::vector<std::string> rgstrArgs;
    for (int i = 1; i < argc; ++i) {
        rgstrArgs.push_back(qvnksp::Narrow(argv[i]));
    }
    return qvnksp::Main(rgstrArgs);
}
#else
int main(int argc, char **argv)
{
    return qvnksp::Main(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
