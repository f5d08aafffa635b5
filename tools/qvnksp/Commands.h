// The subcommands of qvnksp and what they share.
#ifndef QVNKSP_COMMANDS_H
#define QVNKSP_COMMANDS_H

#include "Args.h"
#include "Host.h"
#include "Report.h"
#include "Router.h"

#include <functional>
#include <string>
#include <vector>

namespace qvnksp
{

// Options that every command takes (parsed before the command's own).
struct Context {
    std::string strModulePath;
    bool fModuleGiven = false; // --module, rather than the default place
    bool fJson = false;
};

using CommandArgs = std::vector<std::string>;

int RunDemo(const Context &ctx, const CommandArgs &rgstrArgs);
int RunProviders(const Context &ctx, const CommandArgs &rgstrArgs);
int RunProperties(const Context &ctx, const CommandArgs &rgstrArgs);
int RunRegister(const Context &ctx, const CommandArgs &rgstrArgs, bool fRegister);
int RunContainer(const Context &ctx, const CommandArgs &rgstrArgs);
int RunExportPublic(const Context &ctx, const CommandArgs &rgstrArgs);
int RunSign(const Context &ctx, const CommandArgs &rgstrArgs);
int RunVerify(const Context &ctx, const CommandArgs &rgstrArgs);
int RunEncrypt(const Context &ctx, const CommandArgs &rgstrArgs);
int RunDecrypt(const Context &ctx, const CommandArgs &rgstrArgs);
int RunError(const Context &ctx, const CommandArgs &rgstrArgs);
int RunDoctor(const Context &ctx, const CommandArgs &rgstrArgs);

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Runs a command body; --help prints strUsage to standard output, a UsageError
// prints the message and strUsage to standard error and gives kExitUsage. With
// --json both are one JSON object on standard output instead.
int WithUsage(const Context &ctx, const std::string &strCommand, const char *pszUsage,
              const std::function<int()> &body);
// A usage error as --json prints it: {"command", "ok": false, "usage_error"}.
void PrintJsonUsageError(const std::string &strCommand, const std::string &strMessage);
// With --json standard output carries the JSON object alone: "-" as an output
// file is refused (a UsageError), so data and report never mix.
void RefuseStandardOutputWithJson(const Context &ctx, const std::string &strPath, const char *pszOption);
// Fails (and says why) when strPath cannot be written, before any work is done:
// an existing file is opened for appending, a new one created and removed again.
bool CheckWritable(Report &report, const std::string &strPath);
// Thrown by a body that saw --help.
struct HelpRequested {
};

// Loads the module and shows where it came from. False when it cannot be used.
bool LoadModuleSection(Report &report, Router &router, const Context &ctx);

// A key of a CSP container, as the key commands name it.
struct KeyTarget {
    std::string strCsp;  // full provider name
    std::string strName; // container name
    DWORD dwKeySpec = 0;
    DWORD dwOpenFlags = 0; // NCRYPT_MACHINE_KEY_FLAG, NCRYPT_SILENT_FLAG
};
// --csp (default Alder), --name (required), --spec (default exchange), --machine, --silent.
KeyTarget ParseKeyTarget(const Args &args);
#define QVNKSP_KEY_OPTIONS                                                                                             \
    {"csp", true}, {"name", true}, {"spec", true}, {"machine", false},                                                 \
    {                                                                                                                  \
        "silent", false                                                                                                \
    }

// GetProviderProperty of "Impl Type", "Version" and "Max Name Length", and
// EnumAlgorithms, on a provider opened under the key storage provider name.
void ShowProviderProperties(Report &report, const TableSession &session);

// "SHA256", "sha256" -> "SHA256"; "none" -> ""; anything else throws UsageError.
std::string ParseHashName(const std::string &strGiven);
// Hex digits, optionally separated by blanks or colons; throws UsageError.
Bytes ParseHex(const std::string &strHex, const char *pszOption);

} // namespace qvnksp

#endif
