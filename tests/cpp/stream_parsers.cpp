// The core's Python-free stream parsers, fed every way a body can be cut.
// Built and run by tests/test_core.py; prints each failed check, exits 1.
#include <cstdio>
#include <string>
#include <vector>

#include "velk/chunked_decoder.hpp"
#include "velk/line_splitter.hpp"

using velk::ChunkedDecoder;
using velk::LineSplitter;
using Lines = std::vector<std::string>;

static int failures = 0;

#define CHECK(cond, what)                                                  \
    do {                                                                   \
        if (!(cond)) {                                                     \
            std::printf("%s:%d: %s: %s\n", __FILE__, __LINE__, what, #cond); \
            ++failures;                                                    \
        }                                                                  \
    } while (0)

// The lines of `blocks` fed in turn; "!" stands for a line refused as too long.
static Lines split(const std::vector<std::string>& blocks, size_t max_line = 1 << 20) {
    LineSplitter s(max_line, 16);
    Lines out;
    std::string_view line;
    for (const std::string& b : blocks) {
        s.feed(b);
        for (;;) {
            auto t = s.take(&line);
            if (t == LineSplitter::Take::More) break;
            if (t == LineSplitter::Take::TooLong) return out.push_back("!"), out;
            out.emplace_back(line);
        }
    }
    if (s.finish(&line)) out.emplace_back(line);
    CHECK(!s.finish(&line), "finish gives the rest once");
    return out;
}

// Every way of cutting `text` into two or three blocks gives `expected`.
static void split_everywhere(const std::string& text, const Lines& expected,
                             size_t max_line = 1 << 20) {
    CHECK(split({text}, max_line) == expected, text.c_str());
    for (size_t i = 0; i <= text.size(); ++i)
        for (size_t j = i; j <= text.size(); ++j) {
            Lines got = split({text.substr(0, i), text.substr(i, j - i), text.substr(j)}, max_line);
            if (got != expected) {
                std::printf("cut at %zu, %zu: ", i, j);
                CHECK(got == expected, text.c_str());
            }
        }
}

static void line_splitter() {
    split_everywhere("a\nb\rc\r\nd", {"a", "b", "c", "d"});
    split_everywhere("a\r\n\r\nb\n\nc\r\rd\n", {"a", "", "b", "", "c", "", "d"});
    split_everywhere("\r\n\n\r", {"", "", ""});
    split_everywhere("no break at all", {"no break at all"});
    split_everywhere("", {});
    split_everywhere("x\x85y\x0bz\x0c\xe2\x80\xa8w\n", {"x\x85y\x0bz\x0c\xe2\x80\xa8w"});
    // The bound: a line of exactly max_line bytes is taken, one more is refused,
    // however it arrives; the line break does not count.
    split_everywhere("12345\r\nab", {"12345", "ab"}, 5);
    split_everywhere("123456\nab", {"!"}, 5);
    split_everywhere("ab\n123456", {"ab", "!"}, 5);
    // A long line that spans blocks, past the kept capacity, and a short one after it.
    std::string big(5000, 'x');
    CHECK(split({big.substr(0, 100), big.substr(100), "\r", "\nend\n"}) == Lines({big, "end"}),
          "long line over blocks");
    // A line inside one block is a view of it, not a copy.
    LineSplitter s(100);
    std::string block = "data: 1\nrest";
    s.feed(block);
    std::string_view line;
    CHECK(s.take(&line) == LineSplitter::Take::Line && line.data() == block.data(), "view");
    CHECK(s.take(&line) == LineSplitter::Take::More, "rest kept");
    s.clear();
    CHECK(!s.finish(&line), "clear drops the rest");
}

// The payload of a framed body fed in `blocks`, then "|" and how it ended:
// "end", "more" (input used up), or the step or cut that stopped it.
static std::string unframe(const std::vector<std::string>& blocks, bool at_eof = true) {
    ChunkedDecoder d;
    std::string out;
    for (const std::string& b : blocks) {
        std::string_view in = b, data;
        for (;;) {
            auto step = d.next(&in, &data);
            if (step == ChunkedDecoder::Step::Data) {
                out.append(data);
                continue;
            }
            if (step == ChunkedDecoder::Step::More) break;
            if (step == ChunkedDecoder::Step::End) return out + "|end";
            static const char* names[] = {"", "", "", "bad size", "bad framing",
                                          "size line too long", "trailer too long"};
            return out + "|" + names[int(step)];
        }
    }
    if (!at_eof) return out + "|more";
    switch (d.cut()) {
        case ChunkedDecoder::Cut::Clean: return out + "|clean";
        case ChunkedDecoder::Cut::BeforeChunk: return out + "|cut before chunk";
        default: return out + "|cut inside chunk";
    }
}

static void unframe_everywhere(const std::string& body, const std::string& expected) {
    CHECK(unframe({body}) == expected, body.c_str());
    for (size_t i = 0; i <= body.size(); ++i)
        for (size_t j = i; j <= body.size(); ++j) {
            std::string got = unframe({body.substr(0, i), body.substr(i, j - i), body.substr(j)});
            if (got != expected) {
                std::printf("cut at %zu, %zu gave %s: ", i, j, got.c_str());
                CHECK(got == expected, body.c_str());
            }
        }
}

static void chunked_decoder() {
    unframe_everywhere("5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n", "hello world|end");
    unframe_everywhere("5;a=b;c=\"d;e\"\r\nhello\r\nA ; x\r\n0123456789\r\n0;z\r\n\r\n",
                       "hello0123456789|end");
    unframe_everywhere("00003\t\r\nabc\r\n0\r\nX-Sum: 1\r\nX-B: 2\r\n\r\n", "abc|end");
    unframe_everywhere("3\nabc\n0\n\n", "abc|end");  // bare LFs
    unframe_everywhere("3\r\na\r\n\r\n0\r\n\r\n", "a\r\n|end");  // CRLF inside the payload
    unframe_everywhere("3\r\nabc\r\n0\r\nX-A: 1\r\n", "abc|clean");  // no last empty line
    unframe_everywhere("3\r\nabc\r\n0\r\n", "abc|clean");
    unframe_everywhere("3\r\nabc\r\n", "abc|cut before chunk");
    unframe_everywhere("3\r\nabc\r\n1", "abc|cut before chunk");
    unframe_everywhere("3\r\nab", "ab|cut inside chunk");
    unframe_everywhere("3\r\nabc", "abc|cut inside chunk");
    unframe_everywhere("3\r\nabc\r", "abc|cut inside chunk");
    unframe_everywhere("", "|cut before chunk");
    for (const char* bad : {"zz\r\n", "\r\n", "0x3\r\nabc\r\n", "-3\r\n", "+3\r\n", "3 3\r\n",
                            "1_0\r\n", "1000000000000000\r\n", ";x\r\n"})
        unframe_everywhere(std::string("3\r\nabc\r\n") + bad, "abc|bad size");
    unframe_everywhere("3\r\nabcXY2\r\nde\r\n0\r\n\r\n", "abc|bad framing");
    unframe_everywhere("3\r\nabc\rX", "abc|bad framing");
    CHECK(unframe({std::string(70000, '1') + "\r\n"}) == "|size line too long", "size line");
    CHECK(unframe({"0\r\nX: " + std::string(70000, 'x') + "\r\n\r\n"}) == "|trailer too long",
          "trailer");
    CHECK(unframe({std::string(1000, '0') + "3\r\nabc\r\n0\r\n\r\n"}) == "abc|end", "zeros");
    // After the end nothing more is read: what follows stays in the input.
    ChunkedDecoder d;
    std::string body = "1\r\na\r\n0\r\n\r\nHTTP/1.1";
    std::string_view in = body, data;
    CHECK(d.next(&in, &data) == ChunkedDecoder::Step::Data && data == "a", "data");
    CHECK(d.next(&in, &data) == ChunkedDecoder::Step::End && in == "HTTP/1.1", "rest after end");
    CHECK(d.next(&in, &data) == ChunkedDecoder::Step::End && in == "HTTP/1.1", "stays ended");
    // The counts for an incomplete chunk: read, and still expected with its CRLF.
    ChunkedDecoder c;
    std::string cut = "a\r\n1234";
    in = cut;
    CHECK(c.next(&in, &data) == ChunkedDecoder::Step::Data, "data");
    CHECK(c.chunk_read() == 4 && c.chunk_left() == 8, "incomplete counts");
    CHECK(c.next(&in, &data) == ChunkedDecoder::Step::More, "more");
    CHECK(unframe({"5\r\nhel"}, false) == "hel|more", "more at a block's end");
}

int main() {
    line_splitter();
    chunked_decoder();
    if (failures) std::printf("%d failed\n", failures);
    return failures ? 1 : 0;
}
