// Choosing the port: ORU_GUI=x11 or headless; by default X11 when DISPLAY
// opens. With no display and no ORU_GUI=headless there is no port and the
// caller reports `error`, which names the missing display.
#pragma once

#include "view/backend/wl/wl.h"

namespace oru::wl {

std::unique_ptr<Port> open_port(std::string& error);

}  // namespace oru::wl
