// Events of the GUI backend: the shared event record that every delivered
// message refills, the key rules that turn key and character messages into
// key codes, `make_event` (the one door to the language's awake), the
// message loop with its input pre-dispatch, and the timer procedure.
//
// Everything here runs on the GUI thread. The language side installs
// `awake`; until then events are made and dropped.
#pragma once

#include "view/backend/wl/wl.h"

namespace oru::gui {

// ORDER EVENT TYPES (the event! datatype's list): codes from 1.
namespace evt {
enum : int32_t {
    down = 1, up, mid_down, mid_up, alt_down, alt_up, aux_down, aux_up, click, dbl_click, wheel, over, key,
    key_down, key_up, ime, focus, unfocus, enter, zoom, pan, rotate, two_tap, press_tap, select, change, menu,
    close, move, resize, moving, resizing, time, drawing, scroll,
};
}

// Flag bits of an event.
namespace flag {
enum : uint32_t {
    aux_down = 0x00400000, alt_down = 0x00800000, mid_down = 0x01000000, down = 0x02000000, away = 0x04000000,
    control = 0x10000000, shift = 0x20000000, alt = 0x40000000,
};
}

// The shared event: refilled for each message delivered.
struct SharedEvent {
    int32_t type = 0;
    wl::Msg* message = nullptr;
    uint32_t flags = 0;
};

// Process-wide input and loop state.
struct InputState {
    int32_t last_key = -1;          // refined virtual key, -1 when the key typed a character
    uint32_t high_surrogate = 0;    // pending high surrogate; after a pair, the code point
    int64_t modifier_override = -1; // flags to use instead of the live keyboard state
    bool ime_composing = false;
    int32_t loop_depth = 0;
    int32_t pending_exits = 0;
    int64_t last_mouse = -1;        // lParam of the last WM_MOUSEMOVE
    wl::Hwnd hover = 0;
    wl::Hwnd button_down = 0, button_up = 0;
    wl::Point last_right_press;
    wl::Msg* current = nullptr;     // the record the innermost loop dispatches
};

SharedEvent& shared_event();
InputState& input_state();
void reset_input_state();

// The language side's awake: called with the shared event filled; true
// when it answered `stop`. Errors must not escape it.
extern bool (*awake)(SharedEvent&);
// Whether a window's face asks for every move (`all-over`); the default says no.
extern bool (*all_over)(wl::Hwnd);

uint32_t get_key_flags(bool keys_only);
uint32_t get_modifiers();
uint32_t button_flags(uint64_t wparam);
int32_t refine_key(int32_t vk, int64_t lparam);
bool char_key_q(int32_t vk);

// The key rules: false when the message makes no event (VK_PROCESSKEY, a
// lone high surrogate); `flags` gets the flags word otherwise.
bool key_down_flags(const wl::Msg&, bool down, uint32_t& flags);
bool key_char_flags(const wl::Msg&, uint32_t& flags);

// Fills the shared event, calls awake, and answers 1 to go on with the
// native handling or 0 to stop it.
int32_t make_event(wl::Msg& record, uint32_t flags, int32_t type);

// The loop: one message with no_wait (false when none was taken; a quit
// waiting in the queue is left for the blocking loop), else until WM_QUIT.
bool do_events(bool no_wait);
int32_t pre_dispatch(wl::Msg& record);
void timer_proc(wl::Hwnd, uint32_t message, uint64_t id, uint32_t time);
// A window that owns a blocking loop was destroyed: the loop must end.
void loop_owner_destroyed();
void exit_event_loop();

}  // namespace oru::gui
