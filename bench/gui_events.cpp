// GUI event benchmarks on the headless port, beside their Tk peer
// (bench/gui_events_tk.py under `xvfb-run -a`, when both are present):
//   - key round trip: a press and release of `a` injected N times; each
//     pair's key-down, key and key-up reach a counting awake before the next
//     pair; throughput and the median and 99th-percentile latency of a pair;
//   - a 16 ms (60 Hz) timer for five seconds on CLOCK_MONOTONIC: the mean
//     period and the 99th-percentile deviation from the schedule.
#include "view/backend/events.h"
#include "view/backend/wl/headless.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace oru;
using namespace oru::wl;

namespace {

int64_t counted = 0;
bool count_awake(gui::SharedEvent&) {
    ++counted;
    return false;
}
LResult proc(Hwnd h, uint32_t m, WParam wp, LParam lp) { return def_window_proc(h, m, wp, lp); }

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::vector<int64_t> timer_ticks;
void tick(Hwnd, uint32_t, uint64_t, uint32_t) { timer_ticks.push_back(now_ns()); }

}  // namespace

int main(int argc, char** argv) {
    int n = argc > 1 ? std::atoi(argv[1]) : 100000;
    init(headless::make());
    register_class({"OruWindow", cs::dblclks, proc, 0, 0xFFF0F0F0});
    Hwnd w = create_window(0, "OruWindow", "bench", ws::visible, 0, 0, 200, 100, 0);
    set_focus(w);
    while (gui::do_events(true)) {
    }
    gui::awake = count_awake;
    std::vector<int64_t> lat(size_t(n), 0);
    int64_t start = now_ns();
    for (int i = 0; i < n; ++i) {
        int64_t t0 = now_ns();
        headless::key('A', true, "a");
        headless::key('A', false, "");
        while (gui::do_events(true)) {
        }
        lat[size_t(i)] = now_ns() - t0;
    }
    double total = double(now_ns() - start) / 1e9;
    if (counted != 3LL * n) {
        std::printf("expected %d events, counted %lld\n", 3 * n, static_cast<long long>(counted));
        return 1;
    }
    std::sort(lat.begin(), lat.end());
    char ours_keys[200];
    std::snprintf(ours_keys, sizeof ours_keys, "keys %d %.3f %.2f %.2f", n, total, lat[lat.size() / 2] / 1000.0,
                  lat[lat.size() * 99 / 100] / 1000.0);

    int64_t t_start = now_ns();
    set_timer(0, 1, 16, tick);
    Msg m;
    while (now_ns() - t_start < 5'000'000'000 && get_message(m) > 0) dispatch_message(m);
    kill_timer(0, 1);
    std::vector<double> dev;
    for (size_t k = 0; k < timer_ticks.size(); ++k)
        dev.push_back(std::abs(double(timer_ticks[k] - (t_start + int64_t(k + 1) * 16'000'000))) / 1e6);
    std::sort(dev.begin(), dev.end());
    double mean = timer_ticks.size() > 1
                      ? double(timer_ticks.back() - timer_ticks.front()) / double(timer_ticks.size() - 1) / 1e6
                      : 0;
    char ours_timer[200];
    std::snprintf(ours_timer, sizeof ours_timer, "timer %zu %.3f %.3f %.3f", timer_ticks.size(), mean,
                  dev.empty() ? 0.0 : dev[dev.size() / 2],
                  dev.empty() ? 0.0 : dev[dev.size() * 99 / 100]);
    shutdown();

    std::string peer;
    std::string command = std::string("command -v xvfb-run >/dev/null && xvfb-run -a python3 ") + ORU_BENCH_DIR +
                          "/gui_events_tk.py " + std::to_string(n) + " 2>/dev/null";
    if (FILE* p = popen(command.c_str(), "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, p)) peer += line;
        pclose(p);
    }
    std::printf("%-6s %-28s %s\n", "side", "keys: n s median-us p99-us", "timer: ticks mean-ms median-dev-ms p99-dev-ms");
    std::printf("%-6s %-28s %s\n", "oru", ours_keys + 5, ours_timer + 6);
    if (!peer.empty()) {
        std::string keys = peer.substr(0, peer.find('\n')), timer = peer.substr(peer.find('\n') + 1);
        if (!timer.empty() && timer.back() == '\n') timer.pop_back();
        std::printf("%-6s %-28s %s\n", "tk", keys.substr(5).c_str(), timer.size() > 6 ? timer.substr(6).c_str() : "");
    } else {
        std::printf("tk     (python3-tk or xvfb-run missing)\n");
    }
    return 0;
}
