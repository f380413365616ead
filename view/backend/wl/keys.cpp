// The keyboard layout of the layer: virtual keys, their set-1 scan codes and
// the characters they type on a US layout. Ports that read the real layout
// (X11) give the typed text themselves; these tables answer the mapping
// calls and give the headless port its text.
#include "view/backend/wl/internal.h"

namespace oru::wl {

namespace {

struct KeyRow {
    uint8_t vk;
    uint16_t scan;  // 0xE0 in the high byte: extended
    char plain, shifted;
};

// ORDER: each virtual key once; scan codes of the set-1 layout.
constexpr KeyRow rows[] = {
    {vk::escape, 0x01, 27, 27}, {'1', 0x02, '1', '!'}, {'2', 0x03, '2', '@'}, {'3', 0x04, '3', '#'},
    {'4', 0x05, '4', '$'}, {'5', 0x06, '5', '%'}, {'6', 0x07, '6', '^'}, {'7', 0x08, '7', '&'},
    {'8', 0x09, '8', '*'}, {'9', 0x0A, '9', '('}, {'0', 0x0B, '0', ')'}, {vk::oem_minus, 0x0C, '-', '_'},
    {vk::oem_plus, 0x0D, '=', '+'}, {vk::back, 0x0E, 8, 8}, {vk::tab, 0x0F, 9, 9}, {'Q', 0x10, 'q', 'Q'},
    {'W', 0x11, 'w', 'W'}, {'E', 0x12, 'e', 'E'}, {'R', 0x13, 'r', 'R'}, {'T', 0x14, 't', 'T'},
    {'Y', 0x15, 'y', 'Y'}, {'U', 0x16, 'u', 'U'}, {'I', 0x17, 'i', 'I'}, {'O', 0x18, 'o', 'O'},
    {'P', 0x19, 'p', 'P'}, {vk::oem_4, 0x1A, '[', '{'}, {vk::oem_6, 0x1B, ']', '}'},
    {vk::return_, 0x1C, 13, 13}, {vk::lcontrol, 0x1D, 0, 0}, {'A', 0x1E, 'a', 'A'}, {'S', 0x1F, 's', 'S'},
    {'D', 0x20, 'd', 'D'}, {'F', 0x21, 'f', 'F'}, {'G', 0x22, 'g', 'G'}, {'H', 0x23, 'h', 'H'},
    {'J', 0x24, 'j', 'J'}, {'K', 0x25, 'k', 'K'}, {'L', 0x26, 'l', 'L'}, {vk::oem_1, 0x27, ';', ':'},
    {vk::oem_7, 0x28, '\'', '"'}, {vk::oem_3, 0x29, '`', '~'}, {vk::lshift, 0x2A, 0, 0},
    {vk::oem_5, 0x2B, '\\', '|'}, {'Z', 0x2C, 'z', 'Z'}, {'X', 0x2D, 'x', 'X'}, {'C', 0x2E, 'c', 'C'},
    {'V', 0x2F, 'v', 'V'}, {'B', 0x30, 'b', 'B'}, {'N', 0x31, 'n', 'N'}, {'M', 0x32, 'm', 'M'},
    {vk::oem_comma, 0x33, ',', '<'}, {vk::oem_period, 0x34, '.', '>'}, {vk::oem_2, 0x35, '/', '?'},
    {vk::rshift, 0x36, 0, 0}, {vk::multiply, 0x37, '*', '*'}, {vk::lmenu, 0x38, 0, 0},
    {vk::space, 0x39, ' ', ' '}, {vk::capital, 0x3A, 0, 0}, {vk::f1, 0x3B, 0, 0}, {vk::f1 + 1, 0x3C, 0, 0},
    {vk::f1 + 2, 0x3D, 0, 0}, {vk::f1 + 3, 0x3E, 0, 0}, {vk::f1 + 4, 0x3F, 0, 0}, {vk::f1 + 5, 0x40, 0, 0},
    {vk::f1 + 6, 0x41, 0, 0}, {vk::f1 + 7, 0x42, 0, 0}, {vk::f1 + 8, 0x43, 0, 0}, {vk::f10, 0x44, 0, 0},
    {vk::numlock, 0x45, 0, 0}, {vk::scroll, 0x46, 0, 0}, {vk::numpad0 + 7, 0x47, '7', '7'},
    {vk::numpad0 + 8, 0x48, '8', '8'}, {vk::numpad0 + 9, 0x49, '9', '9'}, {vk::subtract, 0x4A, '-', '-'},
    {vk::numpad0 + 4, 0x4B, '4', '4'}, {vk::numpad0 + 5, 0x4C, '5', '5'}, {vk::numpad0 + 6, 0x4D, '6', '6'},
    {vk::add, 0x4E, '+', '+'}, {vk::numpad0 + 1, 0x4F, '1', '1'}, {vk::numpad0 + 2, 0x50, '2', '2'},
    {vk::numpad0 + 3, 0x51, '3', '3'}, {vk::numpad0, 0x52, '0', '0'}, {vk::decimal, 0x53, '.', '.'},
    {vk::oem_102, 0x56, '\\', '|'}, {vk::f1 + 10, 0x57, 0, 0}, {vk::f12, 0x58, 0, 0},
    {vk::rcontrol, 0xE01D, 0, 0}, {vk::rmenu, 0xE038, 0, 0}, {vk::divide, 0xE035, '/', '/'},
    {vk::home, 0xE047, 0, 0}, {vk::up, 0xE048, 0, 0}, {vk::prior, 0xE049, 0, 0}, {vk::left, 0xE04B, 0, 0},
    {vk::right, 0xE04D, 0, 0}, {vk::end, 0xE04F, 0, 0}, {vk::down, 0xE050, 0, 0}, {vk::next, 0xE051, 0, 0},
    {vk::insert, 0xE052, 0, 0}, {vk::delete_, 0xE053, 0, 0}, {vk::lwin, 0xE05B, 0, 0},
    {vk::rwin, 0xE05C, 0, 0}, {vk::apps, 0xE05D, 0, 0}, {vk::pause, 0x0045 | 0xE100, 0, 0},
};

const KeyRow* row_of_vk(uint8_t v) {
    if (v == vk::shift) v = vk::lshift;
    else if (v == vk::control) v = vk::lcontrol;
    else if (v == vk::menu) v = vk::lmenu;
    for (const KeyRow& r : rows)
        if (r.vk == v) return &r;
    return nullptr;
}

uint8_t generic(uint8_t v) {
    if (v == vk::lshift || v == vk::rshift) return vk::shift;
    if (v == vk::lcontrol || v == vk::rcontrol) return vk::control;
    if (v == vk::lmenu || v == vk::rmenu) return vk::menu;
    return v;
}

}  // namespace

namespace detail {

uint32_t scan_of(uint8_t v) {
    const KeyRow* r = row_of_vk(v);
    return r ? r->scan & 0xFF : 0;
}

bool extended_of(uint8_t v) {
    const KeyRow* r = row_of_vk(v);
    return r && (r->scan & 0xFF00);
}

uint8_t vk_of_scan(uint32_t scan, bool extended) {
    uint16_t want = uint16_t((scan & 0xFF) | (extended ? 0xE000 : 0));
    for (const KeyRow& r : rows)
        if ((r.scan & 0xE0FF) == want) return r.vk;
    return 0;
}

}  // namespace detail

uint32_t map_virtual_key(uint32_t code, uint32_t type) {
    switch (type) {
    case 0: return detail::scan_of(uint8_t(code));
    case 1: return generic(detail::vk_of_scan(code & 0xFF, (code & 0xFF00) == 0xE000));
    case 2: {
        if (code > 0xFF) return 0;
        const KeyRow* r = row_of_vk(uint8_t(code));
        if (!r || !r->plain) return 0;
        return code >= 'A' && code <= 'Z' ? code : uint32_t(uint8_t(r->plain));
    }
    case 3: return detail::vk_of_scan(code & 0xFF, (code & 0xFF00) == 0xE000);
    default: return 0;
    }
}

char16_t key_char(uint8_t v, bool shift) {
    const KeyRow* r = row_of_vk(v);
    if (!r) return 0;
    return char16_t(uint8_t(shift ? r->shifted : r->plain));
}

int16_t vk_key_scan(char16_t c) {
    if (c >= 1 && c <= 26) return int16_t(0x200 | ('A' + c - 1));  // Control and a letter
    for (const KeyRow& r : rows) {
        if (r.vk >= vk::numpad0 && r.vk <= vk::divide) continue;  // the main block first
        if (r.plain && char16_t(uint8_t(r.plain)) == c) return r.vk;
        if (r.shifted && char16_t(uint8_t(r.shifted)) == c) return int16_t(0x100 | r.vk);
    }
    return -1;
}

}  // namespace oru::wl
