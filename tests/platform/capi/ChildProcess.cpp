#include "ChildProcess.h"

#include <TestSupport.h>

#include <qvnplatform.h>
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace capitest
{
namespace
{

using qvntest::Bytes;

std::string SelfPath()
{
    char szPath[4096];
    const ssize_t cb = readlink("/proc/self/exe", szPath, sizeof(szPath) - 1);
    if (cb <= 0) {
        return std::string();
    }
    szPath[cb] = 0;
    return szPath;
}

Bytes FromHex(const std::string &strHex)
{
    Bytes bytes;
    for (size_t i = 0; i + 1 < strHex.size(); i += 2) {
        bytes.push_back(static_cast<BYTE>(std::stoi(strHex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// create-key <container> <bits>: a new container with a generated, exportable
// exchange key; prints its PUBLICKEYBLOB.
int CreateKey(const qvntest::WString &strContainer, DWORD dwBits)
{
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey = 0;
    if (!CryptAcquireContextW(&hProv, strContainer.c_str(), qvntest::kAlderProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET) ||
        !CryptGenKey(hProv, AT_KEYEXCHANGE, dwBits << 16 | CRYPT_EXPORTABLE, &hKey)) {
        std::fprintf(stderr, "child: create-key failed with 0x%08x\n", static_cast<unsigned>(GetLastError()));
        return 2;
    }
    Bytes blob(4096);
    DWORD cbBlob = static_cast<DWORD>(blob.size());
    if (!CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, blob.data(), &cbBlob)) {
        return 3;
    }
    blob.resize(cbBlob);
    std::printf("%s\n", qvntest::Hex(blob).c_str());
    CryptDestroyKey(hKey);
    CryptReleaseContext(hProv, 0);
    return 0;
}

// sign <container> <hash hex>: signs a SHA-256 value with the container's
// exchange key; prints the signature as CryptSignHashW gives it.
int Sign(const qvntest::WString &strContainer, const Bytes &hash)
{
    HCRYPTPROV hProv = 0;
    HCRYPTHASH hHash = 0;
    Bytes signature(2048);
    DWORD cbSignature = static_cast<DWORD>(signature.size());
    if (!CryptAcquireContextW(&hProv, strContainer.c_str(), qvntest::kAlderProvider, PROV_RSA_FULL, 0) ||
        !CryptCreateHash(hProv, CALG_SHA_256, 0, 0, &hHash) || !CryptSetHashParam(hHash, HP_HASHVAL, hash.data(), 0) ||
        !CryptSignHashW(hHash, AT_KEYEXCHANGE, nullptr, 0, signature.data(), &cbSignature)) {
        std::fprintf(stderr, "child: sign failed with 0x%08x\n", static_cast<unsigned>(GetLastError()));
        return 2;
    }
    signature.resize(cbSignature);
    std::printf("%s\n", qvntest::Hex(signature).c_str());
    CryptDestroyHash(hHash);
    CryptReleaseContext(hProv, 0);
    return 0;
}

// churn <prefix> <count> <shared container>: creates containers <prefix>0 ..
// with a generated exchange key each, replacing the shared container's
// exchange key after each one.
int Churn(const std::string &strPrefix, int cContainers, const qvntest::WString &strShared)
{
    for (int i = 0; i < cContainers; ++i) {
        const qvntest::WString strName = qvntest::Wide(strPrefix + std::to_string(i));
        HCRYPTPROV hProv = 0;
        HCRYPTKEY hKey = 0;
        if (!CryptAcquireContextW(&hProv, strName.c_str(), qvntest::kAlderProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET) ||
            !CryptGenKey(hProv, AT_KEYEXCHANGE, 512u << 16, &hKey)) {
            std::fprintf(stderr, "child: churn create failed with 0x%08x\n", static_cast<unsigned>(GetLastError()));
            return 2;
        }
        CryptDestroyKey(hKey);
        CryptReleaseContext(hProv, 0);
        if (!CryptAcquireContextW(&hProv, strShared.c_str(), qvntest::kAlderProvider, PROV_RSA_FULL, 0) ||
            !CryptGenKey(hProv, AT_KEYEXCHANGE, 512u << 16, &hKey)) {
            std::fprintf(stderr, "child: churn shared failed with 0x%08x\n", static_cast<unsigned>(GetLastError()));
            return 3;
        }
        CryptDestroyKey(hKey);
        CryptReleaseContext(hProv, 0);
    }
    std::printf("ok\n");
    return 0;
}

// Handles that ReleaseAtExit gives back after main has returned.
HCRYPTPROV g_hExitProv = 0;
HCRYPTKEY g_hExitKey = 0;
HCRYPTHASH g_hExitHash = 0;

void ReleaseAtExit()
{
    const bool fOk =
        CryptDestroyHash(g_hExitHash) && CryptDestroyKey(g_hExitKey) && CryptReleaseContext(g_hExitProv, 0);
    if (!fOk) {
        _exit(4);
    }
}

// release-at-exit <container>: uses a key, then leaves its handles to be
// released during process exit, after the C++ and OpenSSL clean-up that
// exit() runs first (as a module's process detach does).
int ReleaseHandlesAtExit(const qvntest::WString &strContainer)
{
    std::atexit(ReleaseAtExit); // registered before OpenSSL is first used, so it runs after its clean-up
    Bytes signature(512);
    DWORD cbSignature = static_cast<DWORD>(signature.size());
    const Bytes value(32, 7);
    if (!CryptAcquireContextW(&g_hExitProv, strContainer.c_str(), qvntest::kAlderProvider, PROV_RSA_FULL, 0) ||
        !CryptGetUserKey(g_hExitProv, AT_KEYEXCHANGE, &g_hExitKey) ||
        !CryptCreateHash(g_hExitProv, CALG_SHA_256, 0, 0, &g_hExitHash) ||
        !CryptSetHashParam(g_hExitHash, HP_HASHVAL, value.data(), 0) ||
        !CryptSignHashW(g_hExitHash, AT_KEYEXCHANGE, nullptr, 0, signature.data(), &cbSignature)) {
        return 2;
    }
    std::printf("ok\n");
    return 0;
}

} // namespace

int StartChild(const std::vector<std::string> &args, int *pfdOutput)
{
    const std::string strSelf = SelfPath();
    std::vector<std::string> argv = {strSelf, "--qvn-child"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char *> pointers;
    for (std::string &strArg : argv) {
        pointers.push_back(&strArg[0]);
    }
    pointers.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0) {
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    pid_t pid = -1;
    const int iError = posix_spawn(&pid, strSelf.c_str(), &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (iError != 0) {
        close(fds[0]);
        return -1;
    }
    *pfdOutput = fds[0];
    return pid;
}

ChildResult FinishChild(int pid, int fdOutput)
{
    ChildResult result;
    char buffer[4096];
    ssize_t cb;
    while ((cb = read(fdOutput, buffer, sizeof(buffer))) > 0) {
        result.strOutput.append(buffer, static_cast<size_t>(cb));
    }
    close(fdOutput);
    int iStatus = 0;
    if (waitpid(pid, &iStatus, 0) == pid && WIFEXITED(iStatus)) {
        result.iExitCode = WEXITSTATUS(iStatus);
    }
    while (!result.strOutput.empty() && result.strOutput.back() == '\n') {
        result.strOutput.pop_back();
    }
    return result;
}

ChildResult RunChild(const std::vector<std::string> &args)
{
    int fdOutput = -1;
    const int pid = StartChild(args, &fdOutput);
    if (pid < 0) {
        return ChildResult();
    }
    return FinishChild(pid, fdOutput);
}

int ChildMain(int argc, char **argv)
{
    // argv: <mode> <store> <mode arguments...>
    if (argc < 2) {
        return 100;
    }
    const std::string strMode = argv[0];
    QvnPlatformSetStoreDirectory(argv[1]);
    if (strMode == "create-key" && argc == 4) {
        return CreateKey(qvntest::Wide(argv[2]), static_cast<DWORD>(std::atoi(argv[3])));
    }
    if (strMode == "sign" && argc == 4) {
        return Sign(qvntest::Wide(argv[2]), FromHex(argv[3]));
    }
    if (strMode == "release-at-exit" && argc == 3) {
        return ReleaseHandlesAtExit(qvntest::Wide(argv[2]));
    }
    if (strMode == "churn" && argc == 5) {
        return Churn(argv[2], std::atoi(argv[3]), qvntest::Wide(argv[4]));
    }
    return 101;
}

} // namespace capitest
