// DPI state, DPI scopes, the screen list and the backend's clock.
#include "view/backend/dpi.h"

#include <cmath>
#include <cstring>
#include <ctime>

namespace oru::gui {

namespace {
DpiState the_dpi;
std::vector<MonitorEntry> table;
}  // namespace

DpiState& dpi_state() { return the_dpi; }

void set_dpi(int32_t dpi) {
    if (dpi <= 0) return;
    the_dpi.dpi = dpi;
    the_dpi.scale = dpi / 96.0;
}

void init_dpi() {
    int32_t d = wl::monitor_dpi(wl::monitor_from_point(wl::get_cursor_pos()));
    set_dpi(d ? d : 96);
}

int32_t get_window_dpi(wl::Hwnd h) {
    int32_t d = wl::get_dpi_for_window(wl::get_root(h));
    return d ? d : the_dpi.dpi;
}

int32_t enter_dpi_scope(wl::Hwnd h) {
    ++the_dpi.scope_depth;
    int32_t saved = the_dpi.dpi;
    if (h) set_dpi(get_window_dpi(h));
    return saved;
}

void leave_dpi_scope(int32_t saved) {
    --the_dpi.scope_depth;
    if (the_dpi.dpi == saved) return;
    wl::Hwnd active = wl::get_active_window();
    if (the_dpi.scope_depth <= 0 && active && wl::is_window_visible(active)) set_dpi(get_window_dpi(active));
    else set_dpi(saved);
}

int32_t dpi_scale(double x) {
    double v = std::trunc(x * the_dpi.scale + 0.5);
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return int32_t(v);
}

double dpi_unscale(int32_t x) { return x / the_dpi.scale; }

void fit_monitor_dpi(double x, double y, double width, double height) {
    for (int round = 0; round < 4; ++round) {
        int32_t left = dpi_scale(x), top = dpi_scale(y);
        wl::Point centre{left + dpi_scale(width) / 2, top + dpi_scale(height) / 2};
        int32_t d = wl::monitor_dpi(wl::monitor_from_point(centre));
        if (!d || d == the_dpi.dpi) return;
        set_dpi(d);
    }
    init_dpi();
}

std::vector<Screen> fetch_all_screens() {
    table.clear();
    std::vector<Screen> out;
    for (const wl::Monitor& m : wl::monitors()) {
        double scale = m.dpi / 96.0;
        out.push_back({{m.rect.left, m.rect.top}, {m.rect.width(), m.rect.height()}, scale, m.id});
        table.push_back({m.id, float(scale), m.dpi});
    }
    return out;
}

const std::vector<MonitorEntry>& monitor_table() { return table; }

uint32_t current_screen() { return wl::monitor_from_point(wl::get_cursor_pos()); }

wl::Point screen_size_logical() {
    std::vector<wl::Monitor> list = wl::monitors();
    if (list.empty()) return {0, 0};
    return {list[0].rect.width() * 96 / the_dpi.dpi, list[0].rect.height() * 96 / the_dpi.dpi};
}

bool dark_mode_wanted(const char* gtk_theme, const char* theme_name) {
    auto ends = [](const char* s, const char* tail) {
        size_t n = s ? std::strlen(s) : 0, t = std::strlen(tail);
        return n >= t && std::strcmp(s + n - t, tail) == 0;
    };
    return ends(gtk_theme, ":dark") || ends(theme_name, "-dark");
}

void clock_start(Stopwatch& w) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    w.start_ns = int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

double clock_elapsed(const Stopwatch& w) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    int64_t now = int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
    return double(now - w.start_ns) / 1e6;
}

}  // namespace oru::gui
