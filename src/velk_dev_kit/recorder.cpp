// velk_dev_kit.recorder: appends text records to files inside one base directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "velk/core.hpp"
#include "velk/utf8.hpp"

namespace {

using namespace velk;

struct State {
    Ref os;
    Ref cls;
    Ref opener;  // what the host's open is given, for the modes it handles
    auto refs() { return std::tie(os, cls, opener); }
};

using Ctx = velk::Ctx<State>;

constexpr Param init_params[] = {{"self"}, {"base_dir", "str", Check::Str, "'data_logs'"}};
constexpr Param filename_params[] = {{"self"}, {"filename", "str", Check::Str}};
constexpr Param log_text_params[] = {{"self"},
                                     {"filename", "str", Check::Str},
                                     {"content", "str", Check::Str},
                                     {"mode", "str", Check::Str, "'a'"}};
constexpr Param opener_params[] = {{"path"}, {"flags", "int", Check::Int}};

Ref init(const Ctx& c, Handle self, Handle base_dir) {
    Handle path = c.state().os.attr("path"_n);
    Ref root = getenv("KELM_SIM_LOG_PATH", str("/tmp"));
    self.set_attr("base_dir"_n, path.attr("abspath"_n)(path.attr("join"_n)(root, base_dir)));
    self.method("_ensure_directory_exists"_n);
    return none();
}

// The path as open() hands it to the system: an embedded NUL is refused
// rather than cutting the path short.
Ref fs_path(Handle path) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded)) throw_error();
    return Ref::steal(encoded);
}

bool trusted_owner(uid_t uid) { return uid == 0 || uid == ::geteuid(); }

// A base directory that another user made beforehand is theirs to read,
// empty or fill with links at any time: only the user's own, root's, or one
// behind a symbolic link of the user's (or root's) is taken.
void check_base_dir_owner(Handle base_dir) {
    Ref path = fs_path(base_dir);
    struct stat st;
    if (::lstat(PyBytes_AS_STRING(path.ptr()), &st) < 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, base_dir);
        throw_error();
    }
    if (trusted_owner(st.st_uid)) return;
    const char* what = S_ISLNK(st.st_mode) ? "Symbolic link at the base directory"
                                           : "Base directory";
    raise(Handle(PyExc_PermissionError)(
        from_long(EPERM),
        fstr(what, " belongs to another user (uid ", static_cast<long long>(st.st_uid), ")"), base_dir));
}

Ref ensure_directory_exists(const Ctx& c, Handle self) {
    Ref base_dir = self.attr("base_dir"_n);
    c.state().os.method("makedirs"_n, base_dir, "exist_ok"_kw = Py_True);
    if (PyUnicode_Check(base_dir)) check_base_dir_owner(base_dir);
    return none();
}

// The part after the last "/": what os.path.basename gives for a str.
Ref basename(PyObject* name) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    Py_ssize_t slash = PyUnicode_FindChar(name, '/', 0, n, -1);
    if (slash == -2) throw_error();
    if (slash < 0) return Ref::borrow(name);
    return Ref::steal(PyUnicode_Substring(name, slash + 1, n));
}

Ref sanitize_filename(const Ctx&, Handle /*self*/, Handle filename) {
    Ref sanitized = basename(filename);
    if (sanitized != filename)
        builtin("print"_n)(fstr("警告：文件名 '", filename, "' 中包含目录路径，已自动修正为 '",
                                sanitized, "'"));
    return sanitized;
}

// os.path.join(base, name) for two strs, done here; anything else goes to
// the host's own join.
Ref join(const Ctx& c, Handle base, Handle name) {
    if (!PyUnicode_CheckExact(base) || !PyUnicode_CheckExact(name))
        return c.state().os.attr("path"_n).method("join"_n, base, name);
    Py_ssize_t nb = PyUnicode_GET_LENGTH(base), nn = PyUnicode_GET_LENGTH(name);
    if (nn > 0 && PyUnicode_READ_CHAR(name, 0) == '/') return Ref::borrow(name);
    if (nb == 0 || PyUnicode_READ_CHAR(base, nb - 1) == '/')
        return Ref::steal(PyUnicode_Concat(base, name));
    return fstr(base, "/", name);
}

Ref get_full_path(const Ctx& c, Handle self, Handle filename) {
    Ref safe_name = self.method("_sanitize_filename"_n, filename);
    return join(c, self.attr("base_dir"_n), safe_name);
}

Ref get_file_path(const Ctx&, Handle self, Handle filename) {
    return self.method("_get_full_path"_n, filename);
}

// The record as one buffer, so a regular file takes it in one write and
// concurrent appenders never interleave inside it; what a short write leaves
// (a full disk, a signal) goes in further writes.
using Record = Utf8Line;

enum class Failure { None, Open, NotRegular, Write, Close };

// The type bits of an open file's mode. Asking for the type alone costs a
// fraction of a full fstat, which is a good part of a record's time; fstat
// where statx is missing or filtered out.
bool file_type(int fd, mode_t* type) {
    struct statx sx;
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE, &sx) == 0 && (sx.stx_mask & STATX_TYPE)) {
        *type = sx.stx_mode & S_IFMT;
        return true;
    }
    struct stat st;
    if (::fstat(fd, &st) < 0) return false;
    *type = st.st_mode & S_IFMT;
    return true;
}

// Only a regular file is written: a symbolic link at the name is refused
// (ELOOP) rather than followed or, dangling, created through, and a FIFO
// neither blocks the open until a reader comes nor takes the record.
int open_regular(const char* path, int flags, Failure* failure, int* error) {
    int fd = ::open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        *error = errno;
        // What a non-blocking open gives a FIFO without reader or a socket.
        *failure = errno == ENXIO ? Failure::NotRegular : Failure::Open;
        return -1;
    }
    mode_t type;
    if (!file_type(fd, &type)) {
        *error = errno;
        *failure = Failure::Open;
    } else if (S_ISDIR(type)) {  // opened for reading only
        *error = EISDIR;
        *failure = Failure::Open;
    } else if (!S_ISREG(type)) {
        *error = ENXIO;
        *failure = Failure::NotRegular;
    } else {
        return fd;
    }
    ::close(fd);
    return -1;
}

[[noreturn]] void raise_open_error(Failure failure, int error, Handle path) {
    if (failure == Failure::NotRegular)
        raise(Handle(PyExc_OSError)(from_long(ENXIO), str("Not a regular file"), path));
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    throw_error();
}

Failure write_file(const char* path, int flags, const Record& record, int* error) {
    Failure failure = Failure::None;
    int fd = open_regular(path, flags | O_WRONLY | O_CREAT, &failure, error);
    if (fd < 0) return failure;
    for (size_t done = 0; done < record.size();) {
        ssize_t w = ::write(fd, record.data() + done, record.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) {
            *error = errno;
            failure = Failure::Write;
            break;
        }
        done += size_t(w);
    }
    if (::close(fd) < 0 && failure == Failure::None && errno != EINTR) {
        *error = errno;
        failure = Failure::Close;
    }
    return failure;
}

// "a" and "w" go straight to the system; every other mode to the host's open.
int direct_flags(PyObject* mode) {
    if (PyUnicode_GET_LENGTH(mode) != 1) return -1;
    switch (PyUnicode_READ_CHAR(mode, 0)) {
        case 'a': return O_APPEND;
        case 'w': return O_TRUNC;
        default: return -1;
    }
}

// The host open's opener: its own flags, opened as open_regular opens, then
// blocking again as open() leaves a file.
Ref opener(const Ctx&, Handle path, Handle flags) {
    Ref encoded = fs_path(path);
    int open_flags = PyLong_AsInt(flags);
    if (open_flags == -1 && PyErr_Occurred()) throw_error();
    Failure failure = Failure::None;
    int error = 0;
    int fd;
    Py_BEGIN_ALLOW_THREADS
    fd = open_regular(PyBytes_AS_STRING(encoded.ptr()), open_flags, &failure, &error);
    if (fd >= 0) {
        int fl = ::fcntl(fd, F_GETFL);
        if (fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) < 0) {
            error = errno;
            failure = Failure::Open;
            ::close(fd);
            fd = -1;
        }
    }
    Py_END_ALLOW_THREADS
    if (fd < 0) raise_open_error(failure, error, path);
    return from_long(fd);
}

// with open(path, mode, encoding="utf-8") as f: f.write(content + "\n")
void write_through_host_open(State& s, Handle path, Handle mode, Handle content) {
    Ref line = Ref::steal(PyUnicode_Concat(content, "\n"_n));
    Ref file = builtin("open"_n)(path, mode, "encoding"_kw = "utf-8"_n, "opener"_kw = s.opener);
    try_finally([&] { file.method("write"_n, line); }, [&] { file.method("close"_n); });
}

// open(full_path, mode).write(record) for "a" (appending) and "w"
// (truncating) by the system's calls themselves, the GIL released.
void write_directly(Handle full_path, int flags, Handle content) {
    Ref path = fs_path(full_path);
    Record record(content);
    int error = 0;
    Failure failure;
    Py_BEGIN_ALLOW_THREADS
    failure = write_file(PyBytes_AS_STRING(path.ptr()), flags, record, &error);
    Py_END_ALLOW_THREADS
    if (failure == Failure::None) return;
    if (failure == Failure::Open || failure == Failure::NotRegular)
        raise_open_error(failure, error, full_path);
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    throw_error();
}

Ref log_text(const Ctx& c, Handle self, Handle filename, Handle content, Handle mode) {
    Ref full_path = self.method("_get_full_path"_n, filename);
    int flags = direct_flags(mode);
    if (flags >= 0 && PyUnicode_CheckExact(full_path)) {
        write_directly(full_path, flags, content);
    } else {
        utf8_size(content);  // an unencodable record fails before the file is opened
        write_through_host_open(c.state(), full_path, mode, content);
    }
    return none();
}

constexpr FunctionSpec methods[] = {
    method<init>("__init__", init_params,
                 "\n        初始化文本数据记录器\n"
                 "        :param base_dir: 基础目录路径（会被自动修正到/tmp下）\n        "),
    method<ensure_directory_exists>("_ensure_directory_exists", self_only,
                                    "确保基础目录存在，如果不存在则创建"),
    method<sanitize_filename>("_sanitize_filename", filename_params,
                              "\n        清理文件名，去除目录部分并给出提醒\n"
                              "        :param filename: 输入的文件名\n"
                              "        :return: 安全的纯文件名\n        ",
                              "str", Check::Str),
    method<get_full_path>("_get_full_path", filename_params,
                          "\n        获取文件的完整路径（带文件名清理）\n"
                          "        :param filename: 文件名（会自动清理目录部分）\n"
                          "        :return: 完整文件路径\n        ",
                          "str", Check::Str),
    method<get_file_path>("get_file_path", filename_params,
                          "\n        获取文件将写入的绝对路径\n"
                          "        :param filename: 文件名\n"
                          "        :return: 文件的绝对路径\n        ",
                          "str", Check::Str),
    method<log_text>("log_text", log_text_params,
                     "\n        记录文本数据到文件\n"
                     "        :param filename: 文件名\n"
                     "        :param content: 文本内容\n"
                     "        :param mode: 文件打开模式 ('w' 写入, 'a' 追加)\n        ",
                     "None"),
};

constexpr FunctionSpec opener_spec = method<opener>("_open_regular", opener_params);

constexpr const char class_doc[] =
    "\n    一个将文本数据记录到/tmp目录下文件的工具库。\n"
    "\n"
    "    特性：\n"
    "    - 所有文件都写入到/tmp/目录下的指定子目录中\n"
    "    - 自动创建不存在的目录\n"
    "    - 自动处理filename中的目录部分\n"
    "    - 只支持文本数据记录\n    ";

void exec_module(Module<State>& m) {
    State& s = m.state();
    s.os = m.import("os");
    s.cls = m.make_class("DataRecorder", class_doc, methods);
    s.opener = m.function(opener_spec);
    m.add("DataRecorder", s.cls);
}

}  // namespace

VELK_MODULE(recorder, State, exec_module,
            "Appends text records to files kept inside one base directory.")
