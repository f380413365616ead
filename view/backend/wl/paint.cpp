// Painting: every top-level owns a Cairo ARGB32 buffer of its client area;
// its children are regions of that buffer. A window's invalid area is a
// rectangle in its client coordinates. Windows paint parent before child and
// bottom sibling before top one, so invalidating a window also invalidates
// whatever is painted after it over the same pixels.
#include "view/backend/wl/internal.h"

#include <cairo.h>

#include <cstring>

namespace oru::wl {

using namespace detail;

namespace {

Rect offset(Rect r, Point by) { return {r.left + by.x, r.top + by.y, r.right + by.x, r.bottom + by.y}; }

// Visits the visible windows of a top-level in paint order with each one's
// client origin and visible area in the top-level's buffer. The visitor
// returns false to stop.
template <class F>
bool walk(Window* w, Point origin, Rect clip, F& f) {
    Rect own = intersect(clip, offset(get_client_rect(w->self), origin));
    if (!f(w, origin, own)) return false;
    for (auto it = w->children.rbegin(); it != w->children.rend(); ++it) {
        Window* c = find(*it);
        if (!c || !(c->style & ws::visible)) continue;
        if (!walk(c, {origin.x + c->rect.left, origin.y + c->rect.top}, own, f)) return false;
    }
    return true;
}

template <class F>
void walk_top(Window* top, F f) {
    if (!top || !(top->style & ws::visible)) return;
    walk(top, {0, 0}, get_client_rect(top->self), f);
}

// Where a window lies in its top-level's buffer.
bool place_in_top(Window* w, Point& origin, Rect& clip) {
    bool found = false;
    walk_top(top_of(w), [&](Window* v, Point o, Rect c) {
        if (v != w) return true;
        origin = o, clip = c, found = true;
        return false;
    });
    return found;
}

}  // namespace

namespace detail {

void release_surface(Window* w) {
    if (w->surface) cairo_surface_destroy(w->surface);
    w->surface = nullptr;
}

void resize_surface(Window* w) {
    if (!w->port_window) return;
    Rect c = get_client_rect(w->self);
    release_surface(w);
    w->surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, c.width(), c.height());
}

void invalidate_window(Window* w, const Rect* client_rect, bool erase) {
    if (!w || !is_window_visible(w->self)) return;
    Rect r = get_client_rect(w->self);
    if (client_rect) r = intersect(r, *client_rect);
    if (r.empty()) return;
    Point origin;
    Rect clip;
    if (!place_in_top(w, origin, clip)) return;
    Rect area = intersect(offset(r, origin), clip);
    if (area.empty()) return;
    bool after = false;
    walk_top(top_of(w), [&](Window* v, Point o, Rect c) {
        if (v == w) after = true;
        if (!after) return true;
        Rect hit = intersect(area, c);
        if (!hit.empty()) {
            v->update = unite(v->update, offset(hit, {-o.x, -o.y}));
            v->erase = v->erase || erase || v != w;
        }
        return true;
    });
}

Hwnd next_paint_window() {
    Hwnd found = 0;
    for (Hwnd t : state().tops) {
        walk_top(find(t), [&](Window* v, Point, Rect) {
            if (v->update.empty()) return true;
            found = v->self;
            return false;
        });
        if (found) break;
    }
    return found;
}

}  // namespace detail

bool invalidate_rect(Hwnd h, const Rect* r, bool erase) {
    Window* w = find(h);
    if (!w) return false;
    invalidate_window(w, r, erase);
    return true;
}

bool validate_rect(Hwnd h, const Rect* r) {
    Window* w = find(h);
    if (!w) return false;
    if (!r || (intersect(w->update, *r) == w->update)) w->update = {}, w->erase = false;
    return true;
}

bool update_window(Hwnd h) {
    Window* w = find(h);
    if (!w || w->update.empty()) return false;
    send_message(h, wm::paint);
    return true;
}

cairo_t* begin_paint(Hwnd h, PaintStruct& ps) {
    ps = PaintStruct{};
    Window* w = find(h);
    if (!w) return nullptr;
    Point origin;
    Rect clip;
    Rect update = w->update;
    bool erase = w->erase;
    w->update = {};
    w->erase = false;
    Window* top = top_of(w);
    if (!top || !top->surface || !place_in_top(w, origin, clip)) return nullptr;
    Rect area = intersect(offset(update, origin), clip);
    cairo_t* cr = cairo_create(top->surface);
    cairo_rectangle(cr, area.left, area.top, area.width(), area.height());
    cairo_clip(cr);
    cairo_translate(cr, origin.x, origin.y);
    ps.cr = cr;
    ps.paint = update;
    ps.top = top->self;
    ps.damage = area;
    if (erase) {
        cairo_save(cr);
        ps.erase = send_message(h, wm::erasebkgnd, reinterpret_cast<WParam>(cr), 0) == 0;
        cairo_restore(cr);
    }
    return cr;
}

void end_paint(Hwnd h, PaintStruct& ps) {
    if (!ps.cr) return;
    cairo_destroy(ps.cr);
    ps.cr = nullptr;
    Window* top = find(ps.top);
    if (!top || !top->surface) return;
    cairo_surface_flush(top->surface);
    if (!ps.damage.empty()) state().port->present(ps.top, top->surface, ps.damage);
}

cairo_surface_t* surface(Hwnd h) {
    Window* w = top_of(find(h));
    return w ? w->surface : nullptr;
}

uint32_t get_pixel(Hwnd h, Point p) {
    Window* w = find(h);
    Window* top = top_of(w);
    if (!top || !top->surface) return 0;
    Point origin;
    Rect clip;
    if (!place_in_top(w, origin, clip)) {
        origin = screen_to_client(top->self, client_to_screen(h, {0, 0}));
    }
    int x = p.x + origin.x, y = p.y + origin.y;
    cairo_surface_flush(top->surface);
    int width = cairo_image_surface_get_width(top->surface), height = cairo_image_surface_get_height(top->surface);
    if (x < 0 || y < 0 || x >= width || y >= height) return 0;
    const unsigned char* data = cairo_image_surface_get_data(top->surface);
    uint32_t pixel;
    std::memcpy(&pixel, data + y * cairo_image_surface_get_stride(top->surface) + x * 4, 4);
    return pixel;
}

}  // namespace oru::wl
