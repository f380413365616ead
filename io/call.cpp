// The process launcher on posix_spawnp; see call.h.
#include "io/call.h"

#include "interpreter/stack.h"
#include "io/io_support.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/series.h"
#include "runtime/fire.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>

extern char** environ;

namespace oru::call {

namespace {

constexpr size_t pump_step = 64 * 1024;

// posix_spawn's attribute and file-action records, destroyed on every path.
struct SpawnSetup {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    SpawnSetup() {
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_init(&actions);
        // The child starts with every signal at its default and none
        // blocked, whatever the runtime set for itself (a blocked SIGPIPE
        // included).
        sigset_t all, none;
        sigfillset(&all);
        sigdelset(&all, SIGKILL);
        sigdelset(&all, SIGSTOP);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attr, &all);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    // The child's descriptors 0-2 become these; nothing else stays open.
    void streams(int in, int out, int err) {
        posix_spawn_file_actions_adddup2(&actions, in, 0);
        posix_spawn_file_actions_adddup2(&actions, out, 1);
        posix_spawn_file_actions_adddup2(&actions, err, 2);
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    }
};

// Spawns argv; the child's pid, or -errno.
long spawn(const std::vector<std::string>& args, SpawnSetup& setup) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int r = posix_spawnp(&pid, argv[0], &setup.actions, &setup.attr, argv.data(), environ);
    return r == 0 ? static_cast<long>(pid) : -static_cast<long>(r);
}

// The exit status of a child, waited for: its exit code, or 128 + the
// signal that killed it.
i32 wait_for(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

void* reaper(void* p) {
    const pid_t pid = static_cast<pid_t>(reinterpret_cast<intptr_t>(p));
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return nullptr;
}

// Reaps the child once it ends, from a small detached thread that takes no
// signals. If no thread can be made, the child is waited for at once.
void reap_later(pid_t pid) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t thread;
    const int r = pthread_create(&thread, &attr, reaper, reinterpret_cast<void*>(static_cast<intptr_t>(pid)));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    if (r != 0) wait_for(pid);
}

io::Fd open_null(int flags) { return io::Fd(::open("/dev/null", flags | O_CLOEXEC)); }

// One of the child's output streams: where it goes, and what was collected.
struct Output {
    io::Fd child;      // the child's end (a file, a pipe's write end or /dev/null)
    io::Fd read_end;   // ours, when collecting
    io::Bytes bytes;
    const Cell* target = nullptr;
};

// Sets up an output stream; false when it cannot be made.
bool prepare_output(Output& o, const Cell* value) {
    if (!value || cell::type_of(*value) == type::none) {
        o.child = open_null(O_WRONLY);
        return o.child.valid();
    }
    const u32 t = cell::type_of(*value);
    if (t == type::file) {
        std::string path;
        if (!io::os_path(*value, path)) return false;
        o.child.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
        return o.child.valid();
    }
    if (t != type::binary && !series::string_like_q(t)) fire(ErrorId::script_invalid_arg, *value);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    o.read_end.reset(fds[0]);
    o.child.reset(fds[1]);
    o.target = value;
    return true;
}

// Collected output goes to the end of its target.
void deliver(const Output& o) {
    if (!o.target || !o.bytes.size()) return;
    if (cell::type_of(*o.target) == type::binary)
        binary::rs_append(*o.target, o.bytes.data(), static_cast<i32>(o.bytes.size()));
    else
        io::append_text(*o.target, o.bytes.data(), o.bytes.size());
}

// Feeds the input and drains both outputs until every pipe is closed.
void pump(io::Fd& in, const std::string& data, Output& out, Output& err) {
    io::SigpipeGuard guard;
    size_t sent = 0;
    if (in.valid()) {
        ::fcntl(in.get(), F_SETFL, ::fcntl(in.get(), F_GETFL) | O_NONBLOCK);
        if (data.empty()) in.reset();
    }
    while (in.valid() || out.read_end.valid() || err.read_end.valid()) {
        pollfd fds[3];
        int n = 0;
        int at_in = -1, at_out = -1, at_err = -1;
        if (in.valid()) fds[at_in = n++] = {in.get(), POLLOUT, 0};
        if (out.read_end.valid()) fds[at_out = n++] = {out.read_end.get(), POLLIN, 0};
        if (err.read_end.valid()) fds[at_err = n++] = {err.read_end.get(), POLLIN, 0};
        if (::poll(fds, static_cast<nfds_t>(n), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (at_in >= 0 && fds[at_in].revents) {
            const size_t step = data.size() - sent < pump_step ? data.size() - sent : pump_step;
            const ssize_t w = ::write(in.get(), data.data() + sent, step);
            if (w > 0) sent += static_cast<size_t>(w);
            else if (w < 0 && errno != EAGAIN && errno != EINTR) sent = data.size();  // EPIPE: the child stopped reading
            if (sent >= data.size()) in.reset();
        }
        for (auto [at, o] : {std::pair{at_out, &out}, std::pair{at_err, &err}}) {
            if (at < 0 || !fds[at].revents) continue;
            u8* dst = o->bytes.reserve_more(pump_step);
            const long r = io::read_some(o->read_end.get(), dst, pump_step);
            if (r > 0) o->bytes.grew(static_cast<size_t>(r));
            else if (r == 0 || errno != EAGAIN) o->read_end.reset();
        }
    }
}

}  // namespace

std::vector<std::string> split_command(const std::string& command) {
    std::vector<std::string> args;
    std::string current;
    bool in_quotes = false, any = false;
    for (const char c : command) {
        if (c == '"') {
            in_quotes = !in_quotes;
            any = true;
        } else if (!in_quotes && (c == ' ' || c == '\t')) {
            if (any) args.push_back(current);
            current.clear();
            any = false;
        } else {
            current += c;
            any = true;
        }
    }
    if (any) args.push_back(current);
    return args;
}

i32 run(const Cell& cmd, bool wait, bool, bool console, bool shell, const Cell* in, const Cell* out,
        const Cell* err) {
    if (console) fire(ErrorId::internal_not_done);
    std::string command;
    io::append_utf8(cmd, command);
    const bool program_file = cell::type_of(cmd) == type::file;

    // The input: data for a pipe, a file, or /dev/null.
    std::string data;
    io::Fd child_in, in_write;
    if (in && cell::type_of(*in) == type::file) {
        std::string path;
        if (!io::os_path(*in, path)) return -1;
        child_in.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!child_in.valid()) return -1;
    } else if (in && cell::type_of(*in) != type::none) {
        const u32 t = cell::type_of(*in);
        if (t == type::binary) data.assign(reinterpret_cast<const char*>(binary::rs_head(*in)),
                                           static_cast<size_t>(binary::rs_length_q(*in)));
        else if (series::string_like_q(t)) io::append_utf8(*in, data);
        else fire(ErrorId::script_invalid_arg, *in);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
        child_in.reset(fds[0]);
        in_write.reset(fds[1]);
    } else {
        child_in = open_null(O_RDONLY);
        if (!child_in.valid()) return -1;
    }
    Output o, e;
    try {
        if (!prepare_output(o, out) || !prepare_output(e, err)) return -1;
    } catch (const std::bad_alloc&) {
        return -1;
    }

    SpawnSetup setup;
    setup.streams(child_in.get(), o.child.get(), e.child.get());
    std::vector<std::string> args;
    if (program_file) args = {command};
    else if (!shell) args = split_command(command);
    long pid = -ENOENT;
    if (!args.empty()) pid = spawn(args, setup);
    if (pid == -ENOENT && !program_file) pid = spawn({"/bin/sh", "-c", command}, setup);
    if (pid < 0) return -1;

    // The child holds its ends now; ours close so that its exit ends the pipes.
    child_in.reset();
    o.child.reset();
    e.child.reset();
    const bool redirected = (in && cell::type_of(*in) != type::none) || (out && cell::type_of(*out) != type::none) ||
                            (err && cell::type_of(*err) != type::none);
    try {
        pump(in_write, data, o, e);
    } catch (const std::bad_alloc&) {
        // Output that cannot be held: stop collecting, still reap the child.
        in_write.reset();
        o.read_end.reset();
        e.read_end.reset();
        wait_for(static_cast<pid_t>(pid));
        fire(ErrorId::internal_no_memory);
    }
    if (!wait && !redirected) {
        reap_later(static_cast<pid_t>(pid));
        return static_cast<i32>(pid);
    }
    const i32 status = wait_for(static_cast<pid_t>(pid));
    if (o.bytes.size() > 0x7FFFFFF0 || e.bytes.size() > 0x7FFFFFF0) fire(ErrorId::internal_no_memory);
    deliver(o);
    deliver(e);
    return status;
}

bool start_detached(const std::vector<std::string>& args) {
    if (args.empty()) return false;
    io::Fd in = open_null(O_RDONLY), out = open_null(O_WRONLY);
    if (!in.valid() || !out.valid()) return false;
    SpawnSetup setup;
    setup.streams(in.get(), out.get(), out.get());
    const long pid = spawn(args, setup);
    if (pid < 0) return false;
    reap_later(static_cast<pid_t>(pid));
    return true;
}

}  // namespace oru::call
