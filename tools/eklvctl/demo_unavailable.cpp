// The demo builds an emulated USB rig with umockdev, which exists on Linux
// only; elsewhere the command says so.
#include <iostream>

#include "commands.h"

namespace eklvctl {

int PrepareDemo(int, char**) {
    std::cerr << "eklvctl: the demo needs umockdev's emulated USB devices, which exist on Linux only; "
                 "run it with the Linux build"
              << std::endl;
    return kExitSetup;
}

int RunDemo(const CommonOptions&, const DemoOptions&, Interrupts&) { return kExitSetup; }

}  // namespace eklvctl
