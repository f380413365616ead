// The window layer: windows, messages, timers, focus and painting with the
// semantics the GUI backend is written against, over a port (X11 or an
// in-memory screen).
//
// A window handle is 32 bits: the table index in the low 20 bits and a
// generation in the high 12, so a handle kept after its window was
// destroyed fails `is_window` instead of naming a newer window. Only
// top-levels and popups are port windows; children are regions of their
// top-level, painted into its Cairo ARGB32 buffer, so both ports give the
// same pixels. Everything runs on the GUI thread except `post_message` and
// `post_quit_from_thread`, which may be called from any thread.
//
// Invariant for callers and for this layer itself: a window procedure may
// destroy any window, so never keep a Window reference across a call that
// sends a message; look the handle up again. Destroyed windows stay in a
// graveyard until no procedure is running.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

typedef struct _cairo cairo_t;
typedef struct _cairo_surface cairo_surface_t;

namespace oru::wl {

using Hwnd = uint32_t;  // 0: no window
using WParam = uint64_t;
using LParam = int64_t;
using LResult = int64_t;
using WndProc = LResult (*)(Hwnd, uint32_t message, WParam, LParam);
using TimerProc = void (*)(Hwnd, uint32_t message, uint64_t id, uint32_t time);

struct Point {
    int32_t x = 0, y = 0;
    bool operator==(const Point&) const = default;
};
struct Rect {
    int32_t left = 0, top = 0, right = 0, bottom = 0;
    int32_t width() const { return right - left; }
    int32_t height() const { return bottom - top; }
    bool empty() const { return right <= left || bottom <= top; }
    bool contains(Point p) const { return p.x >= left && p.x < right && p.y >= top && p.y < bottom; }
    bool operator==(const Rect&) const = default;
};
Rect intersect(const Rect& a, const Rect& b);
Rect unite(const Rect& a, const Rect& b);  // bounding box; an empty side is ignored

// A message as the queue hands it out. Key messages carry the text the key
// typed (UTF-16 units), which `translate_message` turns into characters.
struct Msg {
    Hwnd hwnd = 0;
    uint32_t message = 0;
    WParam wparam = 0;
    LParam lparam = 0;
    uint32_t time = 0;  // milliseconds of the layer's clock
    Point pt;           // pointer position on the screen when it was queued
    char16_t text[4] = {};
    uint8_t text_len = 0;
};

// ORDER MESSAGES: numbers as the backend's Parts give them.
namespace wm {
enum : uint32_t {
    null = 0x0000, create = 0x0001, destroy = 0x0002, move = 0x0003, size = 0x0005, activate = 0x0006,
    setfocus = 0x0007, killfocus = 0x0008, enable = 0x000A, settext = 0x000C, paint = 0x000F, close = 0x0010,
    quit = 0x0012, erasebkgnd = 0x0014, showwindow = 0x0018, setcursor = 0x0020, mouseactivate = 0x0021,
    getminmaxinfo = 0x0024, windowposchanged = 0x0047, notify = 0x004E, displaychange = 0x007E,
    ncdestroy = 0x0082, nchittest = 0x0084, keydown = 0x0100, keyup = 0x0101, char_ = 0x0102,
    syskeydown = 0x0104, syskeyup = 0x0105, syschar = 0x0106, ime_startcomposition = 0x010D,
    ime_endcomposition = 0x010E, command = 0x0111, syscommand = 0x0112, timer = 0x0113, hscroll = 0x0114,
    vscroll = 0x0115, gesture = 0x0119, menuselect = 0x011F, ctlcoloredit = 0x0133, ctlcolorlistbox = 0x0134,
    ctlcolorstatic = 0x0138, mousemove = 0x0200, lbuttondown = 0x0201, lbuttonup = 0x0202,
    lbuttondblclk = 0x0203, rbuttondown = 0x0204, rbuttonup = 0x0205, rbuttondblclk = 0x0206,
    mbuttondown = 0x0207, mbuttonup = 0x0208, mbuttondblclk = 0x0209, mousewheel = 0x020A,
    xbuttondown = 0x020B, xbuttonup = 0x020C, xbuttondblclk = 0x020D, mousehwheel = 0x020E, sizing = 0x0214,
    capturechanged = 0x0215, moving = 0x0216, entermenuloop = 0x0211, mouseleave = 0x02A3,
    dpichanged = 0x02E0, paste = 0x0302, themechanged = 0x031A, user = 0x0400,
};
}  // namespace wm

// Window styles.
namespace ws {
enum : uint32_t {
    popup = 0x80000000u, child = 0x40000000u, visible = 0x10000000u, disabled = 0x08000000u,
    caption = 0x00C00000u, border = 0x00800000u, thickframe = 0x00040000u,
};
}
namespace ws_ex {
enum : uint32_t { topmost = 0x00000008u, layered = 0x00080000u, noactivate = 0x08000000u };
}
// Class styles.
namespace cs {
enum : uint32_t { vredraw = 0x1, hredraw = 0x2, dblclks = 0x8 };
}
// Mouse-message key flags (wParam).
namespace mk {
enum : uint32_t { lbutton = 0x1, rbutton = 0x2, shift = 0x4, control = 0x8, mbutton = 0x10, xbutton1 = 0x20, xbutton2 = 0x40 };
}
// Virtual keys used by the layer itself.
namespace vk {
enum : uint8_t {
    lbutton = 0x01, rbutton = 0x02, mbutton = 0x04, xbutton1 = 0x05, xbutton2 = 0x06, back = 0x08, tab = 0x09,
    return_ = 0x0D, shift = 0x10, control = 0x11, menu = 0x12, pause = 0x13, capital = 0x14, escape = 0x1B,
    space = 0x20, prior = 0x21, next = 0x22, end = 0x23, home = 0x24, left = 0x25, up = 0x26, right = 0x27,
    down = 0x28, insert = 0x2D, delete_ = 0x2E, lwin = 0x5B, rwin = 0x5C, apps = 0x5D, numpad0 = 0x60,
    multiply = 0x6A, add = 0x6B, separator = 0x6C, subtract = 0x6D, decimal = 0x6E, divide = 0x6F, f1 = 0x70,
    f10 = 0x79, f12 = 0x7B, f24 = 0x87, numlock = 0x90, scroll = 0x91, lshift = 0xA0, rshift = 0xA1,
    lcontrol = 0xA2, rcontrol = 0xA3, lmenu = 0xA4, rmenu = 0xA5, oem_1 = 0xBA, oem_plus = 0xBB,
    oem_comma = 0xBC, oem_minus = 0xBD, oem_period = 0xBE, oem_2 = 0xBF, oem_3 = 0xC0, oem_4 = 0xDB,
    oem_5 = 0xDC, oem_6 = 0xDD, oem_7 = 0xDE, oem_102 = 0xE2, processkey = 0xE5,
};
}
constexpr int32_t ht_transparent = -1, ht_client = 1;
constexpr uint32_t wa_inactive = 0, wa_active = 1, wa_clickactive = 2;
constexpr Hwnd hwnd_top = 0, hwnd_bottom = 1;  // never valid handles: a generation is at least 1
constexpr int32_t wheel_delta = 120;
constexpr uint32_t double_click_ms = 500;
constexpr int32_t double_click_distance = 4;  // pixels either way, on each axis

// Flags of set_window_pos.
namespace swp {
enum : uint32_t { nosize = 0x1, nomove = 0x2, nozorder = 0x4, noactivate = 0x10, showwindow = 0x40, hidewindow = 0x80 };
}
namespace sw {
enum : int32_t { hide = 0, shownormal = 1, showminimized = 2, showmaximized = 3, showna = 8, show = 5 };
}

// The per-window data of the backend. The integer slots keep the byte
// offsets that get_long/set_long address (0-76, four bytes each); the three
// slots that hold native objects are typed pointers instead, so nothing is
// truncated to 32 bits, and get_long/set_long refuse their offsets.
struct WindowData {
    static constexpr int32_t bytes = 80;
    static constexpr int32_t render_offset = 24, resources_offset = 28, native_offset = 56;
    int32_t slots[bytes / 4] = {};
    void* render = nullptr;     // render record or text layout
    void* resources = nullptr;  // font and text resources
    void* native = nullptr;     // per-type native record
    bool closes_natively = false;  // WM_CLOSE destroys without asking the face
};

struct WndClass {
    std::string name;
    uint32_t style = 0;
    WndProc proc = nullptr;
    uint32_t cursor = 0;      // cursor id, 0 = arrow
    uint32_t background = 0;  // 0xAARRGGBB painted on WM_ERASEBKGND; alpha 0 = none
};

struct Monitor {
    uint32_t id = 0;  // what a monitor handle holds
    std::string name;
    Rect rect;  // pixels, on the virtual screen
    Rect work;
    int32_t dpi = 96;
};

struct PaintStruct {
    cairo_t* cr = nullptr;  // translated to the window's client origin, clipped to what needs painting
    Rect paint;             // client coordinates
    bool erase = false;     // true when WM_ERASEBKGND left the background unpainted
    Hwnd top = 0;           // the top-level whose buffer is painted
    Rect damage;            // in that buffer
};

struct CreateStruct {
    void* param;
    Hwnd parent;
    Rect rect;
    uint32_t style, ex_style;
    const char* class_name;
    const char* text;
};

// Clocks: the real one reads CLOCK_MONOTONIC; tests install a manual one,
// whose wait for a deadline jumps to it.
struct Clock {
    virtual ~Clock() = default;
    virtual int64_t now_ns() = 0;
    // Called when the queue must wait until `deadline` (or forever, -1);
    // true when the clock moved there itself and nothing needs to block.
    virtual bool advance_to(int64_t deadline) { return false; }
    // A manual clock cannot be woken by anything else: waiting forever fails.
    virtual bool manual() const { return false; }
};
struct ManualClock : Clock {
    int64_t now = 1'000'000'000;
    int64_t now_ns() override { return now; }
    bool advance_to(int64_t deadline) override {
        if (deadline < 0) return false;
        if (deadline > now) now = deadline;
        return true;
    }
    bool manual() const override { return true; }
    void advance_ms(int64_t ms) { now += ms * 1'000'000; }
};

// What a port does for the layer. One port is installed at a time.
struct Port {
    virtual ~Port() = default;
    virtual const char* name() const = 0;
    virtual int fd() const { return -1; }  // polled while waiting; -1 none
    virtual void pump() {}                  // moves pending port events into the input queue
    virtual std::vector<Monitor> monitors() = 0;
    // Top-levels and popups only. `rect` is the window's outer rectangle.
    virtual bool create(Hwnd, const Rect& rect, uint32_t style, uint32_t ex_style, Hwnd owner) { return true; }
    virtual void destroy(Hwnd) {}
    virtual void show(Hwnd, bool visible) {}
    virtual void place(Hwnd, const Rect& rect) {}
    virtual void set_title(Hwnd, const std::string&) {}
    virtual void present(Hwnd, cairo_surface_t*, const Rect& damage) {}
    virtual void activate(Hwnd) {}
    virtual void grab(Hwnd) {}  // pointer capture by a window, 0 to release
    virtual Rect frame(Hwnd) { return {}; }  // insets: left, top, right, bottom
    virtual void flush() {}
};

// Starting and stopping. `init` installs the port (the layer owns it) and a
// clock (null: CLOCK_MONOTONIC; not owned). `shutdown` destroys every window.
void init(std::unique_ptr<Port> port, Clock* clock = nullptr);
void shutdown();
bool running();
Port& port();
Clock& clock();
uint32_t now_ms();

// Classes.
bool register_class(const WndClass&);
bool get_class_info(const std::string& name, WndClass& out);
bool unregister_class(const std::string& name);

// Windows. For a window without ws::child, `parent` is its owner.
Hwnd create_window(uint32_t ex_style, const std::string& class_name, const std::string& text, uint32_t style,
                   int32_t x, int32_t y, int32_t width, int32_t height, Hwnd parent, void* param = nullptr);
bool destroy_window(Hwnd);
bool is_window(Hwnd);
bool is_window_visible(Hwnd);  // it and every ancestor
bool is_window_enabled(Hwnd);
bool enable_window(Hwnd, bool enable);  // true when it was disabled
bool show_window(Hwnd, int32_t cmd);    // true when it was visible
Hwnd get_parent(Hwnd);
Hwnd get_owner(Hwnd);
Hwnd get_root(Hwnd);        // the top-level holding a child
Hwnd get_root_owner(Hwnd);  // the root, then its owners up to the last
std::vector<Hwnd> children(Hwnd);   // top of the z-order first
std::vector<Hwnd> top_levels();     // top of the z-order first
uint32_t get_style(Hwnd);
uint32_t get_ex_style(Hwnd);
void set_style(Hwnd, uint32_t);
std::string get_class_name(Hwnd);
WndProc get_window_proc(Hwnd);
WndProc set_window_proc(Hwnd, WndProc);  // the old procedure
std::string get_window_text(Hwnd);
void set_window_text(Hwnd, const std::string&);
void* get_user_data(Hwnd);
void set_user_data(Hwnd, void*);
WindowData* window_data(Hwnd);  // null for a stale handle; fetch again after any message
int32_t get_long(Hwnd, int32_t offset);
bool set_long(Hwnd, int32_t offset, int32_t value);

// Geometry. A child's rectangle is in its parent's client coordinates; a
// top-level's is on the screen and includes its frame.
Rect get_window_rect(Hwnd);  // screen
Rect get_client_rect(Hwnd);  // 0,0 - width,height
Point client_to_screen(Hwnd, Point);
Point screen_to_client(Hwnd, Point);
Point map_window_points(Hwnd from, Hwnd to, Point);
bool set_window_pos(Hwnd, Hwnd insert_after, int32_t x, int32_t y, int32_t cx, int32_t cy, uint32_t flags);
bool move_window(Hwnd, int32_t x, int32_t y, int32_t cx, int32_t cy);
Hwnd window_from_point(Point screen);
Hwnd child_at(Hwnd parent, Point client);  // visible, enabled, hit children; the parent when none

// Messages.
LResult send_message(Hwnd, uint32_t, WParam = 0, LParam = 0);
LResult call_window_proc(WndProc, Hwnd, uint32_t, WParam, LParam);
LResult def_window_proc(Hwnd, uint32_t, WParam, LParam);
bool post_message(Hwnd, uint32_t, WParam = 0, LParam = 0);  // any thread
void post_quit_message(int32_t code);
int32_t get_message(Msg&);              // 1, 0 for WM_QUIT, -1 when nothing can ever arrive
bool peek_message(Msg&, bool remove);   // never waits
bool translate_message(const Msg&);
LResult dispatch_message(const Msg&);
const Msg& current_message();           // the message the innermost dispatch runs (a blank one outside)
Point get_message_pos();                // the pointer when the last message was taken
uint32_t get_message_time();

// Timers. The period is in milliseconds; the id is returned; setting an
// existing id of the same window restarts it.
uint64_t set_timer(Hwnd, uint64_t id, uint32_t period_ms, TimerProc = nullptr);
bool kill_timer(Hwnd, uint64_t id);

// Focus, activation, capture, pointer tracking.
Hwnd set_focus(Hwnd);  // the previous focus
Hwnd get_focus();
Hwnd set_active_window(Hwnd);
Hwnd get_active_window();
Hwnd set_capture(Hwnd);
bool release_capture();
Hwnd get_capture();
bool track_mouse_leave(Hwnd);  // one WM_MOUSELEAVE when the pointer leaves the window
Point get_cursor_pos();

// Keyboard.
int16_t get_key_state(uint8_t vk);  // high bit: held; low bit: toggled
void set_key_state(uint8_t vk, bool down);
uint32_t map_virtual_key(uint32_t code, uint32_t map_type);  // 0 vk->scan, 1 scan->vk, 2 vk->char, 3 scan->vk with sides
int16_t vk_key_scan(char16_t);  // low byte the key, high byte 1 for Shift; -1 none
// The character a key types on the layout, with Shift (0 when none).
char16_t key_char(uint8_t vk, bool shift);

// Painting.
bool invalidate_rect(Hwnd, const Rect* client_rect, bool erase);
bool validate_rect(Hwnd, const Rect* client_rect);
bool update_window(Hwnd);  // sends WM_PAINT now when something is invalid
cairo_t* begin_paint(Hwnd, PaintStruct&);
void end_paint(Hwnd, PaintStruct&);
cairo_surface_t* surface(Hwnd top_level);
uint32_t get_pixel(Hwnd, Point client);  // 0xAARRGGBB of the window's buffer

// Monitors.
std::vector<Monitor> monitors();
uint32_t monitor_from_point(Point screen);  // the nearest monitor
uint32_t monitor_from_window(Hwnd);
int32_t monitor_dpi(uint32_t monitor);  // 0 for an unknown monitor
int32_t get_dpi_for_window(Hwnd);

// Input from ports (queued raw, routed when taken). Key text is UTF-8.
void input_pointer(Point screen, uint32_t time_ms = 0);
void input_button(int32_t button, bool down, Point screen, uint32_t time_ms = 0);  // 1 left, 2 middle, 3 right, 8, 9
void input_wheel(int32_t delta, bool horizontal, Point screen, uint32_t time_ms = 0);
void input_leave();  // the pointer left every window of ours
void input_key(uint8_t vk, uint32_t scan, bool extended, bool down, const std::string& text, bool repeat = false,
               uint32_t time_ms = 0);
void input_close(Hwnd);
void input_configure(Hwnd, const Rect& window_rect);  // the port moved or sized a top-level
void input_focus(Hwnd, bool in);
void input_dpi(uint32_t monitor, int32_t dpi);
void input_display_change();
void input_message(Hwnd, uint32_t message, WParam, LParam);  // a port message with no routing

// Text helpers: UTF-8 to UTF-16 units, with U+FFFD for bad input.
std::u16string utf16(const std::string&);

}  // namespace oru::wl
