// The message queue: posted messages (any thread: a locked inbox that wakes
// the loop through an eventfd), raw input routed when it is taken, the quit
// flag, WM_PAINT and WM_TIMER made on demand, in that order. Waiting polls
// the port's descriptor, the eventfd and an absolute timerfd set to the
// next timer deadline.
//
// Input is routed when it is taken, not when it arrives, so capture and
// focus changes made while earlier input was dispatched apply to later
// input, and the key-state table changes as each input message is taken.
#include "view/backend/wl/internal.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace oru::wl {

using namespace detail;

namespace {

uint32_t pack_point(Point p) { return (uint32_t(p.x) & 0xFFFF) | (uint32_t(p.y) << 16); }

bool held(uint8_t vk) { return state().keys[vk] & 0x80; }

uint32_t mouse_key_flags() {
    uint32_t f = 0;
    if (held(vk::lbutton)) f |= mk::lbutton;
    if (held(vk::rbutton)) f |= mk::rbutton;
    if (held(vk::shift)) f |= mk::shift;
    if (held(vk::control)) f |= mk::control;
    if (held(vk::mbutton)) f |= mk::mbutton;
    if (held(vk::xbutton1)) f |= mk::xbutton1;
    if (held(vk::xbutton2)) f |= mk::xbutton2;
    return f;
}

// A key's own state and the generic Shift/Control/Alt state beside it.
void set_key(uint8_t vk, bool down) {
    uint8_t& k = state().keys[vk];
    if (down && !(k & 0x80)) k ^= 0x01;
    k = down ? (k | 0x80) : (k & ~0x80);
    auto generic = [](uint8_t g, uint8_t l, uint8_t r) {
        uint8_t& gk = state().keys[g];
        bool now = (state().keys[l] | state().keys[r]) & 0x80;
        if (now && !(gk & 0x80)) gk ^= 0x01;
        gk = now ? (gk | 0x80) : (gk & ~0x80);
    };
    if (vk >= vk::lshift && vk <= vk::rmenu) {
        generic(vk::shift, vk::lshift, vk::rshift);
        generic(vk::control, vk::lcontrol, vk::rcontrol);
        generic(vk::menu, vk::lmenu, vk::rmenu);
    }
}

// The sided key of a generic one, by its scan code and extended bit.
uint8_t sided(uint8_t v, uint32_t scan, bool extended) {
    switch (v) {
    case vk::shift: return scan == 0x36 ? vk::rshift : vk::lshift;
    case vk::control: return extended ? vk::rcontrol : vk::lcontrol;
    case vk::menu: return extended ? vk::rmenu : vk::lmenu;
    default: return v;
    }
}
uint8_t generic_of(uint8_t v) {
    if (v == vk::lshift || v == vk::rshift) return vk::shift;
    if (v == vk::lcontrol || v == vk::rcontrol) return vk::control;
    if (v == vk::lmenu || v == vk::rmenu) return vk::menu;
    return v;
}

uint8_t button_vk(int32_t b) {
    switch (b) {
    case 1: return vk::lbutton;
    case 2: return vk::mbutton;
    case 3: return vk::rbutton;
    case 8: return vk::xbutton1;
    case 9: return vk::xbutton2;
    default: return 0;
    }
}

// Down messages of buttons 1 (left), 2 (middle), 3 (right), 8 and 9 (X);
// up is down + 1 and double click down + 2.
uint32_t button_message(int32_t b) {
    switch (b) {
    case 1: return wm::lbuttondown;
    case 2: return wm::mbuttondown;
    case 3: return wm::rbuttondown;
    default: return wm::xbuttondown;
    }
}

RawInput raw(Raw kind, uint32_t time) {
    RawInput r;
    r.kind = kind;
    r.pt = state().cursor;
    r.time = time;
    return r;
}

void queue_raw(RawInput r) {
    if (!r.time) r.time = now_ms();
    state().input.push_back(std::move(r));
}

enum class Cooked { none, message, keep };  // keep: a message made, the raw input stays queued

Cooked cook_mouse(RawInput& r, Msg& out) {
    State& s = state();
    Hwnd target = s.capture ? s.capture : window_from_point(r.pt);
    if (s.tracked && target != s.tracked) {
        out.hwnd = s.tracked;
        out.message = wm::mouseleave;
        s.tracked = 0;
        return Cooked::keep;
    }
    uint8_t bvk = r.kind == Raw::button ? button_vk(r.value) : 0;
    if (bvk) set_key(bvk, r.flag);
    if (r.kind == Raw::leave || !target) return Cooked::none;
    // A disabled top-level takes no mouse input; disabled children were skipped by the hit test.
    if (!s.capture && !is_window_enabled(target)) return Cooked::none;
    uint32_t flags = mouse_key_flags();
    out.hwnd = target;
    out.pt = r.pt;
    switch (r.kind) {
    case Raw::pointer:
        out.message = wm::mousemove;
        out.wparam = flags;
        out.lparam = pack_point(screen_to_client(target, r.pt));
        return Cooked::message;
    case Raw::wheel: {
        int32_t d = std::clamp(r.value, -32768, 32767);
        out.message = r.flag ? wm::mousehwheel : wm::mousewheel;
        out.wparam = (WParam(uint16_t(int16_t(d))) << 16) | flags;
        out.lparam = pack_point(r.pt);
        return Cooked::message;
    }
    default: break;
    }
    uint32_t m = button_message(r.value);
    if (!bvk) return Cooked::none;
    if (r.flag) {
        auto& last = s.last_click;
        Window* w = find(target);
        bool dbl = w && (w->class_style & cs::dblclks) && last.hwnd == target && last.button == r.value &&
                   r.time - last.time <= double_click_ms && std::abs(r.pt.x - last.pt.x) <= double_click_distance &&
                   std::abs(r.pt.y - last.pt.y) <= double_click_distance;
        if (dbl) last.hwnd = 0;
        else last = {target, r.value, r.time, r.pt};
        out.message = dbl ? m + 2 : m;
    } else {
        out.message = m + 1;
    }
    out.wparam = flags;
    if (m == wm::xbuttondown) out.wparam |= WParam(r.value == 8 ? 1 : 2) << 16;
    out.lparam = pack_point(screen_to_client(target, r.pt));
    return Cooked::message;
}

Cooked cook_key(RawInput& r, Msg& out) {
    State& s = state();
    uint8_t v = sided(r.vk, r.scan, r.extended);
    bool before = held(v);
    set_key(v, r.flag);
    bool alt_down = held(vk::lmenu) || (!r.flag && v == vk::lmenu);
    bool sys = v == vk::f10 || (alt_down && !held(vk::control));
    Hwnd target = s.focus ? s.focus : s.active;
    if (!target) return Cooked::none;
    out.hwnd = target;
    out.pt = s.cursor;
    out.message = r.flag ? (sys ? wm::syskeydown : wm::keydown) : (sys ? wm::syskeyup : wm::keyup);
    out.wparam = generic_of(v);
    uint32_t lp = 1 | ((r.scan & 0xFF) << 16);
    if (r.extended) lp |= 1u << 24;
    if (sys && alt_down) lp |= 1u << 29;
    if (before || !r.flag) lp |= 1u << 30;
    if (!r.flag) lp |= 1u << 31;
    out.lparam = LParam(lp);
    if (r.flag) {
        std::u16string t = utf16(r.text);
        out.text_len = uint8_t(std::min<size_t>(t.size(), 4));
        std::copy_n(t.begin(), out.text_len, out.text);
    }
    return Cooked::message;
}

// Acts on a port event that is not a message; a message when it makes one.
Cooked cook_other(RawInput& r, Msg& out) {
    State& s = state();
    switch (r.kind) {
    case Raw::close:
    case Raw::message:
        if (!find(r.hwnd)) return Cooked::none;
        out.hwnd = r.hwnd;
        out.message = r.kind == Raw::close ? wm::close : r.message;
        out.wparam = r.wparam;
        out.lparam = r.lparam;
        return Cooked::message;
    case Raw::configure: {
        Window* w = find(r.hwnd);
        if (!w || w->rect == r.rect) return Cooked::none;
        bool sized = w->rect.width() != r.rect.width() || w->rect.height() != r.rect.height();
        w->rect = r.rect;
        w->frame = s.port->frame(r.hwnd);
        if (sized) resize_surface(w);
        invalidate_window(w, nullptr, true);
        send_message(r.hwnd, wm::windowposchanged, 0, 0);
        return Cooked::none;
    }
    case Raw::focus:
        if (!find(r.hwnd)) return Cooked::none;
        s.from_port = true;
        if (r.flag) {
            set_active_window(r.hwnd);
        } else if (s.active == r.hwnd) {
            if (s.focus) set_focus(0);
            s.active = 0;
            send_message(r.hwnd, wm::activate, wa_inactive, 0);
        }
        s.from_port = false;
        return Cooked::none;
    case Raw::dpi:
        for (Hwnd t : std::vector<Hwnd>(s.tops)) {
            Window* w = find(t);
            if (!w || monitor_from_window(t) != r.hwnd || w->dpi == r.value) continue;
            Rect now = w->rect;
            Rect suggested{now.left, now.top, now.left + now.width() * r.value / w->dpi,
                           now.top + now.height() * r.value / w->dpi};
            w->dpi = r.value;
            send_message(t, wm::dpichanged, WParam(uint32_t(r.value) | (uint32_t(r.value) << 16)),
                         reinterpret_cast<LParam>(&suggested));
        }
        return Cooked::none;
    case Raw::display: {
        std::vector<Monitor> list = s.port->monitors();
        Rect primary = list.empty() ? Rect{} : list[0].rect;
        for (Hwnd t : std::vector<Hwnd>(s.tops)) {
            if (Window* w = find(t)) w->dpi = monitor_dpi(monitor_from_window(t));
            send_message(t, wm::displaychange, 32, LParam(pack_point({primary.width(), primary.height()})));
        }
        return Cooked::none;
    }
    default: return Cooked::none;
    }
}

// The earliest due timer, or none.
Timer* due_timer(int64_t now) {
    Timer* best = nullptr;
    for (Timer& t : state().timers)
        if (t.next_ns <= now && (!best || t.next_ns < best->next_ns)) best = &t;
    return best;
}

bool pumping = false;

bool take(Msg& out, bool remove) {
    State& s = state();
    if (!pumping) {
        pumping = true;
        s.port->pump();
        pumping = false;
    }
    out = Msg{};
    {
        std::lock_guard<std::mutex> lock(s.posted_lock);
        if (!s.posted.empty()) {
            out = s.posted.front();
            if (remove) s.posted.pop_front();
            return true;
        }
    }
    while (!s.input.empty()) {
        RawInput r = s.input.front();
        Msg m;
        m.time = r.time;
        m.pt = r.pt;
        if (r.kind != Raw::pointer && r.kind != Raw::button && r.kind != Raw::wheel && r.kind != Raw::leave &&
            r.kind != Raw::key) {
            // Port events act as they are reached, taken or peeked.
            s.input.pop_front();
            if (cook_other(r, m) == Cooked::none) continue;
            if (!remove) s.input.push_front(r);
            out = m;
            return true;
        }
        // Input that reaches no window is used up, peeked or not, with its
        // effect on the key state; a peek that finds a message leaves no trace.
        uint8_t keys[256];
        std::copy_n(s.keys, 256, keys);
        auto last_click = s.last_click;
        Hwnd tracked = s.tracked;
        Cooked c = r.kind == Raw::key ? cook_key(r, m) : cook_mouse(r, m);
        if (c == Cooked::none) {
            s.input.pop_front();
            continue;
        }
        if (!remove) {
            std::copy_n(keys, 256, s.keys);
            s.last_click = last_click;
            s.tracked = tracked;
        } else if (c == Cooked::message) {
            s.input.pop_front();
        }
        out = m;
        return true;
    }
    {
        std::lock_guard<std::mutex> lock(s.posted_lock);
        if (s.quit) {
            out.message = wm::quit;
            out.wparam = WParam(int64_t(s.quit_code));
            if (remove) s.quit = false;
            return true;
        }
    }
    if (Hwnd h = next_paint_window()) {
        out.hwnd = h;
        out.message = wm::paint;
        return true;
    }
    int64_t now = s.clock->now_ns();
    if (Timer* t = due_timer(now)) {
        out.hwnd = t->hwnd;
        out.message = wm::timer;
        out.wparam = t->id;
        out.lparam = reinterpret_cast<LParam>(t->proc);
        out.time = uint32_t(now / 1'000'000);
        if (remove) {
            // The next deadline follows the last one; ticks missed in a stall are skipped, never burst.
            t->next_ns += t->period_ns;
            if (t->next_ns <= now) t->next_ns += ((now - t->next_ns) / t->period_ns + 1) * t->period_ns;
        }
        return true;
    }
    return false;
}

void note_taken(const Msg& m) {
    State& s = state();
    s.message_pos = m.pt;
    s.message_time = m.time;
}

// Blocks until something may have arrived; false when nothing ever can.
bool wait() {
    State& s = state();
    int64_t deadline = -1;
    for (const Timer& t : s.timers)
        if (deadline < 0 || t.next_ns < deadline) deadline = t.next_ns;
    if (s.clock->manual()) return s.clock->advance_to(deadline);
    itimerspec spec{};
    if (deadline >= 0) {
        spec.it_value.tv_sec = deadline / 1'000'000'000;
        spec.it_value.tv_nsec = deadline % 1'000'000'000;
        if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0) spec.it_value.tv_nsec = 1;
    }
    timerfd_settime(s.timer_fd, TFD_TIMER_ABSTIME, &spec, nullptr);
    pollfd fds[3] = {{s.event_fd, POLLIN, 0}, {s.timer_fd, POLLIN, 0}, {s.port->fd(), POLLIN, 0}};
    int n = s.port->fd() >= 0 ? 3 : 2;
    s.port->flush();
    while (poll(fds, n, -1) < 0 && errno == EINTR) {
    }
    uint64_t drained;
    if (fds[0].revents & POLLIN) (void)!read(s.event_fd, &drained, sizeof drained);
    if (fds[1].revents & POLLIN) (void)!read(s.timer_fd, &drained, sizeof drained);
    return true;
}

}  // namespace

namespace detail {

void remove_window_timers(Hwnd h) {
    auto& t = state().timers;
    t.erase(std::remove_if(t.begin(), t.end(), [h](const Timer& x) { return x.hwnd == h; }), t.end());
}

void drop_window_input(Hwnd h) {
    auto& in = state().input;
    in.erase(std::remove_if(in.begin(), in.end(), [h](const RawInput& r) { return r.hwnd == h; }), in.end());
}

}  // namespace detail

bool post_message(Hwnd h, uint32_t m, WParam wp, LParam lp) {
    State& s = state();
    Msg msg;
    msg.hwnd = h;
    msg.message = m;
    msg.wparam = wp;
    msg.lparam = lp;
    {
        std::lock_guard<std::mutex> lock(s.posted_lock);
        s.posted.push_back(msg);
    }
    uint64_t one = 1;
    (void)!write(s.event_fd, &one, sizeof one);
    return true;
}

void post_quit_message(int32_t code) {
    State& s = state();
    {
        std::lock_guard<std::mutex> lock(s.posted_lock);
        s.quit = true;
        s.quit_code = code;
    }
    uint64_t one = 1;
    (void)!write(s.event_fd, &one, sizeof one);
}

int32_t get_message(Msg& m) {
    for (;;) {
        if (take(m, true)) {
            note_taken(m);
            return m.message == wm::quit ? 0 : 1;
        }
        if (!wait()) return -1;
    }
}

bool peek_message(Msg& m, bool remove) {
    if (!take(m, remove)) return false;
    if (remove) note_taken(m);
    return true;
}

bool translate_message(const Msg& m) {
    if ((m.message != wm::keydown && m.message != wm::syskeydown) || !m.text_len) return false;
    uint32_t char_message = m.message == wm::keydown ? wm::char_ : wm::syschar;
    for (uint8_t i = 0; i < m.text_len; ++i) post_message(m.hwnd, char_message, m.text[i], m.lparam);
    return true;
}

LResult dispatch_message(const Msg& m) {
    State& s = state();
    if (m.message == wm::timer && m.lparam) {
        // The timer may have been killed since its message was made.
        auto live = std::find_if(s.timers.begin(), s.timers.end(),
                                 [&](const Timer& t) { return t.hwnd == m.hwnd && t.id == m.wparam; });
        if (live == s.timers.end()) return 0;
        s.dispatching.push_back(&m);
        ++s.call_depth;
        reinterpret_cast<TimerProc>(m.lparam)(m.hwnd, m.message, m.wparam, m.time);
        --s.call_depth;
        s.dispatching.pop_back();
        free_graveyard();
        return 0;
    }
    if (!find(m.hwnd)) return 0;
    s.dispatching.push_back(&m);
    LResult r = send_message(m.hwnd, m.message, m.wparam, m.lparam);
    s.dispatching.pop_back();
    return r;
}

const Msg& current_message() {
    State& s = state();
    return s.dispatching.empty() ? s.blank : *s.dispatching.back();
}

Point get_message_pos() { return state().message_pos; }
uint32_t get_message_time() { return state().message_time; }

uint64_t set_timer(Hwnd h, uint64_t id, uint32_t period_ms, TimerProc proc) {
    State& s = state();
    if (h && !find(h)) return 0;
    int64_t period = int64_t(std::max<uint32_t>(period_ms, 1)) * 1'000'000;
    int64_t next = s.clock->now_ns() + period;
    for (Timer& t : s.timers)
        if (t.hwnd == h && t.id == id) {
            t.period_ns = period, t.next_ns = next, t.proc = proc;
            return id ? id : 1;
        }
    if (!h && !id) {
        id = 1;
        while (std::any_of(s.timers.begin(), s.timers.end(), [&](const Timer& t) { return !t.hwnd && t.id == id; })) ++id;
    }
    s.timers.push_back({h, id, period, next, proc});
    return id ? id : 1;
}

bool kill_timer(Hwnd h, uint64_t id) {
    auto& t = state().timers;
    auto it = std::find_if(t.begin(), t.end(), [&](const Timer& x) { return x.hwnd == h && x.id == id; });
    if (it == t.end()) return false;
    t.erase(it);
    return true;
}

int16_t get_key_state(uint8_t v) {
    uint8_t k = state().keys[v];
    return int16_t((k & 0x80 ? 0x8000 : 0) | (k & 0x01));
}
void set_key_state(uint8_t v, bool down) { set_key(v, down); }

// Input from ports.

void input_pointer(Point p, uint32_t time) {
    State& s = state();
    s.cursor = p;
    // Consecutive moves collapse into the latest.
    if (!s.input.empty() && s.input.back().kind == Raw::pointer) {
        s.input.back().pt = p;
        s.input.back().time = time ? time : now_ms();
        return;
    }
    RawInput r = raw(Raw::pointer, time);
    queue_raw(std::move(r));
}
void input_button(int32_t button, bool down, Point p, uint32_t time) {
    state().cursor = p;
    RawInput r = raw(Raw::button, time);
    r.value = button;
    r.flag = down;
    queue_raw(std::move(r));
}
void input_wheel(int32_t delta, bool horizontal, Point p, uint32_t time) {
    RawInput r = raw(Raw::wheel, time);
    r.pt = p;
    r.value = delta;
    r.flag = horizontal;
    queue_raw(std::move(r));
}
void input_leave() { queue_raw(raw(Raw::leave, 0)); }
void input_key(uint8_t v, uint32_t scan, bool extended, bool down, const std::string& text, bool repeat,
               uint32_t time) {
    RawInput r = raw(Raw::key, time);
    r.flag = down;
    r.vk = v;
    r.scan = scan;
    r.extended = extended;
    r.repeat = repeat;
    r.text = text;
    queue_raw(std::move(r));
}
void input_close(Hwnd h) {
    RawInput r = raw(Raw::close, 0);
    r.hwnd = h;
    queue_raw(std::move(r));
}
void input_configure(Hwnd h, const Rect& rect) {
    RawInput r = raw(Raw::configure, 0);
    r.hwnd = h;
    r.rect = rect;
    queue_raw(std::move(r));
}
void input_focus(Hwnd h, bool in) {
    RawInput r = raw(Raw::focus, 0);
    r.hwnd = h;
    r.flag = in;
    queue_raw(std::move(r));
}
void input_dpi(uint32_t monitor, int32_t dpi) {
    RawInput r = raw(Raw::dpi, 0);
    r.hwnd = monitor;
    r.value = dpi;
    queue_raw(std::move(r));
}
void input_display_change() { queue_raw(raw(Raw::display, 0)); }
void input_message(Hwnd h, uint32_t m, WParam wp, LParam lp) {
    RawInput r = raw(Raw::message, 0);
    r.hwnd = h;
    r.message = m;
    r.wparam = wp;
    r.lparam = lp;
    queue_raw(std::move(r));
}

std::u16string utf16(const std::string& s) {
    std::u16string out;
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = s[i];
        uint32_t cp;
        int n;
        if (c < 0x80) cp = c, n = 1;
        else if ((c & 0xE0) == 0xC0) cp = c & 0x1F, n = 2;
        else if ((c & 0xF0) == 0xE0) cp = c & 0x0F, n = 3;
        else if ((c & 0xF8) == 0xF0) cp = c & 0x07, n = 4;
        else cp = 0xFFFD, n = 1;
        bool ok = n == 1 || i + n <= s.size();
        for (int k = 1; ok && k < n; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) ok = false;
            else cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        static constexpr uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (!ok) cp = 0xFFFD, n = 1;
        else if (n > 1 && (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000))) cp = 0xFFFD;
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(char16_t(0xD800 | (cp >> 10)));
            out.push_back(char16_t(0xDC00 | (cp & 0x3FF)));
        } else {
            out.push_back(char16_t(cp));
        }
    }
    return out;
}

}  // namespace oru::wl
