// velk_dev_kit.recorder: appends text records to files inside one base directory.
#include <fcntl.h>
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
    auto refs() { return std::tie(os, cls); }
};

constexpr Param init_params[] = {{"self"}, {"base_dir", "str", Check::Str, "'data_logs'"}};
constexpr Param self_only[] = {{"self"}};
constexpr Param filename_params[] = {{"self"}, {"filename", "str", Check::Str}};
constexpr Param log_text_params[] = {{"self"},
                                     {"filename", "str", Check::Str},
                                     {"content", "str", Check::Str},
                                     {"mode", "str", Check::Str, "'a'"}};

Ref init(const Args& a) {
    auto [self, base_dir] = a.bind<init_params>();
    Handle path = a.state<State>().os.attr("path"_n);
    Ref root = getenv("KELM_SIM_LOG_PATH", str("/tmp"));
    self.set_attr("base_dir"_n, path.attr("abspath"_n)(path.attr("join"_n)(root, base_dir)));
    self.method("_ensure_directory_exists"_n);
    return none();
}

Ref ensure_directory_exists(const Args& a) {
    auto [self] = a.bind<self_only>();
    a.state<State>().os.method("makedirs"_n, self.attr("base_dir"_n), "exist_ok"_kw = Py_True);
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

Ref sanitize_filename(const Args& a) {
    auto [self, filename] = a.bind<filename_params>();
    Ref sanitized = basename(filename);
    if (sanitized != filename)
        builtin("print"_n)(fstr("警告：文件名 '", filename, "' 中包含目录路径，已自动修正为 '",
                                sanitized, "'"));
    return sanitized;
}

// os.path.join(base, name) for two strs, done here; anything else goes to
// the host's own join.
Ref join(const Args& a, Handle base, Handle name) {
    if (!PyUnicode_CheckExact(base) || !PyUnicode_CheckExact(name))
        return a.state<State>().os.attr("path"_n).method("join"_n, base, name);
    Py_ssize_t nb = PyUnicode_GET_LENGTH(base), nn = PyUnicode_GET_LENGTH(name);
    if (nn > 0 && PyUnicode_READ_CHAR(name, 0) == '/') return Ref::borrow(name);
    if (nb == 0 || PyUnicode_READ_CHAR(base, nb - 1) == '/')
        return Ref::steal(PyUnicode_Concat(base, name));
    return fstr(base, "/", name);
}

Ref get_full_path(const Args& a) {
    auto [self, filename] = a.bind<filename_params>();
    Ref safe_name = self.method("_sanitize_filename"_n, filename);
    return join(a, self.attr("base_dir"_n), safe_name);
}

Ref get_file_path(const Args& a) {
    auto [self, filename] = a.bind<filename_params>();
    return self.method("_get_full_path"_n, filename);
}

// The record as one buffer, so it reaches the file in a single write and
// concurrent appenders never interleave inside it.
using Record = Utf8Line;

enum class Failure { None, Open, Write, Close };

Failure write_file(const char* path, int flags, const Record& record, int* error) {
    int fd = ::open(path, flags | O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
        *error = errno;
        return Failure::Open;
    }
    Failure failure = Failure::None;
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

// with open(path, mode, encoding="utf-8") as f: f.write(content + "\n")
void write_through_host_open(Handle path, Handle mode, Handle content) {
    Ref line = Ref::steal(PyUnicode_Concat(content, "\n"_n));
    Ref file = builtin("open"_n)(path, mode, "encoding"_kw = "utf-8"_n);
    try_finally([&] { file.method("write"_n, line); }, [&] { file.method("close"_n); });
}

// open(full_path, mode).write(record) in one system call, the GIL released.
void append_directly(Handle full_path, int flags, Handle content) {
    // The converter open() uses: an embedded NUL is refused rather than
    // cutting the path short and writing to a different file.
    PyObject* encoded_path = nullptr;
    if (!PyUnicode_FSConverter(full_path, &encoded_path)) throw_error();
    Ref path = Ref::steal(encoded_path);
    Record record(content);
    int error = 0;
    Failure failure;
    Py_BEGIN_ALLOW_THREADS
    failure = write_file(PyBytes_AS_STRING(path.ptr()), flags, record, &error);
    Py_END_ALLOW_THREADS
    if (failure == Failure::None) return;
    errno = error;
    if (failure == Failure::Open)
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, full_path);
    else
        PyErr_SetFromErrno(PyExc_OSError);
    throw_error();
}

Ref log_text(const Args& a) {
    auto [self, filename, content, mode] = a.bind<log_text_params>();
    Ref full_path = self.method("_get_full_path"_n, filename);
    int flags = direct_flags(mode);
    if (flags >= 0 && PyUnicode_CheckExact(full_path)) {
        append_directly(full_path, flags, content);
    } else {
        utf8_size(content);  // an unencodable record fails before the file is opened
        write_through_host_open(full_path, mode, content);
    }
    return none();
}

constexpr FunctionSpec methods[] = {
    {"__init__",
     "\n        初始化文本数据记录器\n"
     "        :param base_dir: 基础目录路径（会被自动修正到/tmp下）\n        ",
     init_params, init},
    {"_ensure_directory_exists", "确保基础目录存在，如果不存在则创建", self_only,
     ensure_directory_exists},
    {"_sanitize_filename",
     "\n        清理文件名，去除目录部分并给出提醒\n"
     "        :param filename: 输入的文件名\n"
     "        :return: 安全的纯文件名\n        ",
     filename_params, sanitize_filename, "str", Check::Str},
    {"_get_full_path",
     "\n        获取文件的完整路径（带文件名清理）\n"
     "        :param filename: 文件名（会自动清理目录部分）\n"
     "        :return: 完整文件路径\n        ",
     filename_params, get_full_path, "str", Check::Str},
    {"get_file_path",
     "\n        获取文件将写入的绝对路径\n"
     "        :param filename: 文件名\n"
     "        :return: 文件的绝对路径\n        ",
     filename_params, get_file_path, "str", Check::Str},
    {"log_text",
     "\n        记录文本数据到文件\n"
     "        :param filename: 文件名\n"
     "        :param content: 文本内容\n"
     "        :param mode: 文件打开模式 ('w' 写入, 'a' 追加)\n        ",
     log_text_params, log_text, "None"},
};

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
    m.add("DataRecorder", s.cls);
}

}  // namespace

VELK_MODULE(recorder, State, exec_module,
            "Appends text records to files kept inside one base directory.")
