// Key rules, make_event, the message loop and the input pre-dispatch.
//
// Loops nest: a blocking loop raises the loop depth; destroying the window
// that owns one lowers the depth and raises the pending exits, and the
// event that did it posts a quit. Each blocking loop that ends lowers the
// pending exits and posts another quit while some remain, so the right
// number of loops end, innermost first.
#include "view/backend/events.h"

namespace oru::gui {

namespace {
SharedEvent the_event;
InputState the_state;
wl::Msg fallback;

// Virtual keys whose key-down types a character.
bool char_key_table(int32_t v) {
    if (v == 0x08 || v == 0x09 || v == 0x0D || v == 0x1B || v == 0x20) return true;
    if ((v >= 0x30 && v <= 0x39) || (v >= 0x41 && v <= 0x5A)) return true;
    if ((v >= 0x60 && v <= 0x6B) || (v >= 0x6D && v <= 0x6F)) return true;
    if ((v >= 0xBA && v <= 0xC0) || (v >= 0xDB && v <= 0xDF) || (v >= 0xE2 && v <= 0xE4) || (v >= 0xE9 && v <= 0xF5))
        return true;
    return false;
}

bool held(uint8_t v) { return wl::get_key_state(v) & 0x8000; }
}  // namespace

bool (*awake)(SharedEvent&) = nullptr;
bool (*all_over)(wl::Hwnd) = nullptr;

SharedEvent& shared_event() { return the_event; }
InputState& input_state() { return the_state; }
void reset_input_state() {
    the_state = InputState{};
    the_event = SharedEvent{};
}

uint32_t get_key_flags(bool keys_only) {
    uint32_t f = 0;
    if (held(wl::vk::control)) f |= flag::control;
    if (held(wl::vk::shift)) f |= flag::shift;
    if (held(wl::vk::menu)) f |= flag::alt;
    if (!keys_only) {
        if (held(wl::vk::lbutton)) f |= flag::down;
        if (held(wl::vk::rbutton)) f |= flag::alt_down;
        if (held(wl::vk::mbutton)) f |= flag::mid_down;
        if (held(wl::vk::xbutton1)) f |= flag::aux_down;
    }
    return f;
}

uint32_t get_modifiers() {
    return the_state.modifier_override >= 0 ? uint32_t(the_state.modifier_override) : get_key_flags(false);
}

uint32_t button_flags(uint64_t wp) {
    uint32_t f = 0;
    if (wp & wl::mk::lbutton) f |= flag::down;
    if (wp & wl::mk::rbutton) f |= flag::alt_down;
    if (wp & wl::mk::shift) f |= flag::shift;
    if (wp & wl::mk::control) f |= flag::control;
    if (wp & wl::mk::mbutton) f |= flag::mid_down;
    if (wp & (wl::mk::xbutton1 | wl::mk::xbutton2)) f |= flag::aux_down;
    return f;
}

int32_t refine_key(int32_t v, int64_t lp) {
    bool extended = (lp >> 24) & 1;
    switch (v) {
    case wl::vk::shift: return int32_t(wl::map_virtual_key((lp >> 16) & 0xFF, 3));
    case wl::vk::control: return extended ? wl::vk::rcontrol : wl::vk::lcontrol;
    case wl::vk::menu: return extended ? wl::vk::rmenu : wl::vk::lmenu;
    default: return v;
    }
}

bool char_key_q(int32_t v) { return v >= 0 && v < 256 && char_key_table(v); }

bool key_down_flags(const wl::Msg& m, bool down, uint32_t& flags) {
    uint32_t code = uint32_t(m.wparam & 0xFFFF);
    if (down && code == wl::vk::processkey) {
        the_state.last_key = -1;
        return false;
    }
    if ((down && the_state.ime_composing) || char_key_q(int32_t(code))) the_state.last_key = -1;
    else the_state.last_key = refine_key(int32_t(code), m.lparam);
    if (the_state.last_key == -1)
        if (uint32_t c = wl::map_virtual_key(code, 2)) code = c & 0xFFFF;
    flags = get_modifiers() | code;
    return true;
}

bool key_char_flags(const wl::Msg& m, uint32_t& flags) {
    uint32_t mods = get_modifiers();
    uint32_t c = uint32_t(m.wparam & 0xFFFF);
    if (c >= 0xD800 && c <= 0xDBFF) {
        the_state.high_surrogate = c;
        return false;
    }
    if (c >= 0xDC00 && c <= 0xDFFF) {
        uint32_t high = the_state.high_surrogate;
        // A low half with no high half before it is not a character.
        c = high >= 0xD800 && high <= 0xDBFF ? (((high & 0x3FF) << 10) | (c & 0x3FF)) + 0x10000 : 0xFFFD;
        the_state.high_surrogate = c == 0xFFFD ? 0 : c;
        if (c != 0xFFFD) mods = 0;
    } else {
        the_state.high_surrogate = 0;
    }
    // Control and a letter is the letter's control character (Ctrl+A is 1),
    // unless Alt is held too: that is AltGr typing the letter itself.
    if ((mods & flag::control) && !(mods & flag::alt) && c >= 0x61 && c <= 0x7A) {
        c -= 0x60;
        the_state.last_key = -1;
    }
    if ((the_state.ime_composing && (mods & flag::shift)) || the_state.last_key == wl::vk::lmenu ||
        the_state.last_key == wl::vk::rmenu)
        the_state.last_key = -1;
    flags = c | mods;
    return true;
}

int32_t make_event(wl::Msg& record, uint32_t given, int32_t type) {
    uint32_t flags = 0;
    switch (type) {
    case evt::over: flags = given; break;
    case evt::key_down:
    case evt::key_up:
        if (!key_down_flags(record, type == evt::key_down, flags)) return 1;
        break;
    case evt::key:
        if (!key_char_flags(record, flags)) return 1;
        break;
    case evt::select: flags = (given + 1) & 0xFFFF; break;
    case evt::change: flags = given & 0xFFFF; break;
    case evt::down:
    case evt::up:
    case evt::mid_down:
    case evt::mid_up:
    case evt::alt_down:
    case evt::alt_up:
    case evt::dbl_click:
    case evt::wheel: flags = given | get_key_flags(false); break;
    case evt::click: flags = get_key_flags(true); break;
    case evt::menu: flags = given & 0xFFFF; break;
    default: break;
    }
    the_event.type = type;
    the_event.message = &record;
    the_event.flags = flags;
    wl::Hwnd window = record.hwnd;
    int32_t depth = the_state.loop_depth;
    bool stop = awake && awake(the_event);
    // The window owning a blocking loop went away during the event: end that loop.
    if (the_state.loop_depth < depth) wl::post_quit_message(0);
    record.hwnd = window;
    return stop ? 0 : 1;
}

int32_t pre_dispatch(wl::Msg& m) {
    using namespace wl;
    InputState& s = the_state;
    uint32_t mods = button_flags(m.wparam) | get_key_flags(true);
    switch (m.message) {
    case wm::mousemove: {
        if (m.lparam == s.last_mouse) return 0;
        s.last_mouse = m.lparam;
        if (is_window_enabled(m.hwnd) && (m.hwnd != s.hover || (all_over && all_over(m.hwnd)))) {
            if (m.hwnd != s.hover) track_mouse_leave(m.hwnd);
            make_event(m, mods, evt::over);
        }
        s.hover = m.hwnd;
        return 1;
    }
    case wm::mouseleave:
        s.last_mouse = -1;
        make_event(m, mods | flag::away, evt::over);
        if (m.hwnd == s.hover) s.hover = 0;
        return 1;
    case wm::mousewheel: return make_event(m, button_flags(m.wparam), evt::wheel);
    case wm::lbuttondown: {
        s.button_down = m.hwnd;
        int32_t r = make_event(m, mods, evt::down);
        s.button_down = 0;
        return r;
    }
    case wm::lbuttonup: {
        s.button_up = m.hwnd;
        int32_t r = make_event(m, mods, evt::up);
        s.button_up = 0;
        return r;
    }
    case wm::rbuttondown:
        if (get_capture()) return 1;
        s.last_right_press = {int16_t(m.lparam & 0xFFFF), int16_t((m.lparam >> 16) & 0xFFFF)};
        return make_event(m, mods, evt::alt_down);
    case wm::rbuttonup: return make_event(m, mods, evt::alt_up);
    case wm::mbuttondown: return make_event(m, mods, evt::mid_down);
    case wm::mbuttonup: return make_event(m, mods, evt::mid_up);
    case wm::xbuttondown: return make_event(m, mods, evt::aux_down);
    case wm::xbuttonup: return make_event(m, mods, evt::aux_up);
    case wm::keydown: {
        int32_t r = make_event(m, 0, evt::key_down);
        int32_t k = s.last_key;
        if (r != 0 && k != -1 && !(k >= vk::lshift && k <= vk::rmenu) && k != vk::shift && k != vk::control)
            r = make_event(m, 0, evt::key);
        return r;
    }
    case wm::syskeydown: return make_event(m, 0, evt::key_down);
    case wm::keyup:
    case wm::syskeyup: return make_event(m, 0, evt::key_up);
    case wm::char_:
        s.last_key = -1;
        return make_event(m, 0, evt::key);
    case wm::lbuttondblclk:
        make_event(m, 0, evt::down);
        make_event(m, mods, evt::dbl_click);
        return 1;
    default: return 1;
    }
}

bool do_events(bool no_wait) {
    InputState& s = the_state;
    int64_t saved_override = s.modifier_override;
    s.modifier_override = -1;
    bool taken = false;
    if (!no_wait) ++s.loop_depth;
    wl::Msg m;
    for (;;) {
        if (no_wait) {
            // A quit is left where it is: it belongs to the blocking loop.
            if (!wl::peek_message(m, false) || m.message == wl::wm::quit) break;
            wl::peek_message(m, true);
        } else if (wl::get_message(m) <= 0) {
            break;
        }
        taken = true;
        if (pre_dispatch(m) >= 1) {
            wl::Msg* previous = s.current;
            s.current = &m;
            wl::translate_message(m);
            wl::dispatch_message(m);
            s.current = previous;
        }
        if (no_wait) {
            s.modifier_override = saved_override;
            return taken;
        }
    }
    if (!no_wait) {
        --s.pending_exits;
        if (s.pending_exits > 0) wl::post_quit_message(0);
    }
    s.modifier_override = saved_override;
    return taken;
}

void timer_proc(wl::Hwnd h, uint32_t, uint64_t, uint32_t) {
    wl::Msg* record = the_state.current ? the_state.current : &fallback;
    record->hwnd = h;
    make_event(*record, 0, evt::time);
}

void loop_owner_destroyed() {
    --the_state.loop_depth;
    ++the_state.pending_exits;
}

void exit_event_loop() { wl::post_quit_message(0); }

}  // namespace oru::gui
