// The program fuzzer's lists of callables by name, kept apart from its
// generator because every new library word that touches the outside world
// joins one of them. Included inside the fuzzer's own namespace.
#pragma once

// Callables no program calls: they reach outside the process or wait.
constexpr const char* never_called[] = {
    "wait",    // sleeps
    "browse",  // starts a browser
    "call",    // runs shell commands
    "create-dir",  // makes directories
    "set-current-dir",  // moves the process away from its directory
    "change-dir",  // the same, through system/options/path
    "make-dir",  // makes directories
    "load", "save", "do-file",  // read and write files and URLs, run scripts
    "flip-exe-flag",  // rewrites a file
    "extract-boot-args",  // replaces the start-up arguments
    "quit", "halt", "q",
    "quit-return",  // ends the process at once
    "expand-directives",  // reads files (#include) and keeps macros from one run to the next
    "list-dir", "ls", "ll", "dir", "pwd", "cd",  // read and change directories
    "expand",  // the preprocessor's state outlives a program
    // The download cache reads URLs and makes directories and files.
    "path-thru", "exists-thru?", "read-thru", "load-thru", "do-thru",
    "register-scheme",  // changes the scheme registry every later run shares
    "ask", "input", "console-read",  // wait for console input
    "_console-end-of-input",  // ends the process at its second call
    "halt-on-interrupt",  // changes the process's SIGINT action
    "debug",        // stops at its prompt for the console's input
};

// Callables whose answers differ from one run to the next (time, memory,
// randomness, the environment the first run changed): a program that calls
// one is still run twice, but its two runs are not compared.
constexpr const char* varying_callables[] = {
    "now", "stats", "recycle", "random", "get-env", "set-env", "list-env",
    "dt", "time-it", "clock",  // time their block
    "profile",  // prints the time each call took
};
