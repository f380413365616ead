// simple-io on POSIX calls; see simple_io.h.
#include "io/simple_io.h"

#include "interpreter/stack.h"
#include "io/io_support.h"
#include "runtime/console.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/series.h"
#include "runtime/fire.h"
#include "runtime/memory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>

namespace oru::simple_io {

namespace {

// Reads are made in steps of this size when the file gives no size.
constexpr size_t chunk = 64 * 1024;

[[noreturn]] void cannot_open(const Cell& file) { fire(ErrorId::access_cannot_open, file); }

// An optional integer refinement argument: -1 when absent; a value that is
// not an integer!, or a negative one when `non_negative`, raises
// script/invalid-refine-arg with the refinement's word.
i64 refinement_int(const Cell* arg, const char* word, bool non_negative) {
    if (!arg || cell::type_of(*arg) == type::none) return -1;
    if (cell::type_of(*arg) != type::integer) fire(ErrorId::script_invalid_refine_arg, series::word_of(word), *arg);
    const i32 v = static_cast<i32>(arg->data2);
    if (v < 0 && non_negative) fire(ErrorId::script_invalid_refine_arg, series::word_of(word), *arg);
    return v;
}

// Skips n bytes of a descriptor that cannot seek; false on a read error.
bool skip_bytes(int fd, i64 n) {
    u8 buf[16384];
    while (n > 0) {
        const long r = io::read_some(fd, buf, n < static_cast<i64>(sizeof buf) ? static_cast<size_t>(n) : sizeof buf);
        if (r < 0) return false;
        if (r == 0) return true;
        n -= r;
    }
    return true;
}

// A file opened for reading, positioned at /seek, and the number of bytes
// the OS says are left (0 when it gives no size: pipes, /proc).
struct Source {
    io::Fd fd;
    i64 hint = 0;
};

// Opens the file and moves to `seek`; false when it cannot be opened, is a
// directory, or cannot be moved in.
bool open_source(const std::string& path, i64 seek, Source& src) {
    src.fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!src.fd.valid()) return false;
    struct stat st {};
    if (::fstat(src.fd.get(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    src.hint = S_ISREG(st.st_mode) ? static_cast<i64>(st.st_size) : 0;
    if (seek > 0) {
        if (::lseek(src.fd.get(), seek, SEEK_SET) < 0) {
            if (errno != ESPIPE || !skip_bytes(src.fd.get(), seek)) return false;
        }
        src.hint = src.hint > seek ? src.hint - seek : 0;
    }
    return true;
}

// Reads on to the end of the source, `want` bytes at most, into out; the
// first buffer holds `first` bytes. False on a read error; internal
// no-memory once out passes max_bytes.
bool read_rest(int fd, u64 want, u64 first, io::Bytes& out, u64 max_bytes) {
    try {
        if (first > want) first = want;
        if (first > max_bytes + 1) first = max_bytes + 1;
        out.reserve_more(static_cast<size_t>(first));
        while (out.size() < want) {
            size_t room = out.capacity() - out.size();
            if (room == 0) room = out.size() < chunk ? chunk : out.size();
            if (room > want - out.size()) room = static_cast<size_t>(want - out.size());
            u8* dst = out.reserve_more(room);
            const long r = io::read_some(fd, dst, room);
            if (r < 0) return false;
            if (r == 0) break;
            out.grew(static_cast<size_t>(r));
            if (out.size() > max_bytes) fire(ErrorId::internal_no_memory);
        }
    } catch (const std::bad_alloc&) {
        fire(ErrorId::internal_no_memory);
    }
    return true;
}

// A binary read of a file that gives its size: the bytes go straight into
// the new binary's buffer, sized by the hint and one byte more, so that the
// read that finds the end needs no growth; a file that grew meanwhile has
// the rest appended. Pushes the binary; null on a read error.
Cell* read_binary_direct(Source& src, u64 want, u64 max_bytes) {
    u64 cap = static_cast<u64>(src.hint) + 1;
    if (cap > want) cap = want;
    if (cap > max_bytes + 1) cap = max_bytes + 1;
    Cell* result = stack::push(cell::make(type::none));
    binary::make_at(*result, static_cast<i32>(cap));
    const Node node = cell::node(*result);
    u64 got = 0;
    while (got < cap) {
        // The read allocates nothing: the buffer stays where it is meanwhile.
        SeriesBuffer* b = memory::buffer(node);
        const long r = io::read_some(src.fd.get(), b->head_ptr() + got, static_cast<size_t>(cap - got));
        if (r < 0) {
            stack::pop(1);
            return nullptr;
        }
        if (r == 0) break;
        got += static_cast<u64>(r);
        b->tail = b->head + static_cast<u32>(got);
    }
    if (got > max_bytes) fire(ErrorId::internal_no_memory);
    if (got == cap && got < want) {
        io::Bytes rest;
        if (!read_rest(src.fd.get(), want - got, chunk, rest, max_bytes - got)) {
            stack::pop(1);
            return nullptr;
        }
        binary::rs_append(*result, rest.data(), static_cast<i32>(rest.size()));
    }
    return result;
}

Cell* push_empty(bool binary) {
    if (binary) return binary::load_in(nullptr, 0, nullptr);
    return io::push_text(nullptr, 0);
}

// Writes a chunk to the descriptor, counting the bytes.
struct Sink {
    int fd;
    i64 written = 0;
    bool ok = true;
    void put(const void* p, size_t n) {
        if (!ok || !n) return;
        if (!io::write_all(fd, p, n)) ok = false;
        else written += static_cast<i64>(n);
    }
};

// Writes one value as write converts it: a string's UTF-8, a binary's
// bytes, anything else molded; `part` limits strings and binaries.
void write_value(Sink& sink, const Cell& value, i64 part) {
    const u32 t = cell::type_of(value);
    if (t == type::binary) {
        i64 n = binary::rs_length_q(value);
        if (part >= 0 && part < n) n = part;
        // The write runs no allocation: the buffer stays where it is.
        sink.put(binary::rs_head(value), static_cast<size_t>(n));
        return;
    }
    if (series::string_like_q(t)) {
        // Encoded and written a chunk at a time: no copy of the whole text.
        io::utf8_chunks(
            value, part, [](void* ctx, const u8* p, size_t n) { static_cast<Sink*>(ctx)->put(p, n); }, &sink);
        return;
    }
    const std::string text = io::molded(value);
    sink.put(text.data(), text.size());
}

}  // namespace

bool dir_name_q(const std::string& p) {
    if (p.empty()) return false;
    const char last = p.back();
    if (last == '/' || last == '\\') return true;
    auto ends = [&](const char* tail) {
        const std::string t(tail);
        if (p.size() < t.size() || p.compare(p.size() - t.size(), t.size(), t) != 0) return false;
        if (p.size() == t.size()) return true;
        const char before = p[p.size() - t.size() - 1];
        return before == '/' || before == '\\';
    };
    return ends(".") || ends("..");
}

bool dir_name_q(const Cell& file) {
    std::string p;
    io::append_utf8(file, p);
    return dir_name_q(p);
}

Cell* read_data(const std::string& path, i64 part, i64 seek, bool binary, bool lines, u64 max_bytes) {
    Source src;
    if (!open_source(path, seek, src)) return nullptr;
    const u64 want = part >= 0 ? static_cast<u64>(part) : UINT64_MAX;
    if (binary && src.hint > 0 && want > 0) return read_binary_direct(src, want, max_bytes);
    io::Bytes bytes;
    // One byte beyond the hint lets the read that finds the end need no
    // growth; a file as large as the hint says is read in one call.
    if (want > 0 && !read_rest(src.fd.get(), want, src.hint > 0 ? static_cast<u64>(src.hint) + 1 : chunk, bytes, max_bytes))
        return nullptr;
    if (bytes.size() == 0) return lines ? io::push_lines(nullptr, 0) : push_empty(binary);
    if (binary) return binary::load_in(bytes.data(), static_cast<i32>(bytes.size()), nullptr);
    if (lines) return io::push_lines(bytes.data(), bytes.size());
    return io::push_text(bytes.data(), bytes.size());
}

Cell* read_file(const Cell& file_arg, const Cell* seek_arg, const Cell* part_arg, bool binary, bool lines) {
    const Cell file = file_arg;
    if (dir_name_q(file)) return list_dir(file);
    const i64 seek = refinement_int(seek_arg, "seek", true);
    const i64 part = refinement_int(part_arg, "part", false);
    std::string path;
    if (!io::os_path(file, path)) cannot_open(file);
    Cell* result = read_data(path, part, seek, binary, lines);
    if (!result) cannot_open(file);
    return result;
}

Cell* list_dir(const Cell& dir_arg) {
    const Cell dir = dir_arg;
    std::string path;
    if (!io::os_path(dir, path)) cannot_open(dir);
    if (path.back() == '.') path += '/';
    Cell* result = stack::push();
    block::make_at(*result, 16);
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) cannot_open(dir);
    DIR* d = ::fdopendir(fd);
    if (!d) {
        ::close(fd);
        cannot_open(dir);
    }
    struct Closer {
        DIR* d;
        ~Closer() { ::closedir(d); }
    } closer{d};
    std::string name;
    for (;;) {
        errno = 0;
        const dirent* e = ::readdir(d);
        if (!e) {
            if (errno) cannot_open(dir);
            break;
        }
        name = e->d_name;
        if (name == "." || name == "..") continue;
        bool is_dir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
            struct stat st {};
            is_dir = ::fstatat(::dirfd(d), e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        }
        if (is_dir) name += '/';
        io::push_text(reinterpret_cast<const u8*>(name.data()), name.size(), type::file, false);
        block::rs_append(*result, *(stack::top - 1));
        stack::pop(1);
    }
    return result;
}

i64 write(const Cell* file_arg, const Cell& data_arg, const Cell* seek_arg, const Cell* part_arg, bool, bool append,
          bool lines) {
    const Cell file = file_arg ? *file_arg : cell::make(type::none);
    Cell* data = stack::push(data_arg);  // rooted while values are molded
    const i64 seek = refinement_int(seek_arg, "seek", true);
    // A negative /part writes nothing.
    i64 part = refinement_int(part_arg, "part", false);
    if (part < 0 && part_arg && cell::type_of(*part_arg) == type::integer) part = 0;
    io::Fd owned;
    int fd = console::output_fd();
    if (file_arg) {
        std::string path;
        if (!io::os_path(file, path)) cannot_open(file);
        int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
        if (append) flags |= O_APPEND;
        else if (seek < 0) flags |= O_TRUNC;
        owned.reset(::open(path.c_str(), flags, 0666));
        if (!owned.valid()) cannot_open(file);
        if (seek > 0 && !append && ::lseek(owned.get(), seek, SEEK_SET) < 0) cannot_open(file);
        fd = owned.get();
    }
    Sink sink{fd};
    if (fd >= 0) {
        static const char crlf[2] = {'\r', '\n'};
        if (lines && cell::type_of(*data) == type::block) {
            const i32 n = block::rs_length_q(*data);
            for (i32 i = 0; i < n && sink.ok; i++) {
                const Cell v = *block::rs_abs_at(*data, cell::head_index(*data) + i);
                Cell* held = stack::push(v);
                write_value(sink, *held, -1);
                stack::pop(1);
                sink.put(crlf, 2);
            }
        } else {
            write_value(sink, *data, part);
            if (lines) sink.put(crlf, 2);
        }
    }
    if (!sink.ok) cannot_open(file);
    if (owned.valid() && !owned.close()) cannot_open(file);
    stack::pop(1);
    return sink.written;
}

bool delete_(const Cell& file) {
    std::string path;
    if (!io::os_path(file, path)) return false;
    if (dir_name_q(path)) return ::rmdir(path.c_str()) == 0;
    if (::unlink(path.c_str()) == 0) return true;
    return (errno == EISDIR || errno == EPERM) && ::rmdir(path.c_str()) == 0;
}

Cell query(const Cell& file) {
    std::string path;
    struct stat st {};
    if (!io::os_path(file, path) || ::stat(path.c_str(), &st) != 0) return cell::make(type::none);
    const char last = path.back();
    if ((last == '/' || last == '\\') && !S_ISDIR(st.st_mode)) return cell::make(type::none);
    const double fraction = static_cast<double>(st.st_mtim.tv_nsec / 1000000) / 1000.0;
    return date::from_epoch(static_cast<i64>(st.st_mtim.tv_sec), fraction, 0);
}

bool rename(const Cell& from, const Cell& to) {
    std::string a, b;
    if (!io::os_path(from, a) || !io::os_path(to, b)) return false;
    if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the no-replace flag: refuse an existing target.
    struct stat st {};
    if (::lstat(b.c_str(), &st) == 0) return false;
    return ::rename(a.c_str(), b.c_str()) == 0;
}

bool make_dir(const char* os_path) { return os_path && *os_path && ::mkdir(os_path, 0777) == 0; }

bool file_exists_q(const char* os_path) {
    struct stat st {};
    return os_path && *os_path && ::stat(os_path, &st) == 0;
}

i64 file_size(const char* os_path) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    io::Fd fd(::open(os_path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) return -1;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
    return static_cast<i64>(st.st_size);
}

}  // namespace oru::simple_io
