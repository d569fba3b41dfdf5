// Lines of a byte stream that arrives in blocks. No Python objects.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velk {

// Splits bytes fed block by block into lines ended by CR, LF or CRLF (a CRLF
// may be cut between two blocks). A line that lies inside one block is handed
// out as a view of that block; only a line that spans blocks is copied.
class LineSplitter {
public:
    enum class Take { Line, More, TooLong };

    // Lines longer than max_line bytes (line break not counted) are refused.
    // Buffers grown beyond kept_capacity are given back once their line has
    // been taken, so one huge line does not stay held for the rest of a stream.
    explicit LineSplitter(size_t max_line, size_t kept_capacity = size_t(1) << 20) noexcept
        : max_line_(max_line), kept_capacity_(kept_capacity) {}

    // The next block; it must stay valid until take() has answered More.
    void feed(std::string_view block) noexcept { block_ = block; }

    // Line: *line is the next line, valid until the next call. More: the bytes
    // fed hold no further complete line. TooLong: the current line is longer
    // than max_line; the splitter is then of no further use.
    Take take(std::string_view* line) {
        if (line_.capacity() > kept_capacity_) std::string().swap(line_);
        if (partial_.empty() && partial_.capacity() > kept_capacity_) std::string().swap(partial_);
        if (skip_lf_ && !block_.empty()) {
            if (block_.front() == '\n') block_.remove_prefix(1);
            skip_lf_ = false;
        }
        size_t end = 0;
        while (end < block_.size() && block_[end] != '\n' && block_[end] != '\r') ++end;
        if (end == block_.size()) {
            if (partial_.size() + block_.size() > max_line_) return Take::TooLong;
            append_partial(block_);
            block_ = {};
            return Take::More;
        }
        if (partial_.size() + end > max_line_) return Take::TooLong;
        std::string_view head = block_.substr(0, end);
        size_t next = end + 1;
        if (block_[end] == '\r') {
            if (next < block_.size()) {
                if (block_[next] == '\n') ++next;
            } else {
                skip_lf_ = true;  // its LF, if any, comes with the next block
            }
        }
        block_.remove_prefix(next);
        if (partial_.empty()) {
            *line = head;
        } else {
            append_partial(head);
            line_.swap(partial_);
            partial_.clear();
            *line = line_;
        }
        return Take::Line;
    }

    // At the end of the stream, once take() has answered More: the last line
    // when it had no line break. True once at most.
    bool finish(std::string_view* line) {
        if (partial_.empty()) return false;
        line_.swap(partial_);
        partial_.clear();
        *line = line_;
        return true;
    }

    // Gives back both buffers.
    void clear() noexcept {
        block_ = {};
        std::string().swap(partial_);
        std::string().swap(line_);
    }

private:
    // A line that outgrows the kept capacity gets room for the longest line
    // at once: the pages are only taken as the line fills them, and no
    // doubling copies it (holding it twice) on the way.
    void append_partial(std::string_view bytes) {
        const size_t size = partial_.size() + bytes.size();
        if (size > kept_capacity_ && size > partial_.capacity()) partial_.reserve(max_line_);
        partial_.append(bytes);
    }

    std::string_view block_;
    std::string partial_;  // bytes of a line not yet complete
    std::string line_;     // a completed line that spanned blocks
    size_t max_line_, kept_capacity_;
    bool skip_lf_ = false;  // a CR ended the last block: a leading LF belongs to it
};

}  // namespace velk
