// The window layer on the headless port with a manual clock: queue order,
// handles, destruction while dispatching, hit tests, focus and capture,
// double clicks, keys, timers, painting and monitors.
#include "view/backend/wl/headless.h"
#include "view/backend/wl/select.h"
#include "view/backend/wl/wl.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

using namespace oru::wl;

namespace {

struct Seen {
    Hwnd hwnd;
    uint32_t message;
    WParam wparam;
    LParam lparam;
};
std::vector<Seen> seen;
std::function<LResult(Hwnd, uint32_t, WParam, LParam)> behaviour;
Hwnd transparent_window = 0;

// Records what a test watches and leaves the rest to the default procedure.
LResult recording_proc(Hwnd h, uint32_t m, WParam wp, LParam lp) {
    if (m == wm::nchittest && h == transparent_window) return ht_transparent;
    if (m != wm::nchittest && m != wm::erasebkgnd && m != wm::showwindow && m != wm::windowposchanged)
        seen.push_back({h, m, wp, lp});
    if (behaviour) {
        LResult r = behaviour(h, m, wp, lp);
        if (r != INT64_MIN) return r;
    }
    return def_window_proc(h, m, wp, lp);
}

class WindowLayer : public ::testing::Test {
protected:
    ManualClock clock;
    void SetUp() override {
        init(headless::make(), &clock);
        register_class({"Rec", cs::dblclks, recording_proc, 0, 0xFFFFFFFF});
        register_class({"Plain", 0, recording_proc, 0, 0xFF0000FF});
        seen.clear();
        behaviour = nullptr;
        transparent_window = 0;
    }
    void TearDown() override {
        behaviour = nullptr;
        shutdown();
    }
    Hwnd top(int x = 100, int y = 100, int w = 200, int h = 150) {
        return create_window(0, "Rec", "top", ws::visible, x, y, w, h, 0);
    }
    Hwnd child(Hwnd parent, int x, int y, int w, int h, uint32_t extra = 0, const char* cls = "Rec") {
        return create_window(0, cls, "", ws::child | ws::visible | extra, x, y, w, h, parent);
    }
    // Takes and dispatches every message; stops at a quit or an empty queue.
    std::vector<Msg> pump(bool dispatch = true) {
        std::vector<Msg> taken;
        Msg m;
        while (peek_message(m, true)) {
            taken.push_back(m);
            if (m.message == wm::quit) break;
            translate_message(m);
            if (dispatch) dispatch_message(m);
        }
        return taken;
    }
    std::vector<uint32_t> messages_of(Hwnd h, std::initializer_list<uint32_t> wanted) {
        std::vector<uint32_t> out;
        for (const Seen& s : seen)
            if (s.hwnd == h && std::find(wanted.begin(), wanted.end(), s.message) != wanted.end())
                out.push_back(s.message);
        return out;
    }
};

TEST_F(WindowLayer, QueueOrderIsPostedInputQuitPaintTimer) {
    Hwnd w = top();
    pump();
    set_focus(w);
    set_timer(w, 7, 10);
    clock.advance_ms(10);
    invalidate_rect(w, nullptr, true);
    headless::key(vk::escape, true);
    post_quit_message(3);
    post_message(w, wm::user + 1);
    post_message(w, wm::user + 2);
    std::vector<uint32_t> order;
    Msg m;
    for (int i = 0; i < 6 && peek_message(m, true); ++i) {
        order.push_back(m.message);
        if (m.message != wm::quit) dispatch_message(m);
    }
    EXPECT_EQ(order, (std::vector<uint32_t>{wm::user + 1, wm::user + 2, wm::keydown, wm::quit, wm::paint, wm::timer}));
}

TEST_F(WindowLayer, PeekWithoutRemovingLeavesTheQueueAndKeyStateAlone) {
    Hwnd w = top();
    set_focus(w);
    pump();
    headless::key(vk::lshift, true);
    Msg m;
    ASSERT_TRUE(peek_message(m, false));
    EXPECT_EQ(m.message, wm::keydown);
    EXPECT_FALSE(get_key_state(vk::shift) & 0x8000) << "the key state changes when the message is taken";
    ASSERT_TRUE(peek_message(m, true));
    EXPECT_TRUE(get_key_state(vk::shift) & 0x8000);
    EXPECT_TRUE(get_key_state(vk::lshift) & 0x8000);
    EXPECT_FALSE(peek_message(m, true));
}

TEST_F(WindowLayer, ConsecutiveMovesCollapseIntoTheLast) {
    Hwnd w = top();
    pump();
    headless::move({110, 110});
    headless::move({120, 115});
    headless::move({130, 120});
    headless::button(1, true);
    headless::move({140, 125});
    std::vector<Msg> got = pump();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].message, wm::mousemove);
    EXPECT_EQ(got[0].lparam, (20 << 16) | 30);
    EXPECT_EQ(got[1].message, wm::lbuttondown);
    EXPECT_EQ(got[2].message, wm::mousemove);
    EXPECT_EQ(got[2].wparam & mk::lbutton, WParam(mk::lbutton)) << "the held button is in the move's flags";
    EXPECT_EQ(got[2].hwnd, w);
}

TEST_F(WindowLayer, StaleHandlesFailAndTypedSlotsRefuseIntegers) {
    Hwnd a = top();
    ASSERT_TRUE(is_window(a));
    EXPECT_TRUE(set_long(a, 60, 42));
    EXPECT_EQ(get_long(a, 60), 42);
    EXPECT_FALSE(set_long(a, WindowData::render_offset, 1)) << "pointer slots are typed";
    EXPECT_FALSE(set_long(a, 80, 1));
    EXPECT_FALSE(set_long(a, 2, 1));
    int object;
    window_data(a)->native = &object;
    EXPECT_EQ(window_data(a)->native, &object);
    destroy_window(a);
    EXPECT_FALSE(is_window(a));
    Hwnd b = top();
    EXPECT_NE(a, b) << "the slot is reused with a new generation";
    EXPECT_EQ(a & 0xFFFFF, b & 0xFFFFF);
    EXPECT_FALSE(is_window(a));
    EXPECT_EQ(get_long(a, 60), 0);
    EXPECT_EQ(window_data(b)->native, nullptr);
}

TEST_F(WindowLayer, DestructionWhileDispatching) {
    Hwnd w = top();
    Hwnd c = child(w, 10, 10, 50, 50);
    Hwnd other = top(400, 100);
    pump();
    set_focus(c);
    set_capture(c);
    set_timer(w, 1, 10);
    behaviour = [&](Hwnd h, uint32_t m, WParam, LParam) -> LResult {
        if (h == w && m == wm::user) {
            destroy_window(w);
            EXPECT_FALSE(is_window(w));
            EXPECT_EQ(get_window_text(w), "");  // the handle is dead, not dangling
            return 0;
        }
        return INT64_MIN;
    };
    seen.clear();
    post_message(w, wm::user);
    post_message(w, wm::user + 1);
    post_message(other, wm::user + 2);
    clock.advance_ms(20);
    pump();
    std::vector<std::pair<Hwnd, uint32_t>> order;
    for (const Seen& s : seen)
        if (s.message == wm::destroy || s.message == wm::ncdestroy || s.message >= wm::user || s.message == wm::timer)
            order.push_back({s.hwnd, s.message});
    EXPECT_EQ(order, (std::vector<std::pair<Hwnd, uint32_t>>{{w, wm::user},
                                                              {w, wm::destroy},
                                                              {c, wm::destroy},
                                                              {c, wm::ncdestroy},
                                                              {w, wm::ncdestroy},
                                                              {other, wm::user + 2}}));
    EXPECT_EQ(get_focus(), other) << "activation moved to the remaining window, which took the focus";
    EXPECT_EQ(get_capture(), 0u);
    EXPECT_EQ(get_active_window(), other);
}

TEST_F(WindowLayer, HitTestsPassHiddenDisabledAndTransparentChildren) {
    Hwnd w = top(100, 100, 300, 200);
    Hwnd under = child(w, 10, 10, 100, 100);
    Hwnd hidden = child(w, 10, 10, 100, 100);
    Hwnd disabled = child(w, 10, 10, 100, 100, ws::disabled);
    Hwnd see_through = child(w, 10, 10, 100, 100);
    Hwnd nested = child(under, 20, 20, 30, 30);
    show_window(hidden, sw::hide);
    transparent_window = see_through;
    pump();
    // Children are listed top first: see_through, disabled, hidden, under.
    EXPECT_EQ(window_from_point({100 + 10 + 25, 100 + 10 + 25}), nested);
    EXPECT_EQ(window_from_point({100 + 15, 100 + 15}), under);
    EXPECT_EQ(window_from_point({100 + 200, 100 + 150}), w);
    EXPECT_EQ(window_from_point({50, 50}), 0u);
    EXPECT_EQ(child_at(w, {15, 15}), under);
    (void)disabled;
    headless::click({100 + 10 + 25, 100 + 10 + 26});
    std::vector<Msg> got = pump();
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[1].hwnd, nested);
    EXPECT_EQ(got[1].lparam, (6 << 16) | 5) << "client coordinates of the hit window";
}

TEST_F(WindowLayer, CaptureTakesTheMouseAndFocusMovesWithNotices) {
    Hwnd a = top(0, 0, 100, 100);
    Hwnd b = top(200, 0, 100, 100);
    Hwnd ac = child(a, 0, 0, 50, 50);
    pump();
    EXPECT_EQ(get_active_window(), b) << "the last shown window is active";
    seen.clear();
    set_focus(ac);
    EXPECT_EQ(get_active_window(), a);
    EXPECT_EQ(get_focus(), ac);
    std::vector<std::pair<Hwnd, uint32_t>> order;
    for (const Seen& s : seen)
        if (s.message == wm::activate || s.message == wm::setfocus || s.message == wm::killfocus)
            order.push_back({s.hwnd, s.message});
    // Activating the other top-level focuses it first, as its WM_ACTIVATE does.
    EXPECT_EQ(order, (std::vector<std::pair<Hwnd, uint32_t>>{{b, wm::activate},
                                                              {a, wm::activate},
                                                              {b, wm::killfocus},
                                                              {a, wm::setfocus},
                                                              {a, wm::killfocus},
                                                              {ac, wm::setfocus}}));
    set_capture(ac);
    headless::move({250, 50});
    std::vector<Msg> got = pump();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].hwnd, ac);
    EXPECT_EQ(got[0].lparam, (50 << 16) | 250) << "coordinates stay relative to the capturing window";
    seen.clear();
    release_capture();
    EXPECT_EQ(messages_of(ac, {wm::capturechanged}).size(), 1u);
    headless::move({251, 50});
    got = pump();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].hwnd, b);
    // Keys go to the focus.
    headless::key('K', true);
    got = pump();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].hwnd, ac);
}

TEST_F(WindowLayer, MouseLeaveOnceWhenTracked) {
    Hwnd a = top(0, 0, 100, 100);
    Hwnd b = top(100, 0, 100, 100);
    pump();
    headless::move({10, 10});
    pump();
    track_mouse_leave(a);
    headless::move({20, 10});
    headless::button(1, true);  // keeps the two moves apart
    headless::button(1, false);
    headless::move({150, 10});
    headless::move({160, 10});
    std::vector<Msg> got = pump();
    std::vector<std::pair<Hwnd, uint32_t>> order;
    for (const Msg& m : got) order.push_back({m.hwnd, m.message});
    EXPECT_EQ(order, (std::vector<std::pair<Hwnd, uint32_t>>{{a, wm::mousemove},
                                                              {a, wm::lbuttondown},
                                                              {a, wm::lbuttonup},
                                                              {a, wm::mouseleave},
                                                              {b, wm::mousemove}}));
}

TEST_F(WindowLayer, DoubleClicks) {
    Hwnd dbl = top(0, 0, 100, 100);
    Hwnd plain = create_window(0, "Plain", "", ws::visible, 200, 0, 100, 100, 0);
    pump();
    const struct {
        const char* name;
        Hwnd window;
        int64_t gap_ms;
        int32_t dx, dy;
        uint32_t second;
    } cases[] = {
        {"quick and close", dbl, 400, 2, 2, wm::lbuttondblclk},
        {"at the limits", dbl, 500, 4, -4, wm::lbuttondblclk},
        {"too slow", dbl, 501, 0, 0, wm::lbuttondown},
        {"too far", dbl, 100, 5, 0, wm::lbuttondown},
        {"class without double clicks", plain, 100, 0, 0, wm::lbuttondown},
    };
    for (const auto& c : cases) {
        clock.advance_ms(2000);
        Rect r = get_window_rect(c.window);
        Point p{r.left + 50, r.top + 50};
        headless::click(p);
        pump();
        clock.advance_ms(c.gap_ms);
        headless::click({p.x + c.dx, p.y + c.dy});
        std::vector<Msg> got = pump();
        uint32_t second = 0;
        for (const Msg& m : got)
            if (m.message != wm::mousemove && m.message != wm::lbuttonup) second = m.message;
        EXPECT_EQ(second, c.second) << c.name;
    }
    // A third quick click starts a new pair.
    clock.advance_ms(2000);
    for (int i = 0; i < 3; ++i) headless::click({50, 50});
    std::vector<uint32_t> downs;
    for (const Msg& m : pump())
        if (m.message == wm::lbuttondown || m.message == wm::lbuttondblclk) downs.push_back(m.message);
    EXPECT_EQ(downs, (std::vector<uint32_t>{wm::lbuttondown, wm::lbuttondblclk, wm::lbuttondown}));
}

TEST_F(WindowLayer, KeysMakeCharactersInUtf16Units) {
    Hwnd w = top();
    pump();
    set_focus(w);
    struct Case {
        const char* name;
        std::function<void()> inject;
        std::vector<std::pair<uint32_t, WParam>> expected;  // key and character messages
    };
    const Case cases[] = {
        {"shift and a",
         [] {
             headless::key(vk::lshift, true);
             headless::press('A');
             headless::key(vk::lshift, false);
         },
         {{wm::keydown, vk::shift}, {wm::keydown, 'A'}, {wm::char_, 'A'}, {wm::keyup, 'A'}, {wm::keyup, vk::shift}}},
        {"control and a types 1",
         [] {
             headless::key(vk::lcontrol, true);
             headless::press('A');
             headless::key(vk::lcontrol, false);
         },
         {{wm::keydown, vk::control}, {wm::keydown, 'A'}, {wm::char_, 1}, {wm::keyup, 'A'}, {wm::keyup, vk::control}}},
        {"left alt and f is a system key",
         [] {
             headless::key(vk::lmenu, true);
             headless::press('F');
             headless::key(vk::lmenu, false);
         },
         {{wm::syskeydown, vk::menu},
          {wm::syskeydown, 'F'},
          {wm::syschar, 'f'},
          {wm::syskeyup, 'F'},
          {wm::syskeyup, vk::menu}}},
        {"text beyond the basic plane is a surrogate pair",
         [] {
             headless::key(vk::oem_102, true, "\xF0\x9F\x98\x80");
             headless::key(vk::oem_102, false);
         },
         {{wm::keydown, vk::oem_102}, {wm::char_, 0xD83D}, {wm::char_, 0xDE00}, {wm::keyup, vk::oem_102}}},
        {"arrows type nothing", [] { headless::press(vk::left); }, {{wm::keydown, vk::left}, {wm::keyup, vk::left}}},
    };
    for (const Case& c : cases) {
        c.inject();
        std::vector<std::pair<uint32_t, WParam>> got;
        for (const Msg& m : pump()) got.push_back({m.message, m.wparam});
        EXPECT_EQ(got, c.expected) << c.name;
    }
    // Scan codes and the extended bit in lParam.
    headless::key(vk::rcontrol, true);
    headless::key(vk::rcontrol, false);
    std::vector<Msg> got = pump();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ((got[0].lparam >> 16) & 0x1FF, 0x11D) << "scan 0x1D, extended";
    EXPECT_EQ(uint32_t(got[1].lparam) >> 30, 3u) << "key-up: previous state and transition bits";
    EXPECT_EQ(map_virtual_key(0x2A, 3), vk::lshift);
    EXPECT_EQ(map_virtual_key(0x36, 3), vk::rshift);
    EXPECT_EQ(map_virtual_key('A', 2), uint32_t('A'));
    EXPECT_EQ(map_virtual_key(vk::left, 2), 0u);
    EXPECT_EQ(vk_key_scan(u'?'), 0x100 | vk::oem_2);
    EXPECT_EQ(vk_key_scan(u'a'), 'A');
}

TEST_F(WindowLayer, TimersKeepTheirScheduleSkipStallsAndDieInDispatch) {
    Hwnd w = top();
    pump();
    int64_t start = clock.now;
    set_timer(w, 1, 16);
    std::vector<int64_t> ticks;
    Msg m;
    while (ticks.size() < 100 && get_message(m) > 0) {
        if (m.message == wm::timer) ticks.push_back(clock.now - start);
        dispatch_message(m);
    }
    for (size_t i = 0; i < ticks.size(); ++i) ASSERT_EQ(ticks[i], int64_t(i + 1) * 16'000'000) << "tick " << i;
    // A stall of five periods gives one tick, and the next keeps the schedule.
    clock.advance_ms(16 * 5 + 3);
    std::vector<Msg> got = pump();
    EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const Msg& x) { return x.message == wm::timer; }), 1);
    ASSERT_EQ(get_message(m), 1);
    EXPECT_EQ((clock.now - start) % 16'000'000, 0);
    kill_timer(w, 1);
    // One timer's procedure kills another that is due at the same time.
    static std::vector<uint64_t> fired;
    fired.clear();
    TimerProc killer = [](Hwnd h, uint32_t, uint64_t id, uint32_t) {
        fired.push_back(id);
        kill_timer(h, 3);
    };
    TimerProc victim = [](Hwnd, uint32_t, uint64_t id, uint32_t) { fired.push_back(id); };
    set_timer(w, 2, 10, killer);
    set_timer(w, 3, 10, victim);
    clock.advance_ms(35);
    pump();
    EXPECT_EQ(fired, (std::vector<uint64_t>{2}));
    kill_timer(w, 2);
    EXPECT_EQ(get_message(m), -1) << "with a manual clock and nothing to come, no hang";
}

TEST_F(WindowLayer, PostFromAnotherThreadWakesTheLoop) {
    shutdown();
    init(headless::make());
    register_class({"Rec", 0, recording_proc, 0, 0});
    std::thread poster([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        post_message(0, wm::user + 5, 42);
    });
    Msg m;
    ASSERT_EQ(get_message(m), 1);
    EXPECT_EQ(m.message, wm::user + 5u);
    EXPECT_EQ(m.wparam, 42u);
    poster.join();
}

TEST_F(WindowLayer, ChildrenArePaintedIntoTheTopLevelBuffer) {
    Hwnd w = top(0, 0, 100, 80);                     // white background
    Hwnd c = child(w, 10, 10, 20, 20, 0, "Plain");   // blue
    Hwnd over = child(w, 25, 25, 20, 20, 0, "Rec");  // white again, above the blue one
    pump();
    EXPECT_EQ(get_pixel(w, {5, 5}), 0xFFFFFFFFu);
    EXPECT_EQ(get_pixel(w, {15, 15}), 0xFF0000FFu);
    EXPECT_EQ(get_pixel(c, {5, 5}), 0xFF0000FFu);
    EXPECT_EQ(get_pixel(w, {27, 27}), 0xFFFFFFFFu) << "the upper sibling paints last";
    // Repainting the lower child must not cover the upper one.
    invalidate_rect(c, nullptr, true);
    pump();
    EXPECT_EQ(get_pixel(w, {27, 27}), 0xFFFFFFFFu);
    // Hiding the blue child uncovers the parent.
    show_window(c, sw::hide);
    pump();
    EXPECT_EQ(get_pixel(w, {15, 15}), 0xFFFFFFFFu);
    (void)over;
}

TEST_F(WindowLayer, MonitorsAt96And144Dpi) {
    shutdown();
    init(headless::make({{0, "left", {0, 0, 1024, 768}, {0, 0, 1024, 768}, 96},
                         {0, "right", {1024, 0, 2048, 768}, {1024, 0, 2048, 768}, 144}}),
         &clock);
    register_class({"Rec", 0, recording_proc, 0, 0});
    Hwnd a = top(100, 100, 100, 50);
    Hwnd b = top(1200, 100, 150, 75);
    EXPECT_EQ(get_dpi_for_window(a), 96);
    EXPECT_EQ(get_dpi_for_window(b), 144);
    EXPECT_EQ(monitor_from_point({5000, 100}), 2u) << "the nearest monitor";
    seen.clear();
    Rect suggested;
    WParam dpis = 0;
    behaviour = [&](Hwnd, uint32_t m, WParam wp, LParam lp) -> LResult {
        if (m == wm::dpichanged) suggested = *reinterpret_cast<const Rect*>(lp), dpis = wp;
        return INT64_MIN;
    };
    headless::set_dpi(1, 144);
    pump();
    ASSERT_EQ(messages_of(a, {wm::dpichanged}).size(), 1u);
    EXPECT_EQ(messages_of(b, {wm::dpichanged}).size(), 0u);
    EXPECT_EQ(dpis, WParam(144 | (144 << 16)));
    EXPECT_EQ(suggested, (Rect{100, 100, 250, 175}));
    headless::set_monitors({{0, "only", {0, 0, 800, 600}, {0, 0, 800, 600}, 96}});
    pump();
    EXPECT_EQ(messages_of(a, {wm::displaychange}).size(), 1u);
    EXPECT_EQ(messages_of(b, {wm::displaychange}).size(), 1u);
}

TEST_F(WindowLayer, PortMovesAndClosesBecomeMessages) {
    Hwnd w = top(10, 10, 100, 100);
    pump();
    seen.clear();
    headless::configure(w, {20, 30, 220, 130});
    headless::close(w);
    pump();
    std::vector<std::pair<uint32_t, LParam>> got;
    for (const Seen& s : seen)
        if (s.message == wm::move || s.message == wm::size || s.message == wm::close) got.push_back({s.message, s.lparam});
    EXPECT_EQ(got, (std::vector<std::pair<uint32_t, LParam>>{
                       {wm::move, (30 << 16) | 20}, {wm::size, (100 << 16) | 200}, {wm::close, 0}}));
    EXPECT_FALSE(is_window(w)) << "the default procedure destroys a closed window";
}

}  // namespace

namespace {

// Without a display the port cannot open, and says why: no hang, no crash.
TEST(WindowLayerPort, NoDisplayIsAClearError) {
    const char* saved_display = std::getenv("DISPLAY");
    const char* saved_gui = std::getenv("ORU_GUI");
    std::string keep_display = saved_display ? saved_display : "", keep_gui = saved_gui ? saved_gui : "";
    unsetenv("ORU_GUI");
    const struct {
        const char* display;
        const char* gui;
        const char* error;
    } cases[] = {
        {nullptr, nullptr, "no display: DISPLAY is not set"},
        {":97", nullptr, "cannot open display \":97\""},
        {":97", "x11", "cannot open display \":97\""},
        {":97", "sdl", "unknown ORU_GUI \"sdl\" (x11 or headless)"},
        {nullptr, "headless", ""},
    };
    for (const auto& c : cases) {
        if (c.display) setenv("DISPLAY", c.display, 1);
        else unsetenv("DISPLAY");
        if (c.gui) setenv("ORU_GUI", c.gui, 1);
        else unsetenv("ORU_GUI");
        std::string error;
        std::unique_ptr<Port> p = open_port(error);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(p != nullptr, error.empty());
    }
    if (saved_display) setenv("DISPLAY", keep_display.c_str(), 1);
    else unsetenv("DISPLAY");
    if (saved_gui) setenv("ORU_GUI", keep_gui.c_str(), 1);
    else unsetenv("ORU_GUI");
}

}  // namespace
