// A second process of the test binary, for persistence and cross-process
// locking tests: the parent runs the binary again with "--qvn-child" and a
// mode; the child does one job against the store and reports on stdout.
#ifndef QVN_TESTS_PLATFORM_CAPI_CHILDPROCESS_H
#define QVN_TESTS_PLATFORM_CAPI_CHILDPROCESS_H

#include <string>
#include <vector>

namespace capitest
{

struct ChildResult {
    int iExitCode = -1;
    std::string strOutput;
};

// Starts the child with the arguments after "--qvn-child"; returns its pid.
int StartChild(const std::vector<std::string> &args, int *pfdOutput);
// Waits for a started child and collects its output.
ChildResult FinishChild(int pid, int fdOutput);
// Both at once.
ChildResult RunChild(const std::vector<std::string> &args);

// In the child: runs the mode named in argv (after "--qvn-child"); returns the
// exit code.
int ChildMain(int argc, char **argv);

} // namespace capitest

#endif
