// The window layer's shared state: the handle table, the classes, the
// queues and the input state. Only the layer's own files include this.
#pragma once

#include "view/backend/wl/wl.h"

#include <deque>
#include <map>
#include <mutex>

namespace oru::wl::detail {

struct Window {
    Hwnd self = 0;
    std::string class_name;
    WndProc proc = nullptr;
    uint32_t class_style = 0;
    uint32_t background = 0;
    uint32_t style = 0, ex_style = 0;
    Hwnd parent = 0, owner = 0;
    std::vector<Hwnd> children;  // top of the z-order first
    Rect rect;                   // parent client coordinates, or the screen for top-levels
    Rect frame;                  // insets of a top-level's frame
    std::string text;
    void* user_data = nullptr;
    WindowData data;
    Rect update;                 // client coordinates; empty: nothing to paint
    bool erase = false;
    bool destroying = false;
    cairo_surface_t* surface = nullptr;  // top-levels: the client area's pixels
    bool port_window = false;
    int32_t dpi = 96;  // the last DPI the window was told of
};

struct Slot {
    uint32_t generation = 1;
    std::unique_ptr<Window> window;
};

// Raw input, routed when it is taken from the queue.
enum class Raw : uint8_t { pointer, button, wheel, leave, key, close, configure, focus, dpi, display, message };
struct RawInput {
    Raw kind;
    Point pt;
    int32_t value = 0;  // button, wheel delta, dpi
    bool flag = false;  // down, horizontal, focus in
    uint8_t vk = 0;
    uint32_t scan = 0;
    bool extended = false, repeat = false;
    std::string text;
    Hwnd hwnd = 0;
    Rect rect;
    uint32_t message = 0;
    WParam wparam = 0;
    LParam lparam = 0;
    uint32_t time = 0;
};

struct Timer {
    Hwnd hwnd;
    uint64_t id;
    int64_t period_ns;
    int64_t next_ns;
    TimerProc proc;
};

struct State {
    std::unique_ptr<Port> port;
    Clock* clock = nullptr;
    std::vector<Slot> slots;  // index 0 unused
    std::vector<uint32_t> free_slots;
    std::vector<std::unique_ptr<Window>> graveyard;
    std::map<std::string, WndClass> classes;
    std::vector<Hwnd> tops;  // top of the z-order first
    int32_t call_depth = 0;

    std::mutex posted_lock;
    std::deque<Msg> posted;  // guarded by posted_lock
    bool quit = false;       // guarded by posted_lock
    int32_t quit_code = 0;
    int event_fd = -1;
    int timer_fd = -1;
    std::deque<RawInput> input;
    std::vector<Timer> timers;

    Hwnd focus = 0, active = 0, capture = 0, tracked = 0;
    Point cursor;
    uint8_t keys[256] = {};
    struct {
        Hwnd hwnd = 0;
        int32_t button = 0;
        uint32_t time = 0;
        Point pt;
    } last_click;
    bool from_port = false;  // activation that the port reported: not echoed back to it
    Msg blank;
    std::vector<const Msg*> dispatching;
    Point message_pos;
    uint32_t message_time = 0;
};

State& state();
Window* find(Hwnd);  // null for a stale or null handle
Window* top_of(Window*);
Rect screen_rect_of_client(Window*);  // the client area on the screen
Point client_origin(Window*);         // on the screen
void free_graveyard();
void remove_window_timers(Hwnd);
void drop_window_input(Hwnd);
// Painting helpers of paint.cpp.
void resize_surface(Window*);
void release_surface(Window*);
void invalidate_window(Window*, const Rect* client_rect, bool erase);
Hwnd next_paint_window();
// Keys of keys.cpp.
uint32_t scan_of(uint8_t vk);
uint8_t vk_of_scan(uint32_t scan, bool extended);
bool extended_of(uint8_t vk);

}  // namespace oru::wl::detail
