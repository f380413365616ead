// The headless port: an in-memory screen for tests and for machines without
// a display. Windows exist only in the layer; their pixels are the layer's
// buffers. The functions below inject what a user and a window manager
// would do; they queue input exactly as a real port does.
#pragma once

#include "view/backend/wl/wl.h"

namespace oru::wl::headless {

// One 1024x768 screen at 96 DPI unless others are given (ids from 1 when 0).
std::unique_ptr<Port> make(std::vector<Monitor> screens = {});

void set_monitors(std::vector<Monitor> screens);  // and WM_DISPLAYCHANGE
void set_dpi(uint32_t monitor, int32_t dpi);      // and WM_DPICHANGED

// Keys: the scan code, extended bit and (unless given) the typed text come
// from the layout; the port keeps its own modifier state for the text.
void key(uint8_t vk, bool down);
void key(uint8_t vk, bool down, const std::string& text);
void press(uint8_t vk);  // down then up
void type(const std::string& ascii);  // Shift around the characters that need it

void move(Point screen);
void button(int32_t button, bool down);  // at the pointer
void click(Point screen, int32_t button = 1);
void wheel(int32_t delta, bool horizontal = false);
void close(Hwnd);
void configure(Hwnd, const Rect& window_rect);  // as a window manager would
void focus(Hwnd, bool in);

}  // namespace oru::wl::headless
