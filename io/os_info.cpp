// Command line, environment and OS description; see os_info.h.
#include "io/os_info.h"

#include "interpreter/stack.h"
#include "io/io_support.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/datatypes/word.h"
#include "runtime/system.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace oru::os_info {

namespace {

Cell* push_utf8(const std::string& s) { return io::push_text(reinterpret_cast<const u8*>(s.data()), s.size(), type::string, false); }

void append_string(const Cell& blk, const std::string& s) {
    push_utf8(s);
    block::rs_append(blk, *(stack::top - 1));
    stack::pop(1);
}

// The value of PRETTY_NAME in os-release text, its quotes and escapes
// removed; empty when absent.
std::string pretty_name(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
        std::string v = line.substr(12);
        while (!v.empty() && (v.back() == '\r' || v.back() == ' ')) v.pop_back();
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
            const char q = v.front();
            std::string out;
            for (size_t i = 1; i + 1 < v.size(); i++) {
                if (q == '"' && v[i] == '\\' && i + 2 < v.size()) i++;
                out += v[i];
            }
            return out;
        }
        return v;
    }
    return {};
}

const char* arch_of(const std::string& m) {
    if (m == "x86_64" || m == "amd64") return "x86-64";
    if (m == "aarch64" || m == "arm64" || m == "aarch64_be") return "ARM64";
    if (m == "i386" || m == "i486" || m == "i586" || m == "i686" || m == "x86") return "x86-32";
    if (m == "ia64") return "IA-64";
    if (m.rfind("arm", 0) == 0) return "ARM";
    return "Unknown";
}

}  // namespace

Cell* push_cmdline() {
    const char* line = runtime.command_line ? runtime.command_line : "";
    return io::push_text(reinterpret_cast<const u8*>(line), std::strlen(line), type::string, false);
}

bool split_entry(const char* entry, std::string& name, std::string& value) {
    if (!entry || !*entry) return false;
    const char* eq = std::strchr(entry + 1, '=');
    if (!eq) return false;
    name.assign(entry, static_cast<size_t>(eq - entry));
    value.assign(eq + 1);
    return true;
}

Cell* push_env_block() {
    Cell* blk = stack::push();
    block::make_at(*blk, 100);
    std::string name, value;
    for (char** e = environ; e && *e; e++) {
        if (!split_entry(*e, name, value)) continue;
        append_string(*blk, name);
        append_string(*blk, value);
    }
    return blk;
}

Cell* push_env_map() { return io::block_to_map(push_env_block()); }

Description describe(const Uname& u) {
    Description d{};
    const std::string pretty = pretty_name(u.os_release);
    d.name = pretty.empty() ? "Linux" : "Linux " + pretty;
    d.arch = arch_of(u.machine);
    // The release's first three numbers: 6.1.0-18-amd64 gives 6.1.0.
    const char* p = u.release.c_str();
    for (int i = 0; i < 3; i++) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) break;
        unsigned long n = 0;
        while (std::isdigit(static_cast<unsigned char>(*p))) {
            if (n < 1000) n = n * 10 + static_cast<unsigned long>(*p - '0');
            p++;
        }
        d.version[i] = static_cast<u8>(n > 255 ? 255 : n);
        if (*p != '.') break;
        p++;
    }
    const size_t hash = u.version.find('#');
    if (hash != std::string::npos) {
        i64 n = 0;
        bool any = false;
        for (size_t i = hash + 1; i < u.version.size() && std::isdigit(static_cast<unsigned char>(u.version[i])); i++) {
            any = true;
            if (n <= 0x7FFFFFFF) n = n * 10 + (u.version[i] - '0');
        }
        d.build = any && n <= 0x7FFFFFFF ? static_cast<i32>(n) : 0;
    }
    return d;
}

Uname current() {
    Uname u;
    struct utsname un {};
    if (::uname(&un) == 0) {
        u.release = un.release;
        u.version = un.version;
        u.machine = un.machine;
    }
    for (const char* f : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream in(f);
        if (!in) continue;
        std::ostringstream text;
        text << in.rdbuf();
        u.os_release = text.str();
        break;
    }
    return u;
}

Cell* push_os_info() {
    const Description d = describe(current());
    Cell* saved = stack::top;
    Cell* spec = stack::push();
    block::make_at(*spec, 8);
    set_word::make_in("name", *spec);
    append_string(*spec, d.name);
    set_word::make_in("arch", *spec);
    word::make_in(symbol::make(d.arch), *spec);
    set_word::make_in("version", *spec);
    block::rs_append(*spec, tuple::make(d.version, 3));
    set_word::make_in("build", *spec);
    block::rs_append(*spec, cell::integer(d.build));
    const Cell obj = *object::construct(cell::make(type::none), *spec, true);
    stack::top = saved;
    return stack::push(obj);
}

}  // namespace oru::os_info
