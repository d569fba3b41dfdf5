// The chunked transfer coding of an HTTP/1.1 body, undone as the bytes
// arrive. No Python objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velk {

// Takes the framed body in blocks of any size and gives back spans of the
// payload, each a view of the block it came in. A chunk-size line, a chunk's
// closing CRLF or a trailer line may be cut anywhere between two blocks.
// Chunk extensions and trailers are read and dropped.
class ChunkedDecoder {
public:
    enum class Step {
        Data,           // *data: the next bytes of payload
        More,           // the input is used up: feed the next block
        End,            // the last chunk and its trailers have been read
        BadSize,        // a chunk-size line that holds no size: size_text()
        BadFraming,     // a chunk not followed by its CRLF
        SizeLineTooLong,
        TrailerTooLong,
    };
    // What the body's ending before End means.
    enum class Cut { Clean, BeforeChunk, InsideChunk };

    // Longest chunk-size or trailer line taken, line break included.
    static constexpr size_t kMaxLine = size_t(1) << 16;

    // Decodes from *in, advancing it past what has been read.
    Step next(std::string_view* in, std::string_view* data) {
        while (!in->empty()) {
            switch (state_) {
                case State::Size: {
                    const size_t lf = in->find('\n');
                    const size_t take = lf == std::string_view::npos ? in->size() : lf + 1;
                    if (line_.size() + take > kMaxLine) return Step::SizeLineTooLong;
                    line_.append(in->substr(0, take));
                    in->remove_prefix(take);
                    if (lf == std::string_view::npos) return Step::More;
                    if (!parse_size()) return Step::BadSize;
                    line_.clear();
                    state_ = left_ == 0 ? State::Trailer : State::Data;
                    got_ = 0;
                    break;
                }
                case State::Data: {
                    const size_t n = in->size() < left_ ? in->size() : size_t(left_);
                    *data = in->substr(0, n);
                    in->remove_prefix(n);
                    left_ -= n;
                    got_ += n;
                    if (left_ == 0) state_ = State::DataCr;
                    return Step::Data;
                }
                case State::DataCr: {
                    const char c = in->front();
                    in->remove_prefix(1);
                    if (c == '\r') state_ = State::DataLf;
                    else if (c == '\n') state_ = State::Size;  // a bare LF is taken too
                    else return Step::BadFraming;
                    break;
                }
                case State::DataLf:
                    if (in->front() != '\n') return Step::BadFraming;
                    in->remove_prefix(1);
                    state_ = State::Size;
                    break;
                case State::Trailer: {
                    const size_t lf = in->find('\n');
                    const size_t take = lf == std::string_view::npos ? in->size() : lf + 1;
                    if (trailer_ + take > kMaxLine) return Step::TrailerTooLong;
                    // Only whether the line is empty matters: a lone CR keeps it so.
                    for (size_t i = 0; i < take; ++i)
                        if ((*in)[i] != '\r' && (*in)[i] != '\n') trailer_filled_ = true;
                    trailer_ += take;
                    in->remove_prefix(take);
                    if (lf == std::string_view::npos) return Step::More;
                    if (!trailer_filled_) {
                        state_ = State::Done;
                        return Step::End;
                    }
                    trailer_ = 0;
                    trailer_filled_ = false;
                    break;
                }
                case State::Done: return Step::End;
            }
        }
        return state_ == State::Done ? Step::End : Step::More;
    }

    // What it means that the body ends here. The trailers are optional at
    // the very end, as some servers leave out even the last empty line.
    Cut cut() const noexcept {
        switch (state_) {
            case State::Trailer:
            case State::Done: return Cut::Clean;
            case State::Size: return Cut::BeforeChunk;
            default: return Cut::InsideChunk;
        }
    }

    // The size part of a refused chunk-size line (up to its first ';').
    std::string_view size_text() const noexcept {
        std::string_view s = line_;
        return s.substr(0, s.find(';'));
    }
    // Of the current chunk: payload bytes read, and still expected (its CRLF counted).
    uint64_t chunk_read() const noexcept { return got_; }
    uint64_t chunk_left() const noexcept {
        return state_ == State::Data ? left_ + 2 : state_ == State::DataCr ? 2 : state_ == State::DataLf ? 1 : 0;
    }

private:
    enum class State { Size, Data, DataCr, DataLf, Trailer, Done };

    // Hex digits, blanks around them allowed; extensions after ';' ignored.
    bool parse_size() {
        std::string_view s = size_text();
        auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
        while (!s.empty() && blank(s.front())) s.remove_prefix(1);
        while (!s.empty() && blank(s.back())) s.remove_suffix(1);
        if (s.empty()) return false;
        while (s.size() > 1 && s.front() == '0') s.remove_prefix(1);
        if (s.size() > 15) return false;  // 15 digits: beyond any real body
        uint64_t v = 0;
        for (char c : s) {
            int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            if (d < 0) return false;
            v = v * 16 + uint64_t(d);
        }
        left_ = v;
        return true;
    }

    State state_ = State::Size;
    std::string line_;      // the chunk-size line read so far
    uint64_t left_ = 0;     // payload bytes of the current chunk still to come
    uint64_t got_ = 0;      // payload bytes of the current chunk read
    size_t trailer_ = 0;    // bytes of the current trailer line read so far
    bool trailer_filled_ = false;
};

}  // namespace velk
