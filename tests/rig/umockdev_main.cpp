// main() of tests that need a umockdev testbed: CTest, gtest discovery and
// a plain run from the shell all end up under umockdev-wrapper.
#include <gtest/gtest.h>

#include "rig/usb_rig.h"
#include "support/lib_folder.h"

int main(int argc, char** argv) {
    eklv::test::RunUnderUmockdev(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    eklv::test::UseQuietModuleFolder();
    return RUN_ALL_TESTS();
}
