// The process's view of itself and the machine: the raw command line, the
// environment as name/value pairs, and a description of the operating
// system (uname and /etc/os-release).
//
// OS text is UTF-8 decoded leniently. Every result is pushed on the data
// stack.
#pragma once

#include "runtime/cell.h"

#include <string>

namespace oru::os_info {

// The whole command line as the runtime record rebuilt it (program path
// included, arguments holding blanks quoted), as a new string!.
Cell* push_cmdline();

// Splits an environment entry at the first "=" that is not its first
// character (an entry that starts with "=" keeps it in its name). False
// when there is no such "=".
bool split_entry(const char* entry, std::string& name, std::string& value);

// A new block of name/value strings, two per variable, in the order of the
// process environment.
Cell* push_env_block();
// The same as a map! (internal/not-done while map! is not registered).
Cell* push_env_map();

// What the OS description is made from, and what it gives.
struct Uname {
    std::string release;   // kernel release: "6.1.0-18-amd64"
    std::string version;   // kernel version: "#1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1"
    std::string machine;   // "x86_64"
    std::string os_release;  // the text of /etc/os-release, or empty
};
struct Description {
    std::string name;       // "Linux " + PRETTY_NAME, else "Linux"
    const char* arch;       // x86-64, ARM64, x86-32, ARM, IA-64 or Unknown
    u8 version[3];          // the first three numbers of the release (each at most 255)
    i32 build;              // the number after "#" in the kernel version, else 0
};
Description describe(const Uname& u);

// The running system's Uname.
Uname current();

// __get-OS-info: an object! with the fields name (string!), arch (word!),
// version (tuple! of three parts) and build (integer!), in that order.
Cell* push_os_info();

}  // namespace oru::os_info
