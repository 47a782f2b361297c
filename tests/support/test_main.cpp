// main() of the unit and end-to-end tests that need no testbed: the
// statically linked core is kept out of the machine's settings and log
// folders before any test runs.
#include <gtest/gtest.h>

#include "support/lib_folder.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    eklv::test::UseQuietModuleFolder();
    return RUN_ALL_TESTS();
}
