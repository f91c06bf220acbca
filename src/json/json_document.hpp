#pragma once
// A parsed JSON document and views of its values. simdjson's DOM parser
// reads it: its kernels for this CPU are chosen at run time inside the
// library, and it checks the whole text (grammar, UTF-8, depth) before
// anything reads a value, which is what the catalogue's error order needs.
// When simdjson refuses a text, the project's own reader (json_reader.hpp)
// finds the first problem, or, if the only trouble was numbers simdjson
// cannot hold (integers past 64 bits, magnitudes past a double's), reads the
// document itself. Either way a caller sees the same JsonElement views.
//
// Thread-safety: a document is read-only once parsed; views may be read
// from any number of threads.

#include <cstddef>
#include <memory>
#include <string_view>

#include "json/json_reader.hpp"
#include "support/expected.hpp"
#include "support/function_ref.hpp"

namespace veldra {

// Bytes that must be readable past a text's end for simdjson's kernels.
inline constexpr std::size_t kJsonPadding = 64;

// The longest text the parser takes (its offsets are 32 bits), and its word for a longer one.
inline constexpr std::size_t kMaxJsonText = 0xFFFFFFFF;
inline constexpr char kTextTooLong[] = "the text is longer than 4 GiB";

class FileReading;

// A text with kJsonPadding zero bytes after its end, in storage of its own.
class PaddedText {
public:
    PaddedText() = default;
    // Room for `size` bytes of text (uninitialised) plus the padding.
    explicit PaddedText(std::size_t size);
    // A copy of `text`.
    static PaddedText copy_of(std::string_view text);

    char* data() noexcept { return bytes_.get(); }
    std::string_view view() const noexcept { return {bytes_.get(), size_}; }

private:
    friend class FileReading;
    std::unique_ptr<char[]> bytes_;
    std::size_t size_ = 0;
};

// A file read into a PaddedText, by steps. A signal that interrupts a
// blocking open() or read() (of a pipe, a FIFO, a terminal) ends the step
// with EINTR, so that the caller can run its signal handlers and then call
// again, the reading going on where it stopped, or give up.
class FileReading {
public:
    FileReading(const char* path, std::size_t limit) noexcept : path_(path), limit_(limit) {}
    FileReading(const FileReading&) = delete;
    FileReading& operator=(const FileReading&) = delete;
    ~FileReading();

    // Reads on: the whole text when the file ends, else an errno: EINTR
    // (call again), EFBIG when the file holds more than `limit` bytes (a
    // regular file's size says so before anything is read; a stream stops
    // one byte past the limit), EISDIR for a directory, or what failed.
    Expected<PaddedText, int> step();

private:
    Expected<bool, int> open();
    void grow();

    const char* path_;
    std::size_t limit_;
    int fd_ = -1;
    bool regular_ = false;
    PaddedText text_;
    std::size_t capacity_ = 0;
    std::size_t filled_ = 0;
};

struct JsonNumber {
    double value;
    bool too_large;  // beyond a double's range; value is then infinite
};

class JsonDocument;

// One value of a document, valid as long as the document.
class JsonElement {
public:
    JsonKind kind() const noexcept;
    bool boolean() const noexcept;
    JsonNumber number() const noexcept;
    std::string_view string() const noexcept;  // valid as long as the document
    // Calls visit(key, value) for each member in document order (repeated
    // keys included) until it returns false; returns whether it never did.
    bool for_each_member(FunctionRef<bool(std::string_view, JsonElement)> visit) const;
    // How many elements an array holds.
    std::size_t size() const noexcept;
    // Calls visit(element) for each element in order until it returns false.
    bool for_each_element(FunctionRef<bool(JsonElement)> visit) const;

private:
    friend class JsonDocument;
    const void* parsed_ = nullptr;  // the document's parse, which stays put when the document moves
    // simdjson: the bytes of its element view; our own tree: the node index.
    alignas(8) unsigned char state_[16] = {};
};

class JsonDocument {
public:
    // Parses `text`, refusing nesting deeper than `max_depth`. kJsonPadding
    // readable bytes must follow the text's end (as in a PaddedText), and the
    // text must stay alive and unchanged as long as the document. Raises
    // std::bad_alloc.
    static Expected<JsonDocument, JsonTextProblem> parse(std::string_view text, std::size_t max_depth);

    JsonDocument(JsonDocument&&) noexcept;
    JsonDocument& operator=(JsonDocument&&) noexcept;
    ~JsonDocument();

    JsonElement root() const noexcept;

    struct Parsed;

private:
    JsonDocument();
    std::unique_ptr<Parsed> parsed_;
};

}  // namespace veldra
