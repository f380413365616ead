// The X11 port of the window layer (see x11.cpp).
#pragma once

#include "view/backend/wl/wl.h"

namespace oru::wl::x11 {

// Opens $DISPLAY; null with the reason in `error` when there is none.
std::unique_ptr<Port> open(std::string& error);
// Whether a compositing manager runs (an owner of _NET_WM_CM_S0).
bool composition(Port&);
// The DPI of the X11 port (Xft.dpi, else 96); 96 for another port.
int32_t dpi(Port&);
// Marks a window dark or light for the window manager's decorations.
void set_dark(Port&, Hwnd, bool dark);

}  // namespace oru::wl::x11
