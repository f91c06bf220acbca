#include "json/json_document.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <simdjson.h>
#include <type_traits>

namespace veldra {
namespace {

namespace dom = simdjson::dom;

static_assert(simdjson::SIMDJSON_PADDING <= kJsonPadding);
static_assert(sizeof(dom::element) <= 16 && std::is_trivially_copyable_v<dom::element>);

}  // namespace

struct JsonDocument::Parsed {
    dom::parser parser;
    dom::element root;
    bool tree_read = false;  // simdjson refused the numbers; `tree` holds the document
    JsonTree tree;
};

namespace {

const JsonDocument::Parsed& parsed_of(const void* parsed) noexcept {
    return *static_cast<const JsonDocument::Parsed*>(parsed);
}

dom::element element_of(const unsigned char* state) noexcept {
    dom::element element;
    std::memcpy(static_cast<void*>(&element), state, sizeof element);
    return element;
}

std::uint32_t node_of(const unsigned char* state) noexcept {
    std::uint32_t node;
    std::memcpy(&node, state, sizeof node);
    return node;
}

}  // namespace

PaddedText::PaddedText(std::size_t size) : bytes_(new char[size + kJsonPadding]), size_(size) {
    std::memset(bytes_.get() + size, 0, kJsonPadding);
}

PaddedText PaddedText::copy_of(std::string_view text) {
    PaddedText padded(text.size());
    if (!text.empty()) std::memcpy(padded.data(), text.data(), text.size());
    return padded;
}

FileReading::~FileReading() {
    if (fd_ >= 0) ::close(fd_);
}

Expected<bool, int> FileReading::open() {
    fd_ = ::open(path_, O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return unexpected(errno);
    struct stat info;
    if (::fstat(fd_, &info) != 0) return unexpected(errno);
    if (S_ISDIR(info.st_mode)) return unexpected(EISDIR);
    regular_ = S_ISREG(info.st_mode);
    const auto size = static_cast<std::size_t>(info.st_size);
    if (regular_ && size > limit_) return unexpected(EFBIG);
    // A regular file is read in one go at its size; anything else (a pipe,
    // a device) grows as it comes.
    capacity_ = regular_ ? size : std::min<std::size_t>(std::size_t{1} << 16, limit_ + 1);
    text_ = PaddedText(capacity_);
    return true;
}

void FileReading::grow() {
    // Never past one byte over the limit, which is enough to refuse the file.
    const std::size_t bigger = std::min(capacity_ * 2 + 1, limit_ + 1);
    PaddedText grown(bigger);
    std::memcpy(grown.data(), text_.data(), filled_);
    text_ = std::move(grown);
    capacity_ = bigger;
}

Expected<PaddedText, int> FileReading::step() {
    if (fd_ < 0) {
        if (auto opened = open(); !opened) {
            // Open again from the start if asked again (after EINTR).
            if (fd_ >= 0) ::close(fd_);
            fd_ = -1;
            return unexpected(opened.error());
        }
    }
    for (;;) {
        if (filled_ > limit_) return unexpected(EFBIG);
        if (filled_ == capacity_) {
            if (regular_) {
                // The file may have grown since fstat: look for more.
                char probe;
                const ssize_t more = ::read(fd_, &probe, 1);
                if (more < 0) return unexpected(errno);
                if (more == 0) break;
                grow();
                text_.data()[filled_++] = probe;
                continue;
            }
            grow();
        }
        const ssize_t got = ::read(fd_, text_.data() + filled_, capacity_ - filled_);
        if (got < 0) return unexpected(errno);
        if (got == 0) break;
        filled_ += static_cast<std::size_t>(got);
    }
    std::memset(text_.data() + filled_, 0, kJsonPadding);
    text_.size_ = filled_;
    return std::move(text_);
}

JsonKind JsonElement::kind() const noexcept {
    const auto& parsed = parsed_of(parsed_);
    if (parsed.tree_read) return parsed.tree.nodes[node_of(state_)].kind;
    switch (element_of(state_).type()) {
        case dom::element_type::ARRAY: return JsonKind::Array;
        case dom::element_type::OBJECT: return JsonKind::Object;
        case dom::element_type::STRING: return JsonKind::String;
        case dom::element_type::BOOL: return JsonKind::Boolean;
        case dom::element_type::NULL_VALUE: return JsonKind::Null;
        default: return JsonKind::Number;
    }
}

bool JsonElement::boolean() const noexcept {
    const auto& parsed = parsed_of(parsed_);
    if (parsed.tree_read) return parsed.tree.nodes[node_of(state_)].boolean;
    return element_of(state_).get_bool().value_unsafe();
}

JsonNumber JsonElement::number() const noexcept {
    const auto& parsed = parsed_of(parsed_);
    if (parsed.tree_read) {
        const JsonTreeNode& node = parsed.tree.nodes[node_of(state_)];
        return {node.number, node.too_large};
    }
    // simdjson holds only numbers in range: integers exactly, the rest as
    // the nearest double. Integers read as the nearest double too.
    const dom::element element = element_of(state_);
    switch (element.type()) {
        case dom::element_type::INT64: return {static_cast<double>(element.get_int64().value_unsafe()), false};
        case dom::element_type::UINT64: return {static_cast<double>(element.get_uint64().value_unsafe()), false};
        default: return {element.get_double().value_unsafe(), false};
    }
}

std::string_view JsonElement::string() const noexcept {
    const auto& parsed = parsed_of(parsed_);
    if (parsed.tree_read) {
        const JsonTreeNode& node = parsed.tree.nodes[node_of(state_)];
        return std::string_view(parsed.tree.strings).substr(node.text, node.size);
    }
    return element_of(state_).get_string().value_unsafe();
}

bool JsonElement::for_each_member(FunctionRef<bool(std::string_view, JsonElement)> visit) const {
    const auto& parsed = parsed_of(parsed_);
    JsonElement value;
    value.parsed_ = parsed_;
    if (parsed.tree_read) {
        const auto& nodes = parsed.tree.nodes;
        const std::uint32_t at = node_of(state_);
        std::uint32_t child = at + 1;
        for (std::uint32_t i = 0; i < nodes[at].count; ++i) {
            const JsonTreeNode& key = nodes[child];
            const std::uint32_t value_node = child + 1;
            std::memcpy(value.state_, &value_node, sizeof value_node);
            if (!visit(std::string_view(parsed.tree.strings).substr(key.text, key.size), value)) return false;
            child = nodes[value_node].next;
        }
        return true;
    }
    dom::object object;
    if (element_of(state_).get_object().get(object)) return true;  // not an object: no members
    for (const dom::key_value_pair member : object) {
        std::memcpy(value.state_, static_cast<const void*>(&member.value), sizeof member.value);
        if (!visit(member.key, value)) return false;
    }
    return true;
}

std::size_t JsonElement::size() const noexcept {
    const auto& parsed = parsed_of(parsed_);
    if (parsed.tree_read) return parsed.tree.nodes[node_of(state_)].count;
    dom::array array;
    if (element_of(state_).get_array().get(array)) return 0;
    return array.size();
}

bool JsonElement::for_each_element(FunctionRef<bool(JsonElement)> visit) const {
    const auto& parsed = parsed_of(parsed_);
    JsonElement value;
    value.parsed_ = parsed_;
    if (parsed.tree_read) {
        const auto& nodes = parsed.tree.nodes;
        const std::uint32_t at = node_of(state_);
        std::uint32_t child = at + 1;
        for (std::uint32_t i = 0; i < nodes[at].count; ++i) {
            std::memcpy(value.state_, &child, sizeof child);
            if (!visit(value)) return false;
            child = nodes[child].next;
        }
        return true;
    }
    dom::array array;
    if (element_of(state_).get_array().get(array)) return true;  // not an array: no elements
    for (const dom::element element : array) {
        std::memcpy(value.state_, static_cast<const void*>(&element), sizeof element);
        if (!visit(value)) return false;
    }
    return true;
}

JsonDocument::JsonDocument() : parsed_(std::make_unique<Parsed>()) {}
JsonDocument::JsonDocument(JsonDocument&&) noexcept = default;
JsonDocument& JsonDocument::operator=(JsonDocument&&) noexcept = default;
JsonDocument::~JsonDocument() = default;

Expected<JsonDocument, JsonTextProblem> JsonDocument::parse(std::string_view view, std::size_t max_depth) {
    // Too long a text is refused before anything in it is read.
    static_assert(kMaxJsonText == simdjson::SIMDJSON_MAXSIZE_BYTES);
    if (view.size() > kMaxJsonText) {
        return unexpected(JsonTextProblem{0, kTextTooLong});
    }
    JsonDocument document;
    Parsed& parsed = *document.parsed_;
    simdjson::error_code error = parsed.parser.allocate(view.size(), max_depth);
    if (error == simdjson::MEMALLOC) throw std::bad_alloc();
    if (!error) error = parsed.parser.parse(view.data(), view.size(), false).get(parsed.root);
    if (error == simdjson::MEMALLOC) throw std::bad_alloc();
    if (!error) return document;
    // Refused: our reader says where, or reads what simdjson could not hold.
    if (auto problem = find_json_problem(view, max_depth)) return unexpected(std::move(*problem));
    VELDRA_TRY(parsed.tree, read_json_tree(view, max_depth));
    parsed.tree_read = true;
    // The parser's buffers are as large as the text; the tree replaces them.
    parsed.parser = dom::parser();
    return document;
}

JsonElement JsonDocument::root() const noexcept {
    JsonElement value;
    value.parsed_ = parsed_.get();
    if (parsed_->tree_read) {
        const std::uint32_t node = 0;
        std::memcpy(value.state_, &node, sizeof node);
    } else {
        std::memcpy(value.state_, static_cast<const void*>(&parsed_->root), sizeof parsed_->root);
    }
    return value;
}

}  // namespace veldra
