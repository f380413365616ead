// The X11 port against an Xvfb server that the ctest fixture starts: keys
// typed, buttons clicked and wheels turned by xdotool give the messages that
// the same input gives on the headless port; the window manager's close and
// moves become WM_CLOSE, WM_MOVE and WM_SIZE; Xft.dpi set by xrdb becomes
// the DPI, with WM_DPICHANGED.
#include "view/backend/wl/headless.h"
#include "view/backend/wl/select.h"
#include "view/backend/wl/wl.h"
#include "view/backend/wl/x11.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstdlib>
#include <fstream>
#include <functional>

using namespace oru::wl;

namespace {

std::string display_name() {
    const char* dir = std::getenv("ORU_XVFB_DIR");
    if (!dir) return "";
    std::ifstream in(std::string(dir) + "/display");
    std::string n;
    in >> n;
    return n.empty() ? "" : ":" + n;
}

struct Seen {
    uint32_t message;
    WParam wparam;
    LParam lparam;
    bool operator==(const Seen&) const = default;
};
std::vector<Seen> seen;

LResult proc(Hwnd h, uint32_t m, WParam wp, LParam lp) {
    switch (m) {
    case wm::keydown:
    case wm::keyup:
    case wm::char_:
    case wm::lbuttondown:
    case wm::lbuttonup:
    case wm::rbuttondown:
    case wm::rbuttonup:
    case wm::mousewheel:
    case wm::close:
    case wm::move:
    case wm::size:
    case wm::dpichanged: seen.push_back({m, wp, lp}); break;
    default: break;
    }
    if (m == wm::close) return 0;  // kept open: the test closes it
    return def_window_proc(h, m, wp, lp);
}

int run(const std::string& command) { return std::system(command.c_str()); }

class X11Port : public ::testing::Test {
protected:
    std::string display;
    void SetUp() override {
        display = display_name();
        if (display.empty()) GTEST_SKIP() << "no Xvfb from the test fixture";
        setenv("DISPLAY", display.c_str(), 1);
        unsetenv("ORU_GUI");
        run("xrdb -remove 2>/dev/null");
        std::string error;
        auto port = open_port(error);
        ASSERT_TRUE(port) << error;
        ASSERT_STREQ(port->name(), "x11");
        init(std::move(port));
        register_class({"W", cs::dblclks, proc, 0, 0xFFFFFFFF});
        seen.clear();
    }
    void TearDown() override {
        if (running()) shutdown();
    }
    // Pumps for up to `ms`, until `enough` says so.
    void pump_for(int ms, std::function<bool()> enough = [] { return false; }) {
        set_timer(0, 999, 10);
        uint32_t end = now_ms() + uint32_t(ms);
        Msg m;
        while (now_ms() < end && get_message(m) > 0) {
            translate_message(m);
            dispatch_message(m);
            if (enough()) break;
        }
        kill_timer(0, 999);
    }
    Hwnd shown_window() {
        Hwnd w = create_window(0, "W", "x11-test", ws::visible | ws::caption, 100, 100, 300, 200, 0);
        pump_for(2000, [&] { return get_focus() == w && get_pixel(w, {5, 5}) == 0xFFFFFFFF; });
        seen.clear();
        return w;
    }
    std::vector<Seen> only(std::initializer_list<uint32_t> kinds) {
        std::vector<Seen> out;
        for (const Seen& s : seen)
            if (std::find(kinds.begin(), kinds.end(), s.message) != kinds.end()) out.push_back(s);
        return out;
    }
};

// The same key input on the headless port.
std::vector<Seen> headless_keys(std::function<void()> inject) {
    init(headless::make());
    register_class({"W", 0, proc, 0, 0});
    Hwnd w = create_window(0, "W", "", ws::visible, 0, 0, 10, 10, 0);
    set_focus(w);
    seen.clear();
    inject();
    Msg m;
    while (peek_message(m, true)) {
        translate_message(m);
        dispatch_message(m);
    }
    std::vector<Seen> out;
    for (const Seen& s : seen)
        if (s.message == wm::keydown || s.message == wm::keyup || s.message == wm::char_)
            out.push_back({s.message, s.wparam, s.lparam & 0x01FF0000});
    shutdown();
    return out;
}

TEST_F(X11Port, TypedKeysMatchTheHeadlessPort) {
    Hwnd w = shown_window();
    ASSERT_EQ(get_focus(), w) << "focus given without a window manager";
    ASSERT_EQ(run("xdotool key a shift+b Left ctrl+a"), 0);
    pump_for(2000, [] { return std::count_if(seen.begin(), seen.end(), [](const Seen& s) {
                                   return s.message == wm::keyup;
                               }) >= 7; });
    std::vector<Seen> got;
    for (const Seen& s : only({wm::keydown, wm::keyup, wm::char_})) got.push_back({s.message, s.wparam, s.lparam & 0x01FF0000});
    shutdown();
    std::vector<Seen> expected = headless_keys([] {
        headless::press('A');
        // xdotool lets go of the modifier before the key.
        headless::key(vk::lshift, true);
        headless::key('B', true);
        headless::key(vk::lshift, false);
        headless::key('B', false);
        headless::press(vk::left);
        headless::key(vk::lcontrol, true);
        headless::key('A', true);
        headless::key(vk::lcontrol, false);
        headless::key('A', false);
    });
    EXPECT_EQ(got, expected);
    EXPECT_EQ(got.size(), 15u);
}

TEST_F(X11Port, ClicksAndWheelsAtClientCoordinates) {
    Hwnd w = shown_window();
    Point origin = client_to_screen(w, {0, 0});
    std::string at = std::to_string(origin.x + 30) + " " + std::to_string(origin.y + 40);
    ASSERT_EQ(run("xdotool mousemove " + at + " click 1 click 3 click 4 click 5"), 0);
    pump_for(2000, [] { return std::count_if(seen.begin(), seen.end(), [](const Seen& s) {
                                   return s.message == wm::mousewheel;
                               }) >= 2; });
    std::vector<Seen> got = only({wm::lbuttondown, wm::lbuttonup, wm::rbuttondown, wm::rbuttonup, wm::mousewheel});
    ASSERT_EQ(got.size(), 6u);
    LParam client = (40 << 16) | 30;
    EXPECT_EQ(got[0], (Seen{wm::lbuttondown, mk::lbutton, client}));
    EXPECT_EQ(got[1], (Seen{wm::lbuttonup, 0, client}));
    EXPECT_EQ(got[2].message, wm::rbuttondown);
    EXPECT_EQ(got[4].wparam >> 16, 120u) << "button 4 is a wheel notch away from the user";
    EXPECT_EQ(int16_t(got[5].wparam >> 16), -120);
    EXPECT_EQ(got[4].lparam, LParam(((origin.y + 40) << 16) | (origin.x + 30))) << "wheel points are on the screen";
}

TEST_F(X11Port, CloseMoveAndSizeFromOutside) {
    Hwnd w = shown_window();
    std::string id = "$(xdotool search --name '^x11-test$' | head -1)";
    ASSERT_EQ(run("xdotool windowmove " + id + " 150 120 windowsize " + id + " 320 240"), 0);
    pump_for(2000, [] {
        return std::any_of(seen.begin(), seen.end(),
                           [](const Seen& s) { return s.message == wm::size && s.lparam == ((240 << 16) | 320); });
    });
    EXPECT_EQ(get_client_rect(w), (Rect{0, 0, 320, 240}));
    EXPECT_EQ(client_to_screen(w, {0, 0}), (Point{150, 120}));
    EXPECT_EQ(get_pixel(w, {310, 230}), 0xFFFFFFFFu) << "the grown area was repainted";
    // A window manager's close request.
    Display* other = XOpenDisplay(display.c_str());
    ASSERT_TRUE(other);
    Window xid = 0;
    {
        FILE* p = popen("xdotool search --name '^x11-test$' | head -1", "r");
        ASSERT_TRUE(p);
        unsigned long v = 0;
        if (fscanf(p, "%lu", &v) != 1) v = 0;
        pclose(p);
        xid = Window(v);
    }
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = xid;
    e.xclient.message_type = XInternAtom(other, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = long(XInternAtom(other, "WM_DELETE_WINDOW", False));
    XSendEvent(other, xid, False, NoEventMask, &e);
    XCloseDisplay(other);
    pump_for(2000, [&] { return !only({wm::close}).empty(); });
    EXPECT_EQ(only({wm::close}).size(), 1u);
}

TEST_F(X11Port, XftDpiIsTheDpiOfEveryMonitor) {
    EXPECT_EQ(x11::dpi(port()), 96) << "not the server's millimetres";
    Hwnd w = shown_window();
    EXPECT_EQ(get_dpi_for_window(w), 96);
    ASSERT_EQ(run("echo 'Xft.dpi: 144' | xrdb -merge"), 0);
    pump_for(2000, [&] { return !only({wm::dpichanged}).empty(); });
    EXPECT_EQ(x11::dpi(port()), 144);
    for (const Monitor& m : monitors()) EXPECT_EQ(m.dpi, 144) << m.name;
    ASSERT_EQ(only({wm::dpichanged}).size(), 1u);
    EXPECT_EQ(only({wm::dpichanged})[0].wparam, WParam(144 | (144 << 16)));
    run("xrdb -remove");
}

}  // namespace
