// The backend's DPI state, screens and clock. Face coordinates are in
// 96-DPI units and become pixels through one process-wide scale (DPI / 96),
// switched to a window's DPI inside DPI scopes around the work on it.
#pragma once

#include "view/backend/wl/wl.h"

#include <cstdint>
#include <string>
#include <vector>

namespace oru::gui {

struct DpiState {
    int32_t dpi = 96;
    double scale = 1.0;
    int32_t scope_depth = 0;
};
DpiState& dpi_state();

void set_dpi(int32_t dpi);
// The DPI of the monitor holding the pointer becomes current.
void init_dpi();
int32_t get_window_dpi(wl::Hwnd);  // the current DPI for a window the layer does not know
int32_t enter_dpi_scope(wl::Hwnd);  // the saved DPI
void leave_dpi_scope(int32_t saved);
// The DPI of the monitor that a window rectangle (in logical units) lands
// on, settled in at most four rounds.
void fit_monitor_dpi(double x, double y, double width, double height);

// Logical units to pixels: truncate(x × scale + 0.5), kept in the 32-bit
// range (NaN gives 0); and back.
int32_t dpi_scale(double x);
double dpi_unscale(int32_t x);

// One screen as the library wants it: the monitor's top-left corner and
// size in pixels, its scale and its handle value. The monitor table behind
// it grows with the screens: any number of monitors is recorded.
struct Screen {
    wl::Point offset;
    wl::Point size;
    double scale;
    uint32_t monitor;
};
std::vector<Screen> fetch_all_screens();
struct MonitorEntry {
    uint32_t monitor;
    float scale;
    int32_t dpi;
};
const std::vector<MonitorEntry>& monitor_table();
uint32_t current_screen();        // the monitor under the pointer
wl::Point screen_size_logical();  // the first screen in logical units

// Dark mode: wanted when GTK_THEME ends in ":dark" or the theme name the
// desktop publishes ends in "-dark".
bool dark_mode_wanted(const char* gtk_theme, const char* theme_name);

// A millisecond clock on CLOCK_MONOTONIC with 64-bit nanoseconds: no cap.
struct Stopwatch {
    int64_t start_ns = 0;
};
void clock_start(Stopwatch&);
double clock_elapsed(const Stopwatch&);

}  // namespace oru::gui
