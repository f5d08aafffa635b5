// What differs between the Windows and the Linux build of the tool, behind one
// small interface: text conversion, files, the tool's own location, and the
// throw-away key store of the demo.
#ifndef QVNKSP_HOST_H
#define QVNKSP_HOST_H

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qvnksp
{

using Bytes = std::vector<uint8_t>;
using WString = std::basic_string<WCHAR>;

// UTF-8 <-> UTF-16 (WCHAR is wchar_t on Windows, char16_t on Linux). Invalid
// sequences become U+FFFD.
WString Widen(const std::string &strUtf8);
std::string Narrow(const WCHAR *psz);
inline std::string Narrow(const WString &str)
{
    return Narrow(str.c_str());
}

// Text in the ANSI code page (what CryptoAPI's narrow parameters such as
// PP_ENUMCONTAINERS carry) as UTF-8. The Linux stand-in's code page is UTF-8.
std::string AnsiToUtf8(const char *psz);

// Whole-file I/O; "-" is standard input / output. On failure the message says
// why. A file larger than cbMax fails after reading cbMax + 1 bytes, not all of it.
bool ReadWholeFile(const std::string &strPath, Bytes &data, std::string &strError, size_t cbMax = SIZE_MAX);
bool WriteWholeFile(const std::string &strPath, const Bytes &data, std::string &strError);
// Whether strPath can be written, without leaving a file behind or changing one.
bool ProbeWritable(const std::string &strPath, std::string &strError);

// Standard error is a terminal (a console on Windows).
bool StandardErrorIsTerminal();
// On Windows, standard output and error that are consoles get the UTF-8 text
// written as Unicode (WriteConsoleW); redirected, they stay UTF-8 bytes.
void SetUpConsoleOutput();

// Where the module is looked for by default, without a trailing separator: on
// Windows the system folder of this process (where the registration's image
// is loaded from: SysWOW64 for a 32-bit process on 64-bit Windows), on Linux
// the folder of the running executable.
std::string DefaultModuleDirectory();
// The module's file name on this platform and the path separator.
const char *ModuleFileName();
char PathSeparator();

// A fresh, empty key store for the demo. On Linux: a new temporary directory
// made the platform's store; on Windows the real CSPs are used and this only
// picks a container name that no one else uses.
struct DemoStore {
    std::string strDirectory;     // empty on Windows
    std::string strContainerName; // the container the demo creates and deletes
};
bool CreateDemoStore(DemoStore &store, std::string &strError);
// Removes the temporary directory (Linux); nothing to do on Windows.
bool RemoveDemoStore(const DemoStore &store, std::string &strError);
// Where the platform keeps key containers, for display ("" when not known).
std::string CurrentStoreDescription();

} // namespace qvnksp

#endif
