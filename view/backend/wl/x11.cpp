// The X11 port: Xlib with XRandR. Xlib rather than XCB because input
// methods and Xutf8LookupString exist only there. Every top-level is an X
// window whose pixels come from the layer's buffer through a cairo-xlib
// surface; an Expose is answered from that buffer without a WM_PAINT.
//
// X events become the layer's raw input: keys (keysym to virtual key, with
// the set-1 scan code and extended bit of our layout table, and the text of
// the input context), buttons (4/5 and 6/7 are wheels, 8/9 the X buttons),
// moves, leaving, WM_DELETE_WINDOW, configure (frame offsets from
// _NET_FRAME_EXTENTS), focus, screen changes and Xft.dpi changes.
#include "view/backend/wl/x11.h"

#include "view/backend/wl/internal.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xresource.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#include <X11/keysym.h>
#include <cairo-xlib.h>
#include <cairo.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

namespace oru::wl::x11 {

namespace {

int ignore_errors(Display*, XErrorEvent*) { return 0; }

struct XWin {
    Window id = 0;
    XIC xic = nullptr;
    cairo_surface_t* target = nullptr;
    Rect frame;
    bool mapped = false;
};

// Keysyms to virtual keys; letters, digits and keypad digits are ranges.
struct KeysymRow {
    KeySym sym;
    uint8_t vk;
};
constexpr KeysymRow keysyms[] = {
    {XK_BackSpace, vk::back}, {XK_Tab, vk::tab}, {XK_ISO_Left_Tab, vk::tab}, {XK_Return, vk::return_},
    {XK_KP_Enter, vk::return_}, {XK_Escape, vk::escape}, {XK_space, vk::space}, {XK_Prior, vk::prior},
    {XK_Next, vk::next}, {XK_End, vk::end}, {XK_Home, vk::home}, {XK_Left, vk::left}, {XK_Up, vk::up},
    {XK_Right, vk::right}, {XK_Down, vk::down}, {XK_Insert, vk::insert}, {XK_Delete, vk::delete_},
    {XK_Pause, vk::pause}, {XK_Scroll_Lock, vk::scroll}, {XK_Num_Lock, vk::numlock}, {XK_Caps_Lock, vk::capital},
    {XK_Shift_L, vk::lshift}, {XK_Shift_R, vk::rshift}, {XK_Control_L, vk::lcontrol},
    {XK_Control_R, vk::rcontrol}, {XK_Alt_L, vk::lmenu}, {XK_Meta_L, vk::lmenu}, {XK_Alt_R, vk::rmenu},
    {XK_ISO_Level3_Shift, vk::rmenu}, {XK_Super_L, vk::lwin}, {XK_Super_R, vk::rwin}, {XK_Menu, vk::apps},
    {XK_KP_Multiply, vk::multiply}, {XK_KP_Add, vk::add}, {XK_KP_Subtract, vk::subtract},
    {XK_KP_Decimal, vk::decimal}, {XK_KP_Divide, vk::divide}, {XK_minus, vk::oem_minus},
    {XK_equal, vk::oem_plus}, {XK_bracketleft, vk::oem_4}, {XK_bracketright, vk::oem_6},
    {XK_semicolon, vk::oem_1}, {XK_apostrophe, vk::oem_7}, {XK_grave, vk::oem_3}, {XK_backslash, vk::oem_5},
    {XK_comma, vk::oem_comma}, {XK_period, vk::oem_period}, {XK_slash, vk::oem_2}, {XK_less, vk::oem_102},
    {XK_KP_Home, vk::home}, {XK_KP_End, vk::end}, {XK_KP_Left, vk::left}, {XK_KP_Right, vk::right},
    {XK_KP_Up, vk::up}, {XK_KP_Down, vk::down}, {XK_KP_Prior, vk::prior}, {XK_KP_Next, vk::next},
    {XK_KP_Insert, vk::insert}, {XK_KP_Delete, vk::delete_},
};

uint8_t vk_of_keysym(KeySym s) {
    if (s >= XK_a && s <= XK_z) return uint8_t('A' + (s - XK_a));
    if (s >= XK_A && s <= XK_Z) return uint8_t('A' + (s - XK_A));
    if (s >= XK_0 && s <= XK_9) return uint8_t('0' + (s - XK_0));
    if (s >= XK_KP_0 && s <= XK_KP_9) return uint8_t(vk::numpad0 + (s - XK_KP_0));
    if (s >= XK_F1 && s <= XK_F24) return uint8_t(vk::f1 + (s - XK_F1));
    for (const KeysymRow& r : keysyms)
        if (r.sym == s) return r.vk;
    return 0;
}

struct X11 : Port {
    Display* dpy = nullptr;
    int screen = 0;
    Window root = 0;
    XIM xim = nullptr;
    Atom wm_protocols, wm_delete, net_frame_extents, net_wm_name, utf8_string, resource_manager, transient_for,
        gtk_theme_variant;
    int randr_event = -1;
    std::vector<Monitor> cached;
    int32_t dpi = 96;
    std::unordered_map<Hwnd, XWin> windows;
    std::unordered_map<Window, Hwnd> by_id;

    ~X11() override {
        for (auto& [h, w] : windows) forget(w);
        if (xim) XCloseIM(xim);
        if (dpy) XCloseDisplay(dpy);
    }
    const char* name() const override { return "x11"; }
    int fd() const override { return ConnectionNumber(dpy); }
    void flush() override { XFlush(dpy); }

    void forget(XWin& w) {
        if (w.target) cairo_surface_destroy(w.target);
        if (w.xic) XDestroyIC(w.xic);
        w.target = nullptr;
        w.xic = nullptr;
    }

    // Xft.dpi from the resource database; 96 when it is not there. The
    // server's millimetres are not used: Xvfb and many drivers invent them.
    int32_t read_dpi() {
        // The root's RESOURCE_MANAGER as it is now (the display's copy is the
        // one read when the connection opened).
        Atom type;
        int format;
        unsigned long count = 0, after;
        unsigned char* text = nullptr;
        int32_t result = 96;
        if (XGetWindowProperty(dpy, root, resource_manager, 0, 1 << 20, False, XA_STRING, &type, &format, &count,
                               &after, &text) != Success || !text) {
            return result;
        }
        XrmDatabase db = XrmGetStringDatabase(reinterpret_cast<char*>(text));
        char* kind = nullptr;
        XrmValue value;
        if (db && XrmGetResource(db, "Xft.dpi", "Xft.Dpi", &kind, &value) && value.addr) {
            double d = std::strtod(value.addr, nullptr);
            if (d >= 24 && d <= 960) result = int32_t(d + 0.5);
        }
        if (db) XrmDestroyDatabase(db);
        XFree(text);
        return result;
    }

    void refresh_monitors() {
        cached.clear();
        int n = 0;
        XRRMonitorInfo* list = randr_event >= 0 ? XRRGetMonitors(dpy, root, True, &n) : nullptr;
        for (int i = 0; i < n; ++i) {
            Rect r{list[i].x, list[i].y, list[i].x + list[i].width, list[i].y + list[i].height};
            char* name = XGetAtomName(dpy, list[i].name);
            cached.push_back({uint32_t(list[i].name), name ? name : "", r, r, dpi});
            if (name) XFree(name);
        }
        if (list) XRRFreeMonitors(list);
        if (cached.empty()) {
            // No RandR monitors: the root window is the one screen.
            Rect r{0, 0, DisplayWidth(dpy, screen), DisplayHeight(dpy, screen)};
            cached.push_back({uint32_t(root), "root", r, r, dpi});
        }
    }

    std::vector<Monitor> monitors() override { return cached; }

    Rect read_frame(Window id) {
        Atom type;
        int format;
        unsigned long count = 0, after;
        unsigned char* data = nullptr;
        Rect f;
        if (XGetWindowProperty(dpy, id, net_frame_extents, 0, 4, False, XA_CARDINAL, &type, &format, &count, &after,
                               &data) == Success &&
            data && count == 4 && format == 32) {
            long* v = reinterpret_cast<long*>(data);
            f = {int32_t(v[0]), int32_t(v[2]), int32_t(v[1]), int32_t(v[3])};
        }
        if (data) XFree(data);
        return f;
    }

    bool create(Hwnd h, const Rect& r, uint32_t style, uint32_t ex_style, Hwnd owner) override {
        XSetWindowAttributes a{};
        a.background_pixmap = None;
        a.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                       EnterWindowMask | LeaveWindowMask | StructureNotifyMask | FocusChangeMask | ExposureMask |
                       PropertyChangeMask;
        bool popup = (style & ws::popup) && !(style & ws::caption);
        a.override_redirect = popup;
        Window id = XCreateWindow(dpy, root, r.left, r.top, std::max(r.width(), 1), std::max(r.height(), 1), 0,
                                  CopyFromParent, InputOutput, CopyFromParent,
                                  CWBackPixmap | CWEventMask | CWOverrideRedirect, &a);
        if (!id) return false;
        XSetWMProtocols(dpy, id, &wm_delete, 1);
        if (owner)
            if (auto o = windows.find(owner); o != windows.end()) XSetTransientForHint(dpy, id, o->second.id);
        XSizeHints hints{};
        hints.flags = PPosition | PSize;
        hints.x = r.left, hints.y = r.top, hints.width = r.width(), hints.height = r.height();
        XSetWMNormalHints(dpy, id, &hints);
        XWin w;
        w.id = id;
        if (xim)
            w.xic = XCreateIC(xim, XNInputStyle, XIMPreeditNothing | XIMStatusNothing, XNClientWindow, id,
                              XNFocusWindow, id, nullptr);
        w.target = cairo_xlib_surface_create(dpy, id, DefaultVisual(dpy, screen), std::max(r.width(), 1),
                                             std::max(r.height(), 1));
        windows[h] = w;
        by_id[id] = h;
        set_title(h, get_window_text(h));
        (void)ex_style;
        return true;
    }

    void destroy(Hwnd h) override {
        auto it = windows.find(h);
        if (it == windows.end()) return;
        forget(it->second);
        by_id.erase(it->second.id);
        XDestroyWindow(dpy, it->second.id);
        windows.erase(it);
        XFlush(dpy);
    }

    void show(Hwnd h, bool visible) override {
        auto it = windows.find(h);
        if (it == windows.end()) return;
        if (visible) XMapRaised(dpy, it->second.id);
        else XUnmapWindow(dpy, it->second.id);
        XFlush(dpy);
    }

    void place(Hwnd h, const Rect& r) override {
        auto it = windows.find(h);
        if (it == windows.end()) return;
        Rect f = it->second.frame;
        int w = std::max(r.width() - f.left - f.right, 1), ht = std::max(r.height() - f.top - f.bottom, 1);
        XMoveResizeWindow(dpy, it->second.id, r.left, r.top, w, ht);
        cairo_xlib_surface_set_size(it->second.target, w, ht);
    }

    void set_title(Hwnd h, const std::string& text) override {
        auto it = windows.find(h);
        if (it == windows.end()) return;
        XStoreName(dpy, it->second.id, text.c_str());
        XChangeProperty(dpy, it->second.id, net_wm_name, utf8_string, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(text.data()), int(text.size()));
    }

    void present(Hwnd h, cairo_surface_t* buffer, const Rect& damage) override {
        auto it = windows.find(h);
        if (it == windows.end() || !it->second.target) return;
        cairo_t* cr = cairo_create(it->second.target);
        cairo_rectangle(cr, damage.left, damage.top, damage.width(), damage.height());
        cairo_clip(cr);
        cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
        cairo_set_source_surface(cr, buffer, 0, 0);
        cairo_paint(cr);
        cairo_destroy(cr);
        cairo_surface_flush(it->second.target);
    }

    void activate(Hwnd h) override {
        if (detail::state().from_port) return;
        auto it = windows.find(h);
        if (it == windows.end()) return;
        XRaiseWindow(dpy, it->second.id);
        // Without a window manager nobody else gives the focus.
        XWindowAttributes attributes;
        if (XGetWindowAttributes(dpy, it->second.id, &attributes) && attributes.map_state == IsViewable)
            XSetInputFocus(dpy, it->second.id, RevertToParent, CurrentTime);
        else
            pending_focus = h;
    }
    Hwnd pending_focus = 0;

    void grab(Hwnd h) override {
        auto it = windows.find(get_root(h));
        if (!h || it == windows.end()) {
            XUngrabPointer(dpy, CurrentTime);
            return;
        }
        XGrabPointer(dpy, it->second.id, False, ButtonPressMask | ButtonReleaseMask | PointerMotionMask,
                     GrabModeAsync, GrabModeAsync, None, None, CurrentTime);
    }

    Rect frame(Hwnd h) override {
        auto it = windows.find(h);
        return it == windows.end() ? Rect{} : it->second.frame;
    }

    Hwnd hwnd_of(Window id) {
        auto it = by_id.find(id);
        return it == by_id.end() ? 0 : it->second;
    }

    void key_event(XKeyEvent& e, bool filtered) {
        Hwnd h = hwnd_of(e.window);
        bool down = e.type == KeyPress;
        KeySym sym = XLookupKeysym(&e, 0);
        uint8_t v = vk_of_keysym(sym);
        std::string text;
        if (down) {
            char buffer[64];
            KeySym typed = 0;
            int n = 0;
            auto it = windows.find(h);
            if (it != windows.end() && it->second.xic) {
                Status status;
                n = Xutf8LookupString(it->second.xic, &e, buffer, sizeof buffer - 1, &typed, &status);
                if (status != XLookupChars && status != XLookupBoth) n = 0;
            } else {
                n = XLookupString(&e, buffer, sizeof buffer - 1, &typed, nullptr);
            }
            if (n > 0) text.assign(buffer, size_t(n));
            if (!v) v = vk_of_keysym(typed);
        }
        // AltGr is the right Alt key, with no Control beside it.
        if (filtered) v = vk::processkey, text.clear();
        uint32_t scan = detail::scan_of(v);
        bool extended = detail::extended_of(v);
        if (!down) {
            // With detectable auto-repeat a held key sends presses only; a
            // release followed at once by a press of the same key is a repeat.
            if (XEventsQueued(dpy, QueuedAfterReading)) {
                XEvent next;
                XPeekEvent(dpy, &next);
                if (next.type == KeyPress && next.xkey.time == e.time && next.xkey.keycode == e.keycode) return;
            }
        }
        input_key(v, scan, extended, down, text, false, uint32_t(e.time));
    }

    void button_event(XButtonEvent& e) {
        Point p{e.x_root, e.y_root};
        bool down = e.type == ButtonPress;
        switch (e.button) {
        case 4:
        case 5:
            if (down) input_wheel(e.button == 4 ? wheel_delta : -wheel_delta, false, p, uint32_t(e.time));
            return;
        case 6:
        case 7:
            if (down) input_wheel(e.button == 7 ? wheel_delta : -wheel_delta, true, p, uint32_t(e.time));
            return;
        case 1:
        case 2:
        case 3:
        case 8:
        case 9: input_button(int32_t(e.button), down, p, uint32_t(e.time)); return;
        default: return;
        }
    }

    void configure(Hwnd h) {
        auto it = windows.find(h);
        if (it == windows.end()) return;
        Window child;
        int x = 0, y = 0;
        XTranslateCoordinates(dpy, it->second.id, root, 0, 0, &x, &y, &child);
        XWindowAttributes a;
        if (!XGetWindowAttributes(dpy, it->second.id, &a)) return;
        Rect f = read_frame(it->second.id);
        it->second.frame = f;
        cairo_xlib_surface_set_size(it->second.target, std::max(a.width, 1), std::max(a.height, 1));
        input_configure(h, {x - f.left, y - f.top, x + a.width + f.right, y + a.height + f.bottom});
    }

    void handle(XEvent& e) {
        bool filtered = XFilterEvent(&e, None);
        if (filtered && e.type != KeyPress) return;
        if (e.type == randr_event + RRScreenChangeNotify) {
            XRRUpdateConfiguration(&e);
            refresh_monitors();
            input_display_change();
            return;
        }
        Hwnd h = hwnd_of(e.xany.window);
        switch (e.type) {
        case KeyPress:
        case KeyRelease: key_event(e.xkey, filtered); break;
        case ButtonPress:
        case ButtonRelease: button_event(e.xbutton); break;
        case MotionNotify: input_pointer({e.xmotion.x_root, e.xmotion.y_root}, uint32_t(e.xmotion.time)); break;
        case EnterNotify: input_pointer({e.xcrossing.x_root, e.xcrossing.y_root}, uint32_t(e.xcrossing.time)); break;
        case LeaveNotify:
            if (e.xcrossing.mode == NotifyNormal) input_leave();
            break;
        case ClientMessage:
            if (h && e.xclient.message_type == wm_protocols && Atom(e.xclient.data.l[0]) == wm_delete) input_close(h);
            break;
        case ConfigureNotify:
            if (h) configure(h);
            break;
        case MapNotify:
            if (h && pending_focus == h) {
                pending_focus = 0;
                XSetInputFocus(dpy, e.xmap.window, RevertToParent, CurrentTime);
            }
            break;
        case FocusIn:
        case FocusOut:
            if (h && e.xfocus.mode == NotifyNormal && e.xfocus.detail != NotifyPointer) {
                auto it = windows.find(h);
                if (it != windows.end() && it->second.xic) {
                    if (e.type == FocusIn) XSetICFocus(it->second.xic);
                    else XUnsetICFocus(it->second.xic);
                }
                input_focus(h, e.type == FocusIn);
            }
            break;
        case Expose:
            if (h)
                if (cairo_surface_t* s = surface(h))
                    present(h, s,
                            {e.xexpose.x, e.xexpose.y, e.xexpose.x + e.xexpose.width, e.xexpose.y + e.xexpose.height});
            break;
        case PropertyNotify:
            if (e.xproperty.window == root && e.xproperty.atom == resource_manager) {
                int32_t now = read_dpi();
                if (now != dpi) {
                    dpi = now;
                    refresh_monitors();
                    for (const Monitor& m : cached) input_dpi(m.id, dpi);
                }
            } else if (h && e.xproperty.atom == net_frame_extents) {
                configure(h);
            }
            break;
        default: break;
        }
    }

    void pump() override {
        while (XPending(dpy)) {
            XEvent e;
            XNextEvent(dpy, &e);
            handle(e);
        }
    }
};

}  // namespace

std::unique_ptr<Port> open(std::string& error) {
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) {
        error = "no display: DISPLAY is not set";
        return nullptr;
    }
    XInitThreads();
    Display* dpy = XOpenDisplay(name);
    if (!dpy) {
        error = std::string("cannot open display \"") + name + "\"";
        return nullptr;
    }
    XSetErrorHandler(ignore_errors);
    XrmInitialize();
    auto p = std::make_unique<X11>();
    p->dpy = dpy;
    p->screen = DefaultScreen(dpy);
    p->root = RootWindow(dpy, p->screen);
    p->wm_protocols = XInternAtom(dpy, "WM_PROTOCOLS", False);
    p->wm_delete = XInternAtom(dpy, "WM_DELETE_WINDOW", False);
    p->net_frame_extents = XInternAtom(dpy, "_NET_FRAME_EXTENTS", False);
    p->net_wm_name = XInternAtom(dpy, "_NET_WM_NAME", False);
    p->utf8_string = XInternAtom(dpy, "UTF8_STRING", False);
    p->resource_manager = XInternAtom(dpy, "RESOURCE_MANAGER", False);
    p->transient_for = XInternAtom(dpy, "WM_TRANSIENT_FOR", False);
    p->gtk_theme_variant = XInternAtom(dpy, "_GTK_THEME_VARIANT", False);
    Bool detectable = False;
    XkbSetDetectableAutoRepeat(dpy, True, &detectable);
    int randr_error;
    if (XRRQueryExtension(dpy, &p->randr_event, &randr_error)) XRRSelectInput(dpy, p->root, RRScreenChangeNotifyMask);
    else p->randr_event = -1;
    XSelectInput(dpy, p->root, PropertyChangeMask);
    std::setlocale(LC_CTYPE, "");
    if (XSupportsLocale()) XSetLocaleModifiers("");
    p->xim = XOpenIM(dpy, nullptr, nullptr, nullptr);
    p->dpi = p->read_dpi();
    p->refresh_monitors();
    return p;
}

bool composition(Port& port) {
    auto* x = dynamic_cast<X11*>(&port);
    if (!x) return false;
    Atom cm = XInternAtom(x->dpy, "_NET_WM_CM_S0", False);
    return XGetSelectionOwner(x->dpy, cm) != None;
}

int32_t dpi(Port& port) {
    auto* x = dynamic_cast<X11*>(&port);
    return x ? x->dpi : 96;
}

void set_dark(Port& port, Hwnd h, bool dark) {
    auto* x = dynamic_cast<X11*>(&port);
    if (!x) return;
    auto it = x->windows.find(h);
    if (it == x->windows.end()) return;
    const char* v = dark ? "dark" : "light";
    XChangeProperty(x->dpy, it->second.id, x->gtk_theme_variant, x->utf8_string, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(v), int(std::strlen(v)));
}

}  // namespace oru::wl::x11
