// DPI scaling, DPI scopes, screens and the clock of the backend on the
// headless port with monitors at 96 and 144 DPI.
#include "view/backend/dpi.h"
#include "view/backend/wl/headless.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace oru;
using namespace oru::wl;

namespace {

LResult proc(Hwnd h, uint32_t m, WParam wp, LParam lp) { return def_window_proc(h, m, wp, lp); }

class GuiDpi : public ::testing::Test {
protected:
    ManualClock clock;
    void SetUp() override {
        init(headless::make({{0, "left", {0, 0, 1024, 768}, {0, 0, 1024, 768}, 96},
                             {0, "right", {1024, 0, 2048, 768}, {1024, 0, 2048, 768}, 144}}),
             &clock);
        register_class({"OruWindow", 0, proc, 0, 0});
        gui::set_dpi(96);
        gui::dpi_state().scope_depth = 0;
    }
    void TearDown() override { shutdown(); }
};

TEST_F(GuiDpi, ScalingRoundsAndStaysInRange) {
    gui::set_dpi(144);
    EXPECT_EQ(gui::dpi_scale(3), 5);
    EXPECT_NEAR(gui::dpi_unscale(5), 3.333, 0.001);
    EXPECT_EQ(gui::dpi_scale(100), 150);
    EXPECT_EQ(gui::dpi_scale(50), 75);
    EXPECT_EQ(gui::dpi_scale(1e12), INT32_MAX);
    EXPECT_EQ(gui::dpi_scale(-1e12), INT32_MIN);
    EXPECT_EQ(gui::dpi_scale(std::nan("")), 0);
}

TEST_F(GuiDpi, ScopesReturnToTheActiveWindowsDpi) {
    Hwnd left = create_window(0, "OruWindow", "", ws::visible, 100, 100, 100, 100, 0);
    Hwnd right = create_window(0, "OruWindow", "", 0, 1200, 100, 100, 100, 0);
    set_active_window(left);
    int32_t saved = gui::enter_dpi_scope(right);
    EXPECT_EQ(gui::dpi_state().dpi, 144);
    EXPECT_EQ(gui::dpi_state().scale, 1.5);
    gui::leave_dpi_scope(saved);
    EXPECT_EQ(gui::dpi_state().dpi, 96);
    // A rectangle on the right monitor settles there.
    gui::fit_monitor_dpi(1300, 100, 100, 50);
    EXPECT_EQ(gui::dpi_state().dpi, 144);
}

TEST_F(GuiDpi, ScreensListEveryMonitorAndTheTableGrows) {
    std::vector<Monitor> many;
    for (int i = 0; i < 12; ++i)
        many.push_back({0, "m", {i * 100, 0, i * 100 + 100, 100}, {}, i % 2 ? 144 : 96});
    headless::set_monitors(many);
    std::vector<gui::Screen> screens = gui::fetch_all_screens();
    ASSERT_EQ(screens.size(), 12u);
    EXPECT_EQ(gui::monitor_table().size(), 12u);
    EXPECT_EQ(screens[11].offset, (Point{1100, 0}));
    EXPECT_EQ(screens[11].scale, 1.5);
    EXPECT_EQ(gui::monitor_table()[11].dpi, 144);
}

TEST(GuiDarkMode, WantedFromTheThemeNames) {
    EXPECT_TRUE(gui::dark_mode_wanted("Adwaita:dark", nullptr));
    EXPECT_TRUE(gui::dark_mode_wanted(nullptr, "Adwaita-dark"));
    EXPECT_FALSE(gui::dark_mode_wanted("Adwaita", "Adwaita"));
    EXPECT_FALSE(gui::dark_mode_wanted(nullptr, nullptr));
}

TEST(GuiClock, NoCapOnLongIntervals) {
    gui::Stopwatch w;
    gui::clock_start(w);
    w.start_ns -= int64_t(3600) * 1'000'000'000;  // an hour ago: past any 32-bit tick counter
    EXPECT_NEAR(gui::clock_elapsed(w), 3'600'000.0, 1000.0);
}

}  // namespace
