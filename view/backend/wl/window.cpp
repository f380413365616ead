// Windows of the layer: the handle table, classes, the tree and z-order,
// geometry, sending messages, focus, activation and capture.
//
// Every call into a window procedure may destroy windows, so after each
// send the code below looks its windows up again by handle.
#include "view/backend/wl/internal.h"

#include <cairo.h>

#include <algorithm>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace oru::wl {

namespace detail {

namespace {
State* the_state = nullptr;

struct MonotonicClock : Clock {
    int64_t now_ns() override {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
    }
};
MonotonicClock monotonic;

constexpr uint32_t index_bits = 20, index_mask = (1u << index_bits) - 1, generation_limit = 1u << (32 - index_bits);
}  // namespace

State& state() { return *the_state; }

Window* find(Hwnd h) {
    if (!the_state) return nullptr;
    uint32_t index = h & index_mask, generation = h >> index_bits;
    if (index == 0 || index >= the_state->slots.size()) return nullptr;
    Slot& s = the_state->slots[index];
    return s.window && s.generation == generation ? s.window.get() : nullptr;
}

Window* top_of(Window* w) {
    while (w && (w->style & ws::child) && w->parent) w = find(w->parent);
    return w;
}

Point client_origin(Window* w) {
    Point p{0, 0};
    while (w) {
        if (!(w->style & ws::child) || !w->parent) {
            p.x += w->rect.left + w->frame.left;
            p.y += w->rect.top + w->frame.top;
            break;
        }
        p.x += w->rect.left;
        p.y += w->rect.top;
        w = find(w->parent);
    }
    return p;
}

Rect screen_rect_of_client(Window* w) {
    Point o = client_origin(w);
    Rect c = get_client_rect(w->self);
    return {o.x, o.y, o.x + c.width(), o.y + c.height()};
}

void free_graveyard() {
    if (the_state && the_state->call_depth == 0) the_state->graveyard.clear();
}

}  // namespace detail

using namespace detail;

Rect intersect(const Rect& a, const Rect& b) {
    Rect r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right), std::min(a.bottom, b.bottom)};
    return r.empty() ? Rect{} : r;
}
Rect unite(const Rect& a, const Rect& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    return {std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right), std::max(a.bottom, b.bottom)};
}

void init(std::unique_ptr<Port> port, Clock* clock) {
    if (the_state) shutdown();
    the_state = new State;
    State& s = *the_state;
    s.port = std::move(port);
    s.clock = clock ? clock : &monotonic;
    s.slots.resize(1);
    s.event_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    s.timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
}

void shutdown() {
    if (!the_state) return;
    State& s = *the_state;
    while (!s.tops.empty()) {
        Hwnd h = s.tops.front();
        if (!destroy_window(h)) s.tops.erase(s.tops.begin());
    }
    s.call_depth = 0;
    free_graveyard();
    for (Slot& slot : s.slots)
        if (slot.window) release_surface(slot.window.get());
    if (s.event_fd >= 0) close(s.event_fd);
    if (s.timer_fd >= 0) close(s.timer_fd);
    s.port.reset();
    delete the_state;
    the_state = nullptr;
}

bool running() { return the_state != nullptr; }
Port& port() { return *the_state->port; }
Clock& clock() { return *the_state->clock; }
uint32_t now_ms() { return uint32_t(the_state->clock->now_ns() / 1'000'000); }

// Classes.

bool register_class(const WndClass& c) {
    if (c.name.empty() || !c.proc) return false;
    return state().classes.emplace(c.name, c).second;
}

bool get_class_info(const std::string& name, WndClass& out) {
    auto it = state().classes.find(name);
    if (it == state().classes.end()) return false;
    out = it->second;
    return true;
}

bool unregister_class(const std::string& name) { return state().classes.erase(name) == 1; }

// Sending.

LResult call_window_proc(WndProc proc, Hwnd h, uint32_t m, WParam wp, LParam lp) {
    if (!proc) return def_window_proc(h, m, wp, lp);
    State& s = state();
    ++s.call_depth;
    struct Leave {
        ~Leave() {
            --state().call_depth;
            free_graveyard();
        }
    } leave;
    return proc(h, m, wp, lp);
}

LResult send_message(Hwnd h, uint32_t m, WParam wp, LParam lp) {
    Window* w = find(h);
    if (!w) return 0;
    return call_window_proc(w->proc, h, m, wp, lp);
}

// Window creation and the tree.

namespace {

Hwnd new_slot() {
    State& s = state();
    uint32_t index;
    if (!s.free_slots.empty()) {
        index = s.free_slots.back();
        s.free_slots.pop_back();
    } else {
        index = uint32_t(s.slots.size());
        if (index > index_mask) return 0;
        s.slots.emplace_back();
    }
    Slot& slot = s.slots[index];
    slot.window = std::make_unique<Window>();
    Hwnd h = (slot.generation << index_bits) | index;
    slot.window->self = h;
    return h;
}

std::vector<Hwnd>& siblings_of(Window* w) {
    if ((w->style & ws::child) && w->parent) return find(w->parent)->children;
    return state().tops;
}

void unlink(Window* w) {
    auto& list = siblings_of(w);
    list.erase(std::remove(list.begin(), list.end(), w->self), list.end());
}

// The window rectangle of a top-level on the screen is its own; a child's is
// its parent's client origin plus its rectangle.
Rect screen_rect(Window* w) {
    if (!(w->style & ws::child) || !w->parent) return w->rect;
    Point o = client_origin(find(w->parent));
    return {w->rect.left + o.x, w->rect.top + o.y, w->rect.right + o.x, w->rect.bottom + o.y};
}

bool is_top(Window* w) { return !(w->style & ws::child) || !w->parent; }

// Moves focus, capture, activation and tracking off a dying window.
void forget(Hwnd h) {
    State& s = state();
    if (s.capture == h) s.capture = 0;
    if (s.tracked == h) s.tracked = 0;
    if (s.focus == h) s.focus = 0;
    if (s.last_click.hwnd == h) s.last_click.hwnd = 0;
    if (s.active == h) s.active = 0;
    remove_window_timers(h);
}

void destroy_tree(Hwnd h) {
    // WM_DESTROY goes to the parent first, then to its children.
    send_message(h, wm::destroy);
    Window* w = find(h);
    if (!w) return;
    std::vector<Hwnd> kids = w->children;
    for (Hwnd c : kids)
        if (Window* cw = find(c); cw && !cw->destroying) {
            cw->destroying = true;
            destroy_tree(c);
        }
    send_message(h, wm::ncdestroy);
    w = find(h);
    if (!w) return;
    forget(h);
    if (w->port_window) state().port->destroy(h);
    unlink(w);
    release_surface(w);
    State& s = state();
    uint32_t index = h & index_mask;
    Slot& slot = s.slots[index];
    slot.generation = slot.generation + 1 == generation_limit ? 1 : slot.generation + 1;
    s.graveyard.push_back(std::move(slot.window));
    s.free_slots.push_back(index);
}

}  // namespace

Hwnd create_window(uint32_t ex_style, const std::string& class_name, const std::string& text, uint32_t style,
                   int32_t x, int32_t y, int32_t width, int32_t height, Hwnd parent, void* param) {
    State& s = state();
    auto cls = s.classes.find(class_name);
    if (cls == s.classes.end()) return 0;
    if ((style & ws::child) && !find(parent)) return 0;
    if (parent && !find(parent)) return 0;
    Hwnd h = new_slot();
    if (!h) return 0;
    Window* w = find(h);
    w->class_name = class_name;
    w->proc = cls->second.proc;
    w->class_style = cls->second.style;
    w->background = cls->second.background;
    w->style = style & ~ws::visible;
    w->ex_style = ex_style;
    w->text = text;
    w->rect = {x, y, x + std::max(width, 0), y + std::max(height, 0)};
    if (style & ws::child) {
        w->parent = parent;
        find(parent)->children.insert(find(parent)->children.begin(), h);
    } else {
        w->owner = parent ? get_root(parent) : 0;
        w->port_window = true;
        s.tops.insert(s.tops.begin(), h);
        if (!s.port->create(h, w->rect, style, ex_style, w->owner)) {
            w->port_window = false;
            w->destroying = true;
            destroy_tree(h);
            return 0;
        }
        w = find(h);
        w->frame = s.port->frame(h);
        resize_surface(w);
    }
    CreateStruct cs{param, parent, w->rect, style, ex_style, class_name.c_str(), text.c_str()};
    if (send_message(h, wm::create, 0, reinterpret_cast<LParam>(&cs)) == -1) {
        destroy_window(h);
        return 0;
    }
    if (!(w = find(h))) return 0;
    Rect c = get_client_rect(h);
    send_message(h, wm::size, 0, LParam(uint32_t(c.width()) | (uint32_t(c.height()) << 16)));
    if (!(w = find(h))) return 0;
    Point p = is_top(w) ? client_origin(w) : Point{w->rect.left, w->rect.top};
    send_message(h, wm::move, 0, LParam((uint32_t(p.x) & 0xFFFF) | (uint32_t(p.y) << 16)));
    if ((style & ws::visible) && find(h)) show_window(h, sw::show);
    return find(h) ? h : 0;
}

bool destroy_window(Hwnd h) {
    Window* w = find(h);
    if (!w) return false;
    if (w->destroying) return true;
    w->destroying = true;
    State& s = state();
    // Owned windows go first, as they cannot outlive their owner.
    for (Hwnd t : std::vector<Hwnd>(s.tops))
        if (Window* o = find(t); o && o->owner == h) destroy_window(t);
    if ((w = find(h)) && (w->style & ws::visible)) {
        // Uncover what the window hid.
        if (!is_top(w)) {
            Rect r = w->rect;
            if (Window* p = find(w->parent)) invalidate_window(p, &r, true);
        }
        w->style &= ~ws::visible;
        if (w->port_window) s.port->show(h, false);
    }
    bool was_active = s.active == h;
    Hwnd owner = w ? w->owner : 0;
    // A focus inside the dying tree moves off it before WM_DESTROY.
    for (Window* f = find(s.focus); f; f = (f->style & ws::child) ? find(f->parent) : nullptr)
        if (f->self == h) {
            s.focus = 0;
            break;
        }
    destroy_tree(h);
    if (was_active) {
        Hwnd next = is_window_visible(owner) ? owner : 0;
        for (Hwnd t : s.tops)
            if (!next && is_window_visible(t) && !(get_ex_style(t) & ws_ex::noactivate)) next = t;
        if (next) set_active_window(next);
    }
    free_graveyard();
    return true;
}

bool is_window(Hwnd h) { return find(h) != nullptr; }

bool is_window_visible(Hwnd h) {
    for (Window* w = find(h); w; w = (w->style & ws::child) ? find(w->parent) : nullptr)
        if (!(w->style & ws::visible)) return false;
    return find(h) != nullptr;
}

bool is_window_enabled(Hwnd h) {
    Window* w = find(h);
    return w && !(w->style & ws::disabled);
}

bool enable_window(Hwnd h, bool enable) {
    Window* w = find(h);
    if (!w) return false;
    bool was_disabled = w->style & ws::disabled;
    if (was_disabled == !enable) return was_disabled;
    if (enable) {
        w->style &= ~ws::disabled;
    } else {
        w->style |= ws::disabled;
        State& s = state();
        if (s.focus == h) set_focus(0);
        if (s.capture == h) release_capture();
    }
    send_message(h, wm::enable, enable);
    return was_disabled;
}

bool show_window(Hwnd h, int32_t cmd) {
    Window* w = find(h);
    if (!w) return false;
    bool was = w->style & ws::visible;
    bool show = cmd != sw::hide;
    if (was == show) return was;
    send_message(h, wm::showwindow, show, 0);
    if (!(w = find(h))) return was;
    Rect r = w->rect;
    if (show) {
        w->style |= ws::visible;
        invalidate_window(w, nullptr, true);
    } else {
        w->style &= ~ws::visible;
        if (!is_top(w))
            if (Window* p = find(w->parent)) invalidate_window(p, &r, true);
    }
    if (w->port_window) state().port->show(h, show);
    if (show && is_top(w) && cmd != sw::showna && !(w->ex_style & ws_ex::noactivate)) set_active_window(h);
    if (!show) {
        State& s = state();
        if (s.capture == h) release_capture();
        if (s.active == h) {
            s.active = 0;
            for (Hwnd t : s.tops)
                if (t != h && is_window_visible(t)) {
                    set_active_window(t);
                    break;
                }
        }
    }
    return was;
}

Hwnd get_parent(Hwnd h) {
    Window* w = find(h);
    return w && (w->style & ws::child) ? w->parent : 0;
}
Hwnd get_owner(Hwnd h) {
    Window* w = find(h);
    return w ? w->owner : 0;
}
Hwnd get_root(Hwnd h) {
    Window* w = top_of(find(h));
    return w ? w->self : 0;
}
Hwnd get_root_owner(Hwnd h) {
    Window* w = top_of(find(h));
    while (w && w->owner && find(w->owner)) w = find(w->owner);
    return w ? w->self : 0;
}
std::vector<Hwnd> children(Hwnd h) {
    Window* w = find(h);
    return w ? w->children : std::vector<Hwnd>{};
}
std::vector<Hwnd> top_levels() { return state().tops; }
uint32_t get_style(Hwnd h) {
    Window* w = find(h);
    return w ? w->style : 0;
}
uint32_t get_ex_style(Hwnd h) {
    Window* w = find(h);
    return w ? w->ex_style : 0;
}
void set_style(Hwnd h, uint32_t style) {
    if (Window* w = find(h)) w->style = (style & ~(ws::child | ws::visible)) | (w->style & (ws::child | ws::visible));
}
std::string get_class_name(Hwnd h) {
    Window* w = find(h);
    return w ? w->class_name : std::string();
}
WndProc get_window_proc(Hwnd h) {
    Window* w = find(h);
    return w ? w->proc : nullptr;
}
WndProc set_window_proc(Hwnd h, WndProc proc) {
    Window* w = find(h);
    if (!w) return nullptr;
    WndProc old = w->proc;
    w->proc = proc;
    return old;
}
std::string get_window_text(Hwnd h) {
    Window* w = find(h);
    return w ? w->text : std::string();
}
void set_window_text(Hwnd h, const std::string& text) {
    Window* w = find(h);
    if (!w) return;
    w->text = text;
    if (w->port_window) state().port->set_title(h, text);
}
void* get_user_data(Hwnd h) {
    Window* w = find(h);
    return w ? w->user_data : nullptr;
}
void set_user_data(Hwnd h, void* p) {
    if (Window* w = find(h)) w->user_data = p;
}
WindowData* window_data(Hwnd h) {
    Window* w = find(h);
    return w ? &w->data : nullptr;
}

// Integer slots at their byte offsets; the pointer slots are typed fields.
int32_t get_long(Hwnd h, int32_t offset) {
    Window* w = find(h);
    if (!w || offset < 0 || offset >= WindowData::bytes || offset % 4 != 0) return 0;
    if (offset == WindowData::render_offset || offset == WindowData::resources_offset ||
        offset == WindowData::native_offset)
        return 0;
    return w->data.slots[offset / 4];
}
bool set_long(Hwnd h, int32_t offset, int32_t value) {
    Window* w = find(h);
    if (!w || offset < 0 || offset >= WindowData::bytes || offset % 4 != 0) return false;
    if (offset == WindowData::render_offset || offset == WindowData::resources_offset ||
        offset == WindowData::native_offset)
        return false;
    w->data.slots[offset / 4] = value;
    return true;
}

// Geometry.

Rect get_window_rect(Hwnd h) {
    Window* w = find(h);
    return w ? screen_rect(w) : Rect{};
}
Rect get_client_rect(Hwnd h) {
    Window* w = find(h);
    if (!w) return {};
    int32_t cw = w->rect.width() - w->frame.left - w->frame.right;
    int32_t ch = w->rect.height() - w->frame.top - w->frame.bottom;
    return {0, 0, std::max(cw, 0), std::max(ch, 0)};
}
Point client_to_screen(Hwnd h, Point p) {
    Window* w = find(h);
    if (!w) return p;
    Point o = client_origin(w);
    return {p.x + o.x, p.y + o.y};
}
Point screen_to_client(Hwnd h, Point p) {
    Window* w = find(h);
    if (!w) return p;
    Point o = client_origin(w);
    return {p.x - o.x, p.y - o.y};
}
Point map_window_points(Hwnd from, Hwnd to, Point p) {
    if (from) p = client_to_screen(from, p);
    return to ? screen_to_client(to, p) : p;
}

bool set_window_pos(Hwnd h, Hwnd after, int32_t x, int32_t y, int32_t cx, int32_t cy, uint32_t flags) {
    Window* w = find(h);
    if (!w) return false;
    Rect old = w->rect;
    Rect r = old;
    if (!(flags & swp::nomove)) r = {x, y, x + old.width(), y + old.height()};
    if (!(flags & swp::nosize)) r.right = r.left + std::max(cx, 0), r.bottom = r.top + std::max(cy, 0);
    bool top = is_top(w);
    if (!(flags & swp::nozorder)) {
        auto& list = siblings_of(w);
        list.erase(std::remove(list.begin(), list.end(), h), list.end());
        auto at = list.begin();
        if (after == hwnd_bottom) at = list.end();
        else if (after != hwnd_top)
            if (auto it = std::find(list.begin(), list.end(), after); it != list.end()) at = it + 1;
        list.insert(at, h);
    }
    bool moved = r.left != old.left || r.top != old.top;
    bool sized = r.width() != old.width() || r.height() != old.height();
    w->rect = r;
    if (moved || sized || !(flags & swp::nozorder)) {
        if (!top)
            if (Window* p = find(w->parent)) invalidate_window(p, &old, true);
        if (sized) resize_surface(w);
        invalidate_window(w, nullptr, true);
        if (w->port_window && (moved || sized)) state().port->place(h, r);
    }
    if (flags & swp::showwindow) show_window(h, (flags & swp::noactivate) ? sw::showna : sw::show);
    if (flags & swp::hidewindow) show_window(h, sw::hide);
    if (moved || sized) send_message(h, wm::windowposchanged, 0, LParam(flags));
    return true;
}

bool move_window(Hwnd h, int32_t x, int32_t y, int32_t cx, int32_t cy) {
    return set_window_pos(h, 0, x, y, cx, cy, swp::nozorder | swp::noactivate);
}

namespace {
// The deepest visible, enabled child at a client point that does not call
// itself transparent; the window itself when there is none.
Hwnd hit_child(Hwnd h, Point client) {
    for (Hwnd c : children(h)) {
        Window* cw = find(c);
        if (!cw || !(cw->style & ws::visible) || (cw->style & ws::disabled) || !cw->rect.contains(client)) continue;
        Point cp{client.x - cw->rect.left, client.y - cw->rect.top};
        Point screen = client_to_screen(c, cp);
        if (send_message(c, wm::nchittest, 0, LParam((uint32_t(screen.x) & 0xFFFF) | (uint32_t(screen.y) << 16))) ==
            ht_transparent)
            continue;
        if (!find(c)) continue;
        return hit_child(c, cp);
    }
    return h;
}
}  // namespace

Hwnd child_at(Hwnd parent, Point client) { return find(parent) ? hit_child(parent, client) : 0; }

Hwnd window_from_point(Point p) {
    for (Hwnd t : std::vector<Hwnd>(state().tops)) {
        Window* w = find(t);
        if (!w || !(w->style & ws::visible) || !w->rect.contains(p)) continue;
        Rect c = screen_rect_of_client(w);
        if (!c.contains(p)) return t;  // on the frame
        return hit_child(t, {p.x - c.left, p.y - c.top});
    }
    return 0;
}

// The default procedure.

LResult def_window_proc(Hwnd h, uint32_t m, WParam wp, LParam lp) {
    switch (m) {
    case wm::close:
        destroy_window(h);
        return 0;
    case wm::paint: {
        PaintStruct ps;
        begin_paint(h, ps);
        end_paint(h, ps);
        return 0;
    }
    case wm::erasebkgnd: {
        Window* w = find(h);
        if (!w || !(w->background >> 24) || !wp) return 0;
        cairo_t* cr = reinterpret_cast<cairo_t*>(wp);
        uint32_t c = w->background;
        cairo_save(cr);
        cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
        cairo_set_source_rgba(cr, ((c >> 16) & 0xFF) / 255.0, ((c >> 8) & 0xFF) / 255.0, (c & 0xFF) / 255.0,
                              (c >> 24) / 255.0);
        cairo_paint(cr);
        cairo_restore(cr);
        return 1;
    }
    case wm::windowposchanged: {
        Window* w = find(h);
        if (!w) return 0;
        Rect c = get_client_rect(h);
        Point p = is_top(w) ? client_origin(w) : Point{w->rect.left, w->rect.top};
        send_message(h, wm::move, 0, LParam((uint32_t(p.x) & 0xFFFF) | (uint32_t(p.y) << 16)));
        send_message(h, wm::size, 0, LParam(uint32_t(c.width()) | (uint32_t(c.height()) << 16)));
        return 0;
    }
    case wm::nchittest:
        return ht_client;
    case wm::activate:
        if ((wp & 0xFFFF) != wa_inactive) {
            Hwnd f = get_focus();
            if (!f || get_root(f) != h) set_focus(h);
        }
        return 0;
    case wm::mouseactivate:
        return 1;
    default:
        return 0;
    }
}

// Focus, activation, capture.

Hwnd get_focus() { return state().focus; }
Hwnd get_active_window() { return state().active; }
Hwnd get_capture() { return state().capture; }

Hwnd set_active_window(Hwnd h) {
    State& s = state();
    Hwnd root = get_root(h);
    Hwnd old = s.active;
    if (root == old) return old;
    if (h && !root) return 0;
    s.active = root;
    if (root) {
        auto& tops = s.tops;
        tops.erase(std::remove(tops.begin(), tops.end(), root), tops.end());
        tops.insert(tops.begin(), root);
    }
    if (old && find(old)) send_message(old, wm::activate, wa_inactive, LParam(root));
    if (root && find(root)) {
        if (find(root)->port_window) s.port->activate(root);
        send_message(root, wm::activate, wa_active, LParam(old));
    }
    return old;
}

Hwnd set_focus(Hwnd h) {
    State& s = state();
    Hwnd old = s.focus;
    if (h == old) return old;
    if (h && !find(h)) return 0;
    if (h && get_root(h) != s.active) {
        set_active_window(h);
        if (s.focus == h) return old;  // activation focused it already
        old = s.focus;
    }
    s.focus = h;
    if (old && find(old)) send_message(old, wm::killfocus, h, 0);
    if (h && find(h) && s.focus == h) send_message(h, wm::setfocus, old, 0);
    return old;
}

Hwnd set_capture(Hwnd h) {
    State& s = state();
    Hwnd old = s.capture;
    if (!find(h)) return old;
    s.capture = h;
    s.port->grab(h);
    if (old && old != h) send_message(old, wm::capturechanged, 0, LParam(h));
    return old;
}

bool release_capture() {
    State& s = state();
    Hwnd old = s.capture;
    s.capture = 0;
    s.port->grab(0);
    if (old) send_message(old, wm::capturechanged, 0, 0);
    return true;
}

bool track_mouse_leave(Hwnd h) {
    if (!find(h)) return false;
    State& s = state();
    s.tracked = h;
    return true;
}

Point get_cursor_pos() { return state().cursor; }

// Monitors.

std::vector<Monitor> monitors() { return state().port->monitors(); }

uint32_t monitor_from_point(Point p) {
    std::vector<Monitor> list = monitors();
    if (list.empty()) return 0;
    uint32_t best = list[0].id;
    int64_t best_distance = INT64_MAX;
    for (const Monitor& m : list) {
        if (m.rect.contains(p)) return m.id;
        int64_t dx = p.x < m.rect.left ? m.rect.left - p.x : p.x >= m.rect.right ? p.x - m.rect.right + 1 : 0;
        int64_t dy = p.y < m.rect.top ? m.rect.top - p.y : p.y >= m.rect.bottom ? p.y - m.rect.bottom + 1 : 0;
        if (dx * dx + dy * dy < best_distance) best_distance = dx * dx + dy * dy, best = m.id;
    }
    return best;
}

uint32_t monitor_from_window(Hwnd h) {
    Rect r = get_window_rect(get_root(h));
    return monitor_from_point({r.left + r.width() / 2, r.top + r.height() / 2});
}

int32_t monitor_dpi(uint32_t id) {
    for (const Monitor& m : monitors())
        if (m.id == id) return m.dpi;
    return 0;
}

int32_t get_dpi_for_window(Hwnd h) { return find(h) ? monitor_dpi(monitor_from_window(h)) : 0; }

}  // namespace oru::wl
