// The backend's event side on the headless port, with a recording awake:
// which events the input pre-dispatch makes and with which flags, nested
// loops and their pending exits, the quit that a one-message pass must
// leave for the blocking loop, and timers reaching awake.
#include "view/backend/events.h"
#include "view/backend/wl/headless.h"

#include <gtest/gtest.h>

#include <functional>

using namespace oru;
using namespace oru::wl;

namespace {

struct Event {
    int32_t type;
    uint32_t flags;
    Hwnd hwnd;
    bool operator==(const Event&) const = default;
};
std::vector<Event> events;
std::function<bool(const gui::SharedEvent&)> on_event;

bool recording_awake(gui::SharedEvent& e) {
    events.push_back({e.type, e.flags, e.message->hwnd});
    return on_event ? on_event(e) : false;
}

LResult plain_proc(Hwnd h, uint32_t m, WParam wp, LParam lp) { return def_window_proc(h, m, wp, lp); }

class GuiEvents : public ::testing::Test {
protected:
    ManualClock clock;
    Hwnd window = 0;
    void SetUp() override {
        init(headless::make(), &clock);
        register_class({"OruWindow", cs::dblclks, plain_proc, 0, 0xFFF0F0F0});
        gui::reset_input_state();
        gui::awake = recording_awake;
        on_event = nullptr;
        window = create_window(0, "OruWindow", "w", ws::visible, 0, 0, 200, 200, 0);
        while (gui::do_events(true)) {
        }
        events.clear();
    }
    void TearDown() override {
        gui::awake = nullptr;
        on_event = nullptr;
        shutdown();
    }
    std::vector<Event> drain() {
        while (gui::do_events(true)) {
        }
        std::vector<Event> out = events;
        events.clear();
        return out;
    }
};

using namespace gui;

TEST_F(GuiEvents, KeysBecomeKeyDownKeyAndKeyUp) {
    set_focus(window);
    const struct {
        const char* name;
        std::function<void()> inject;
        std::vector<Event> expected;
    } cases[] = {
        {"a letter: key-down with the key's character, key with the typed one",
         [] { headless::press('A'); },
         {{evt::key_down, 'A', 0}, {evt::key, 'a', 0}, {evt::key_up, 'A', 0}}},
        {"an arrow: key-down and key from the key-down itself",
         [] { headless::press(vk::left); },
         {{evt::key_down, vk::left, 0}, {evt::key, vk::left, 0}, {evt::key_up, vk::left, 0}}},
        {"shift alone: key-down and key-up only",
         [] { headless::press(vk::rshift); },
         {{evt::key_down, uint32_t(vk::shift) | flag::shift, 0}, {evt::key_up, vk::shift, 0}}},
        {"control and a: the control character 1, not U+00A1",
         [] {
             headless::key(vk::lcontrol, true);
             headless::key('A', true, "a");  // a port that gives the plain letter
             headless::key('A', false);
             headless::key(vk::lcontrol, false);
         },
         {{evt::key_down, uint32_t(vk::control) | flag::control, 0},
          {evt::key_down, 'A' | flag::control, 0},
          {evt::key, 1 | flag::control, 0},
          {evt::key_up, 'A' | flag::control, 0},
          {evt::key_up, vk::control, 0}}},
        {"AltGr (right Alt, no Control) types the letter itself",
         [] {
             headless::key(vk::rmenu, true);
             headless::key('Q', true, "q");
             headless::key('Q', false);
             headless::key(vk::rmenu, false);
         },
         {{evt::key_down, uint32_t(vk::menu) | flag::alt, 0},
          {evt::key_down, 'Q' | flag::alt, 0},
          {evt::key, 'q' | flag::alt, 0},
          {evt::key_up, 'Q' | flag::alt, 0},
          {evt::key_up, vk::menu, 0}}},
        {"a character beyond the basic plane: one key event, the whole code point, no modifiers",
         [] {
             headless::key(vk::oem_102, true, "\xF0\x9F\x98\x80");
             headless::key(vk::oem_102, false);
         },
         {{evt::key_down, '\\', 0}, {evt::key, 0x1F600, 0}, {evt::key_up, '\\', 0}}},
    };
    for (const auto& c : cases) {
        c.inject();
        std::vector<Event> got = drain();
        for (Event& e : got) e.hwnd = 0;
        EXPECT_EQ(got, c.expected) << c.name;
    }
    EXPECT_EQ(input_state().last_key, -1);
}

TEST_F(GuiEvents, LoneSurrogatesAndSidedKeys) {
    Msg m;
    m.hwnd = window;
    m.message = wm::char_;
    uint32_t flags = 0;
    m.wparam = 0xDC00;
    ASSERT_TRUE(key_char_flags(m, flags));
    EXPECT_EQ(flags & 0x1FFFFF, 0xFFFDu) << "a low half with no high half before it";
    m.wparam = 0xD83D;
    EXPECT_FALSE(key_char_flags(m, flags)) << "a high half alone makes no event";
    const struct {
        int32_t vk;
        int64_t lparam;
        int32_t refined;
    } sided[] = {
        {vk::shift, 0x2A << 16, vk::lshift},          {vk::shift, 0x36 << 16, vk::rshift},
        {vk::control, 0x1D << 16, vk::lcontrol},      {vk::control, (0x1D << 16) | (1 << 24), vk::rcontrol},
        {vk::menu, (0x38 << 16) | (1 << 24), vk::rmenu}, {'A', 0x1E << 16, 'A'},
    };
    for (const auto& c : sided) EXPECT_EQ(refine_key(c.vk, c.lparam), c.refined) << c.vk;
    m.message = wm::keydown;
    m.wparam = vk::processkey;
    EXPECT_FALSE(key_down_flags(m, true, flags)) << "keys an input method takes make no event";
}

TEST_F(GuiEvents, StopOnKeyDownKeepsTheCharacterAway) {
    set_focus(window);
    on_event = [](const SharedEvent& e) { return e.type == evt::key_down; };
    headless::press('B');
    std::vector<Event> got = drain();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].type, evt::key_down);
    EXPECT_EQ(got[1].type, evt::key_up);
}

TEST_F(GuiEvents, MouseOverOnEntryAndAwayOnLeaving) {
    Hwnd other = create_window(0, "OruWindow", "o", ws::visible, 300, 0, 100, 100, 0);
    drain();
    headless::move({10, 10});
    drain();
    headless::move({20, 10});
    headless::button(3, true);
    headless::button(3, false);
    headless::move({30, 10});
    headless::move({30, 10});
    headless::move({350, 10});
    std::vector<Event> got = drain();
    std::vector<Event> expected = {
        {evt::alt_down, flag::alt_down, window},
        {evt::alt_up, 0, window},
        {evt::over, flag::away, window},
        {evt::over, 0, other},
    };
    EXPECT_EQ(got, expected) << "moves inside one window give no over; leaving gives over with away";
}

TEST_F(GuiEvents, DoubleClickIsDownThenDblClick) {
    headless::click({50, 50});
    clock.advance_ms(100);
    headless::click({51, 50});
    std::vector<int32_t> types;
    for (const Event& e : drain()) types.push_back(e.type);
    EXPECT_EQ(types, (std::vector<int32_t>{evt::over, evt::down, evt::up, evt::down, evt::dbl_click, evt::up}));
}

TEST_F(GuiEvents, NestedLoopsEndInOrderThroughPendingExits) {
    Hwnd inner = create_window(0, "OruWindow", "inner", ws::visible, 300, 0, 100, 100, 0);
    drain();
    std::vector<std::string> log;
    // The outer loop runs; its first event opens the inner loop; events in
    // the inner loop destroy windows that own loops.
    on_event = [&](const SharedEvent& e) {
        if (e.type != evt::time) return false;
        uint64_t id = current_message().wparam;
        kill_timer(e.message->hwnd, id);
        if (id == 1) {
            set_timer(inner, 2, 10, timer_proc);
            log.push_back("inner loop starts");
            do_events(false);
            log.push_back("inner loop ended");
        } else if (id == 2) {
            destroy_window(window);  // the outer window goes first
            loop_owner_destroyed();
            set_timer(inner, 3, 10, timer_proc);
        } else if (id == 3) {
            destroy_window(inner);
            loop_owner_destroyed();
        }
        return false;
    };
    set_timer(window, 1, 10, timer_proc);
    do_events(false);
    log.push_back("outer loop ended");
    EXPECT_EQ(log, (std::vector<std::string>{"inner loop starts", "inner loop ended", "outer loop ended"}));
    EXPECT_EQ(input_state().loop_depth, 0);
    EXPECT_EQ(input_state().pending_exits, 0);
}

TEST_F(GuiEvents, ClosingTheBlockingWindowFromItsOwnEventEndsTheLoop) {
    on_event = [&](const SharedEvent& e) {
        if (e.type == evt::down) {
            destroy_window(window);
            loop_owner_destroyed();
        }
        return false;
    };
    headless::click({10, 10});
    do_events(false);
    EXPECT_FALSE(is_window(window));
    EXPECT_EQ(input_state().pending_exits, 0);
}

TEST_F(GuiEvents, AQuitIsKeptAcrossOneMessagePasses) {
    post_message(window, wm::user);
    exit_event_loop();
    EXPECT_TRUE(do_events(true)) << "the posted message";
    EXPECT_FALSE(do_events(true)) << "the quit is not taken by a pass";
    EXPECT_FALSE(do_events(true));
    headless::click({10, 10});
    do_events(false);  // would block for ever had a pass taken the quit
    EXPECT_EQ(input_state().loop_depth, 1) << "exit-event-loop touches no counter";
}

TEST_F(GuiEvents, TimeEventsKeepTheirSchedule) {
    int64_t start = clock.now;
    std::vector<int64_t> at;
    on_event = [&](const SharedEvent& e) {
        if (e.type == evt::time) at.push_back((clock.now - start) / 1'000'000);
        if (at.size() == 5) exit_event_loop();
        return false;
    };
    set_timer(window, 9, 16, timer_proc);
    do_events(false);
    EXPECT_EQ(at, (std::vector<int64_t>{16, 32, 48, 64, 80}));
    for (const Event& e : events) EXPECT_EQ(e.hwnd, window);
}

}  // namespace
