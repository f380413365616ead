// The headless port and its injection calls.
#include "view/backend/wl/headless.h"

#include "view/backend/wl/internal.h"

namespace oru::wl::headless {

namespace {

struct Headless : Port {
    std::vector<Monitor> screens;
    bool shift = false, control = false, alt = false;
    const char* name() const override { return "headless"; }
    std::vector<Monitor> monitors() override { return screens; }
};

Headless* current() { return running() ? dynamic_cast<Headless*>(&port()) : nullptr; }

void number(std::vector<Monitor>& screens) {
    if (screens.empty()) screens.push_back({0, "screen-1", {0, 0, 1024, 768}, {0, 0, 1024, 768}, 96});
    for (size_t i = 0; i < screens.size(); ++i)
        if (!screens[i].id) screens[i].id = uint32_t(i + 1);
}

}  // namespace

std::unique_ptr<Port> make(std::vector<Monitor> screens) {
    auto p = std::make_unique<Headless>();
    number(screens);
    p->screens = std::move(screens);
    return p;
}

void set_monitors(std::vector<Monitor> screens) {
    number(screens);
    current()->screens = std::move(screens);
    input_display_change();
}

void set_dpi(uint32_t monitor, int32_t dpi) {
    for (Monitor& m : current()->screens)
        if (m.id == monitor) m.dpi = dpi;
    input_dpi(monitor, dpi);
}

void key(uint8_t v, bool down, const std::string& text) {
    Headless* h = current();
    uint32_t scan = detail::scan_of(v);
    bool extended = detail::extended_of(v);
    if (v == vk::shift || v == vk::lshift || v == vk::rshift) h->shift = down;
    if (v == vk::control || v == vk::lcontrol || v == vk::rcontrol) h->control = down;
    if (v == vk::menu || v == vk::lmenu || v == vk::rmenu) h->alt = down;
    input_key(v, scan, extended, down, down ? text : std::string());
}

void key(uint8_t v, bool down) {
    Headless* h = current();
    std::string text;
    char16_t c = key_char(v, h->shift);
    if (h->control && !h->alt) {
        // Control and a letter types its control character; other keys type nothing.
        if (v >= 'A' && v <= 'Z') text = std::string(1, char(v - 'A' + 1));
    } else if (c) {
        text = std::string(1, char(c));
    }
    key(v, down, text);
}

void press(uint8_t v) {
    key(v, true);
    key(v, false);
}

void type(const std::string& ascii) {
    for (char c : ascii) {
        int16_t k = vk_key_scan(char16_t(uint8_t(c)));
        if (k < 0) continue;
        bool shifted = k & 0x100;
        if (shifted) key(vk::lshift, true);
        press(uint8_t(k & 0xFF));
        if (shifted) key(vk::lshift, false);
    }
}

void move(Point p) { input_pointer(p); }
void button(int32_t b, bool down) { input_button(b, down, get_cursor_pos()); }
void click(Point p, int32_t b) {
    input_pointer(p);
    input_button(b, true, p);
    input_button(b, false, p);
}
void wheel(int32_t delta, bool horizontal) { input_wheel(delta, horizontal, get_cursor_pos()); }
void close(Hwnd h) { input_close(h); }
void configure(Hwnd h, const Rect& r) { input_configure(h, r); }
void focus(Hwnd h, bool in) { input_focus(h, in); }

}  // namespace oru::wl::headless
