// The station view's page: its HTML, style sheet and script (page/), built
// into the program.
#pragma once

#include <vector>

#include "web_server.h"

namespace eklvctl {

std::vector<WebServer::Asset> StationPage();

}  // namespace eklvctl
