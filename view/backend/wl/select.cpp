// Choosing the port from ORU_GUI and DISPLAY.
#include "view/backend/wl/select.h"

#include "view/backend/wl/headless.h"
#include "view/backend/wl/x11.h"

#include <cstdlib>
#include <cstring>

namespace oru::wl {

std::unique_ptr<Port> open_port(std::string& error) {
    const char* wanted = std::getenv("ORU_GUI");
    if (wanted && std::strcmp(wanted, "headless") == 0) return headless::make();
    if (wanted && *wanted && std::strcmp(wanted, "x11") != 0) {
        error = std::string("unknown ORU_GUI \"") + wanted + "\" (x11 or headless)";
        return nullptr;
    }
    return x11::open(error);
}

}  // namespace oru::wl
