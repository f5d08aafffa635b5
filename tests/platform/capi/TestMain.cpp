// The test binary's entry: GoogleTest, or one child job when started with
// "--qvn-child" by a test that needs a second process.
#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <cstring>

int main(int argc, char **argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "--qvn-child") == 0) {
        return capitest::ChildMain(argc - 2, argv + 2);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
