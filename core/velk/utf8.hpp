// UTF-8 encoding of a str into a buffer of its own.
#pragma once

#include <cstring>
#include <memory>

#include "object.hpp"

namespace velk {

// UTF-8 without PyUnicode_AsUTF8: that caches a UTF-8 copy inside the
// caller's string for the string's whole life (three times the size of a
// Chinese text), so text is encoded here into a buffer of its own instead.
// A lone surrogate is left to the codec, which raises the usual error.
[[noreturn]] inline void raise_unencodable(PyObject* s) {
    Py_XDECREF(PyUnicode_AsUTF8String(s));  // fails, with the codec's UnicodeEncodeError
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "lone surrogate not found by the codec");
    throw_error();
}

template <class Char>
size_t utf8_size_of(PyObject* s, const Char* text, Py_ssize_t n) {
    size_t size = size_t(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = text[i];
        if (c < 0x80) continue;
        if (c < 0x800) size += 1;
        else if (c >= 0xD800 && c <= 0xDFFF) raise_unencodable(s);
        else if (c < 0x10000) size += 2;
        else size += 3;
    }
    return size;
}

// Bytes of the UTF-8 form of s; throws UnicodeEncodeError for surrogates.
inline size_t utf8_size(PyObject* s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_IS_ASCII(s)) return size_t(n);
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: return utf8_size_of(s, PyUnicode_1BYTE_DATA(s), n);
        case PyUnicode_2BYTE_KIND: return utf8_size_of(s, PyUnicode_2BYTE_DATA(s), n);
        default: return utf8_size_of(s, PyUnicode_4BYTE_DATA(s), n);
    }
}

template <class Char>
char* utf8_encode_of(const Char* text, Py_ssize_t n, char* out) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = text[i];
        if (c < 0x80) {
            *out++ = char(c);
        } else if (c < 0x800) {
            *out++ = char(0xC0 | (c >> 6));
            *out++ = char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *out++ = char(0xE0 | (c >> 12));
            *out++ = char(0x80 | ((c >> 6) & 0x3F));
            *out++ = char(0x80 | (c & 0x3F));
        } else {
            *out++ = char(0xF0 | (c >> 18));
            *out++ = char(0x80 | ((c >> 12) & 0x3F));
            *out++ = char(0x80 | ((c >> 6) & 0x3F));
            *out++ = char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Writes the UTF-8 form of s (already sized by utf8_size) to out.
inline char* utf8_encode(PyObject* s, char* out) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_IS_ASCII(s)) {
        std::memcpy(out, PyUnicode_DATA(s), size_t(n));
        return out + n;
    }
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: return utf8_encode_of(PyUnicode_1BYTE_DATA(s), n, out);
        case PyUnicode_2BYTE_KIND: return utf8_encode_of(PyUnicode_2BYTE_DATA(s), n, out);
        default: return utf8_encode_of(PyUnicode_4BYTE_DATA(s), n, out);
    }
}

// The UTF-8 form of a str and a line feed, in one buffer of its own.
class Utf8Line {
public:
    explicit Utf8Line(PyObject* content) {
        size_ = utf8_size(content) + 1;  // fails before any file is touched
        if (size_ > sizeof(small_)) {
            big_.reset(new char[size_]);
            data_ = big_.get();
        }
        *utf8_encode(content, data_) = '\n';
    }
    const char* data() const { return data_; }
    size_t size() const { return size_; }

private:
    char small_[1024];
    std::unique_ptr<char[]> big_;
    char* data_ = small_;
    size_t size_ = 0;
};

}  // namespace velk
