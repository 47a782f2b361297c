// Test switch for pf::UsbPlaceOf: with it off the backend answers false,
// as the Win32 one does, so a test can compare the core's own walk and
// port scan with the one-question answer on the same tree.
#pragma once

namespace eklv::pf::lx {

void SetUsbPlaceAnswers(bool on);

}  // namespace eklv::pf::lx
