// The loader behind load_json: read the file into one buffer, parse it
// strictly into a compact document, then walk the document leniently and
// build the store through add_node and add_edge.
//
// The JSON library supplies the tokenizer and number conversion through its
// SAX interface. Everything the file format adds is ours: the depth limit,
// the byte-order mark and NUL checks, and every error text with its line and
// column. Errors are never classified from the library's messages: when the
// library (or one of our checks) rejects a text, `diagnose` reads the text
// again from the start with the format's own rules and names the first
// error and the byte that revealed it.
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "chunked_vector.h"
#include "file_errors.h"
#include "hash_index.h"
#include "persistence.h"
#include "text_pool.h"

namespace nuvel {
namespace {

// ---- the compact document (private) ----------------------------------------

enum class Kind : std::uint8_t { Null, False, True, Int, UInt, Double, String, Array, Object };

using KeyId = std::uint32_t;
constexpr KeyId kNoKey = 0xFFFFFFFFu;

/// One JSON value in 16 bytes. Strings live in the document's text pool;
/// the elements or members of a container are `count` consecutive values
/// starting at `start` in the document's value array. An object's members
/// are sorted by the bytes of their keys, each key once (the later member of
/// a duplicate kept); `key` is set on members only.
struct Value {
  KeyId key = kNoKey;
  Kind kind = Kind::Null;
  union {
    double number;
    std::int64_t integer;
    std::uint64_t unsigned_integer;
    PooledText text;
    struct {
      std::uint32_t start;
      std::uint32_t count;
    } span;
  };
  Value() : integer(0) {}
};
static_assert(sizeof(Value) == 16);

/// A parsed JSON text. Values are appended children first and never move;
/// the root is `root`. Keys are interned: equal keys share one KeyId.
/// Far smaller than a general-purpose tree: 16 bytes a value, texts packed
/// in a pool, each distinct key stored once.
struct Document {
  ChunkedVector<Value, 14> values;
  TextPool texts;
  std::vector<PooledText> key_texts;  ///< KeyId to text
  HashIndex key_index;                ///< text to KeyId
  Value root;

  std::string_view key_text(KeyId key) const { return key_texts[key].view(); }

  std::string_view string(const Value& v) const { return v.text.view(); }

  /// The KeyId of `text`, or kNoKey.
  KeyId find_key(std::string_view text) const { return find_key(text, hash_of(text)); }

  KeyId intern(std::string_view text) {
    const std::uint32_t hash = hash_of(text);
    if (const KeyId found = find_key(text, hash); found != kNoKey) return found;
    const auto id = static_cast<KeyId>(key_texts.size());
    key_texts.push_back(texts.add(text));
    key_index.insert(hash, id);
    return id;
  }

  /// The member of an object with the given key, or null.
  const Value* member(const Value& object, KeyId key) const {
    if (object.kind != Kind::Object || key == kNoKey) return nullptr;
    for (std::uint32_t i = 0; i < object.span.count; ++i) {
      const Value& m = values[object.span.start + i];
      if (m.key == key) return &m;
    }
    return nullptr;
  }

 private:
  static_assert(kNoKey == HashIndex::kNotFound);

  static std::uint32_t hash_of(std::string_view text) {
    std::uint32_t hash = 2166136261u;  // FNV-1a: keys are short
    for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    return hash;
  }

  KeyId find_key(std::string_view text, std::uint32_t hash) const {
    return key_index.find(hash, [&](KeyId k) { return key_texts[k].view() == text; });
  }
};

// ---- the SAX handler that builds the document (private) --------------------

/// At most this many arrays and objects nest; the next level is an error.
constexpr std::size_t kMaxDepth = 127;

/// Receives the library's SAX events. Values of open containers wait on
/// `pending_`; a closing container moves them into the document (objects
/// sorted and de-duplicated) and leaves one container value in their place.
/// Any false return stops the library's parse; the caller then diagnoses.
class Builder {
 public:
  using json = nlohmann::json;

  explicit Builder(Document& doc) : doc_(doc) {}

  bool null() { return push(Value{}); }
  bool boolean(bool b) {
    Value v;
    v.kind = b ? Kind::True : Kind::False;
    return push(v);
  }
  bool number_integer(json::number_integer_t i) {
    Value v;
    v.kind = Kind::Int;
    v.integer = i;
    return push(v);
  }
  bool number_unsigned(json::number_unsigned_t u) {
    Value v;
    v.kind = Kind::UInt;
    v.unsigned_integer = u;
    return push(v);
  }
  bool number_float(json::number_float_t d, const json::string_t& /*text*/) {
    Value v;
    v.kind = Kind::Double;
    v.number = d;
    return push(v);
  }
  bool string(json::string_t& s) {
    Value v;
    v.kind = Kind::String;
    v.text = doc_.texts.add(s);
    return push(v);
  }
  bool binary(json::binary_t& /*unused*/) { return false; }  // never produced by JSON text

  bool start_object(std::size_t /*unknown*/) { return open(); }
  bool start_array(std::size_t /*unknown*/) { return open(); }
  bool key(json::string_t& k) {
    key_ = doc_.intern(k);
    return true;
  }
  bool end_array() { return close(Kind::Array); }
  bool end_object() { return close(Kind::Object); }

  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                   const nlohmann::detail::exception& /*error*/) {
    return false;
  }

  /// The top-level value after a complete parse.
  Value root() const { return pending_.front(); }

 private:
  struct Frame {
    std::size_t first;  ///< first pending value of the container
    KeyId key;          ///< the container's own key when it is a member
  };

  bool push(Value v) {
    v.key = key_;
    pending_.push_back(v);
    return true;
  }

  bool open() {
    if (frames_.size() == kMaxDepth) return false;
    frames_.push_back({pending_.size(), key_});
    key_ = kNoKey;
    return true;
  }

  bool close(Kind kind) {
    const Frame frame = frames_.back();
    frames_.pop_back();
    const auto first = pending_.begin() + static_cast<std::ptrdiff_t>(frame.first);
    auto last = pending_.end();
    if (kind == Kind::Object) last = sort_members(first, last);

    if (doc_.values.size() > 0xFFFFFFFFu - static_cast<std::size_t>(last - first)) {
      throw InternalError("too many JSON values for one document");
    }
    Value container;
    container.kind = kind;
    container.key = frame.key;
    container.span.start = static_cast<std::uint32_t>(doc_.values.size());
    container.span.count = static_cast<std::uint32_t>(last - first);
    for (auto it = first; it != last; ++it) doc_.values.emplace_back(*it);
    pending_.erase(first, pending_.end());
    pending_.push_back(container);
    key_ = kNoKey;
    return true;
  }

  /// Sorts members by key bytes, keeping the file order of equal keys, then
  /// drops all but the last of each key. Returns the new end.
  std::vector<Value>::iterator sort_members(std::vector<Value>::iterator first,
                                            std::vector<Value>::iterator last) {
    auto less = [this](const Value& a, const Value& b) {
      return a.key != b.key && doc_.key_text(a.key) < doc_.key_text(b.key);
    };
    // Files written by save_json are already in order: check before sorting.
    if (std::adjacent_find(first, last, [&](const Value& a, const Value& b) {
          return !less(a, b);
        }) == last) {
      return last;
    }
    std::stable_sort(first, last, less);
    auto out = first;
    for (auto it = first; it != last; ++it) {
      if (it + 1 != last && (it + 1)->key == it->key) continue;  // a later one wins
      *out++ = *it;
    }
    return out;
  }

  Document& doc_;
  std::vector<Value> pending_;
  std::vector<Frame> frames_;
  KeyId key_ = kNoKey;
};

// ---- diagnosis of a rejected text (private) --------------------------------

/// The first error of a text and the number of bytes read when it was
/// revealed: the bytes before the offending one and the offending byte
/// itself (a byte looked at to decide counts as read).
struct Diagnosis {
  const char* text;
  std::size_t read;
};

constexpr const char* kEofList = "EOF while parsing a list";
constexpr const char* kEofObject = "EOF while parsing an object";
constexpr const char* kEofString = "EOF while parsing a string";
constexpr const char* kEofValue = "EOF while parsing a value";
constexpr const char* kExpectedColon = "expected `:`";
constexpr const char* kExpectedListEnd = "expected `,` or `]`";
constexpr const char* kExpectedObjectEnd = "expected `,` or `}`";
constexpr const char* kExpectedIdent = "expected ident";
constexpr const char* kExpectedValue = "expected value";
constexpr const char* kInvalidEscape = "invalid escape";
constexpr const char* kInvalidNumber = "invalid number";
constexpr const char* kOutOfRange = "number out of range";
constexpr const char* kInvalidUnicode = "invalid unicode code point";
constexpr const char* kControl = "control character (\\u0000-\\u001F) found while parsing a string";
constexpr const char* kKeyNotString = "key must be a string";
constexpr const char* kLoneSurrogate = "lone leading surrogate in hex escape";
constexpr const char* kEndOfHexEscape = "unexpected end of hex escape";
constexpr const char* kTrailingComma = "trailing comma";
constexpr const char* kTrailingCharacters = "trailing characters";
constexpr const char* kRecursion = "recursion limit exceeded";

/// Incremental UTF-8 check (RFC 3629: no overlong forms, no surrogates,
/// nothing above U+10FFFF) over the raw bytes of a string.
class Utf8Check {
 public:
  void feed(unsigned char c) {
    if (need_ == 0) {
      if (c < 0x80) return;
      lo_ = 0x80;
      hi_ = 0xBF;
      if (c >= 0xC2 && c <= 0xDF) {
        need_ = 1;
      } else if (c >= 0xE0 && c <= 0xEF) {
        need_ = 2;
        if (c == 0xE0) lo_ = 0xA0;
        if (c == 0xED) hi_ = 0x9F;
      } else if (c >= 0xF0 && c <= 0xF4) {
        need_ = 3;
        if (c == 0xF0) lo_ = 0x90;
        if (c == 0xF4) hi_ = 0x8F;
      } else {
        bad_ = true;
      }
      return;
    }
    if (c < lo_ || c > hi_) {
      bad_ = true;
      need_ = 0;
      feed(c);  // the byte may start a sequence of its own
      return;
    }
    lo_ = 0x80;
    hi_ = 0xBF;
    --need_;
  }
  /// An escape or the end of the string: a sequence left open is broken.
  void boundary() {
    if (need_ != 0) bad_ = true;
    need_ = 0;
  }
  bool bad() const { return bad_; }

 private:
  unsigned need_ = 0;
  unsigned char lo_ = 0x80;
  unsigned char hi_ = 0xBF;
  bool bad_ = false;
};

/// Reads a text with the format's rules and reports its first error. The
/// state is an explicit stack of open containers; every error is raised at
/// the byte that revealed it: a byte that starts no valid token, the first
/// byte where a literal, number or escape goes wrong, the byte after a
/// number whose magnitude exceeds a double, the closing quote of a string
/// whose bytes are not UTF-8, or the end of the text.
class Diagnoser {
 public:
  explicit Diagnoser(std::string_view text) : s_(text) {}

  std::optional<Diagnosis> run() {
    std::vector<char> open;  // '[' or '{' per open container
    enum class Step { Value, AfterValue } step = Step::Value;
    for (;;) {
      if (step == Step::Value) {
        skip_whitespace();
        if (at_end()) return fail(kEofValue, s_.size());
        const char c = s_[pos_];
        if (c == '[' || c == '{') {
          if (open.size() == kMaxDepth) return fail(kRecursion, pos_ + 1);
          ++pos_;
          open.push_back(c);
          skip_whitespace();
          if (at_end()) return fail(c == '[' ? kEofList : kEofObject, s_.size());
          if (s_[pos_] == (c == '[' ? ']' : '}')) {
            ++pos_;
            open.pop_back();
            step = Step::AfterValue;
          } else if (c == '{') {
            if (s_[pos_] != '"') return fail(kKeyNotString, pos_ + 1);
            if (auto d = member_key()) return d;
          }
          continue;
        }
        if (auto d = scalar()) return d;
        step = Step::AfterValue;
        continue;
      }

      // After a value: the end of the text, or a separator of the container.
      skip_whitespace();
      if (open.empty()) {
        if (!at_end()) return fail(kTrailingCharacters, pos_ + 1);
        return std::nullopt;
      }
      const bool list = open.back() == '[';
      if (at_end()) return fail(list ? kEofList : kEofObject, s_.size());
      const char c = s_[pos_];
      if (c == (list ? ']' : '}')) {
        ++pos_;
        open.pop_back();
        continue;
      }
      if (c != ',') return fail(list ? kExpectedListEnd : kExpectedObjectEnd, pos_ + 1);
      ++pos_;
      skip_whitespace();
      if (at_end()) return fail(kEofValue, s_.size());
      if (s_[pos_] == (list ? ']' : '}')) return fail(kTrailingComma, pos_ + 1);
      if (!list) {
        if (s_[pos_] != '"') return fail(kKeyNotString, pos_ + 1);
        if (auto d = member_key()) return d;
      }
      step = Step::Value;
    }
  }

 private:
  static std::optional<Diagnosis> fail(const char* text, std::size_t read) {
    return Diagnosis{text, read};
  }
  bool at_end() const { return pos_ == s_.size(); }
  static bool is_digit(char c) { return c >= '0' && c <= '9'; }

  void skip_whitespace() {
    while (!at_end() && (s_[pos_] == ' ' || s_[pos_] == '\n' || s_[pos_] == '\t' ||
                         s_[pos_] == '\r')) {
      ++pos_;
    }
  }

  /// A key at pos_ (a double quote) and the colon after it.
  std::optional<Diagnosis> member_key() {
    if (auto d = string()) return d;
    skip_whitespace();
    if (at_end()) return fail(kEofObject, s_.size());
    if (s_[pos_] != ':') return fail(kExpectedColon, pos_ + 1);
    ++pos_;
    return std::nullopt;
  }

  /// A literal, number or string starting at pos_ (not whitespace).
  std::optional<Diagnosis> scalar() {
    const char c = s_[pos_];
    if (c == '"') return string();
    if (c == '-' || is_digit(c)) return number();
    const char* rest = c == 't' ? "rue" : c == 'f' ? "alse" : c == 'n' ? "ull" : nullptr;
    if (rest == nullptr) return fail(kExpectedValue, pos_ + 1);
    ++pos_;
    for (; *rest != '\0'; ++rest) {
      if (at_end()) return fail(kEofValue, s_.size());
      if (s_[pos_++] != *rest) return fail(kExpectedIdent, pos_);
    }
    return std::nullopt;
  }

  std::optional<Diagnosis> number() {
    const std::size_t start = pos_;
    if (s_[pos_] == '-') ++pos_;
    if (at_end()) return fail(kEofValue, s_.size());
    const char first = s_[pos_++];
    bool zero_digits = first == '0';
    if (first == '0') {
      if (!at_end() && is_digit(s_[pos_])) return fail(kInvalidNumber, pos_ + 1);
    } else if (is_digit(first)) {
      skip_digits(zero_digits);
    } else {
      return fail(kInvalidNumber, pos_);
    }
    if (!at_end() && s_[pos_] == '.') {
      ++pos_;
      if (at_end()) return fail(kEofValue, s_.size());
      if (!is_digit(s_[pos_])) return fail(kInvalidNumber, pos_ + 1);
      skip_digits(zero_digits);
    }
    if (!at_end() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      ++pos_;
      bool positive = true;
      if (!at_end() && (s_[pos_] == '+' || s_[pos_] == '-')) positive = s_[pos_++] == '+';
      if (at_end()) return fail(kEofValue, s_.size());
      if (!is_digit(s_[pos_++])) return fail(kInvalidNumber, pos_);
      // An exponent too large for 32 bits is revealed by the digit that
      // overflows it, when it makes a non-zero number infinite.
      std::int64_t exponent = s_[pos_ - 1] - '0';
      bool overflowed = false;
      while (!at_end() && is_digit(s_[pos_])) {
        const int digit = s_[pos_++] - '0';
        if (overflowed) continue;
        if (exponent * 10 + digit > 0x7FFFFFFF) {
          if (positive && !zero_digits) return fail(kOutOfRange, pos_);
          overflowed = true;
          continue;
        }
        exponent = exponent * 10 + digit;
      }
    }
    if (magnitude_too_large(s_.substr(start, pos_ - start))) {
      return fail(kOutOfRange, std::min(pos_ + 1, s_.size()));
    }
    return std::nullopt;
  }

  /// Moves past a run of digits, clearing `zero` at a non-zero one.
  void skip_digits(bool& zero) {
    for (; !at_end() && is_digit(s_[pos_]); ++pos_) zero = zero && s_[pos_] == '0';
  }

  /// Whether a grammatical number rounds beyond the largest double.
  static bool magnitude_too_large(std::string_view number) {
    double value = 0.0;
    const char* first = number.data();
    if (*first == '-') ++first;
    const auto [end, error] = std::from_chars(first, number.data() + number.size(), value);
    if (error != std::errc::result_out_of_range) return false;
    // Out of range is either side: tell overflow from underflow by the
    // decimal exponent of the leading non-zero digit.
    std::string_view digits(first, number.size() - static_cast<std::size_t>(first - number.data()));
    std::int64_t exponent = 0;
    if (const std::size_t e = digits.find_first_of("eE"); e != std::string_view::npos) {
      for (const char c : digits.substr(e + 1)) {
        if (is_digit(c) && exponent < 1000000) exponent = exponent * 10 + (c - '0');
      }
      if (digits[e + 1] == '-') exponent = -exponent;
      digits = digits.substr(0, e);
    }
    const std::size_t point = std::min(digits.find('.'), digits.size());
    const std::size_t leading = digits.find_first_not_of("0.");
    if (leading == std::string_view::npos) return false;  // zero is never out of range
    // Integer digits from the leading one on, or minus the zeros after the point.
    const auto scale = leading < point ? static_cast<std::int64_t>(point - leading)
                                       : -static_cast<std::int64_t>(leading - point - 1);
    return scale + exponent > 0;
  }

  /// A string at pos_ (a double quote). Escapes and control bytes are
  /// checked as they come; the UTF-8 of the raw bytes only at the closing
  /// quote.
  std::optional<Diagnosis> string() {
    ++pos_;
    Utf8Check utf8;
    for (;;) {
      if (at_end()) return fail(kEofString, s_.size());
      const auto c = static_cast<unsigned char>(s_[pos_++]);
      if (c == '"') {
        utf8.boundary();
        if (utf8.bad()) return fail(kInvalidUnicode, pos_);
        return std::nullopt;
      }
      if (c == '\\') {
        utf8.boundary();
        if (auto d = escape()) return d;
      } else if (c < 0x20) {
        return fail(kControl, pos_);
      } else {
        utf8.feed(c);
      }
    }
  }

  /// The escape after a backslash.
  std::optional<Diagnosis> escape() {
    if (at_end()) return fail(kEofString, s_.size());
    const char e = s_[pos_++];
    if (std::strchr("\"\\/bfnrt", e) != nullptr && e != '\0') return std::nullopt;
    if (e != 'u') return fail(kInvalidEscape, pos_);
    unsigned unit = 0;
    if (auto d = hex4(unit)) return d;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(kLoneSurrogate, pos_);
    if (unit < 0xD800 || unit > 0xDBFF) return std::nullopt;
    // A leading surrogate: a trailing one must follow at once.
    for (const char expected : {'\\', 'u'}) {
      if (at_end()) return fail(kEofString, s_.size());
      if (s_[pos_++] != expected) return fail(kEndOfHexEscape, pos_);
    }
    if (auto d = hex4(unit)) return d;
    if (unit < 0xDC00 || unit > 0xDFFF) return fail(kLoneSurrogate, pos_);
    return std::nullopt;
  }

  std::optional<Diagnosis> hex4(unsigned& unit) {
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      if (at_end()) return fail(kEofString, s_.size());
      const char h = s_[pos_++];
      unsigned digit = 0;
      if (is_digit(h)) {
        digit = static_cast<unsigned>(h - '0');
      } else if (h >= 'a' && h <= 'f') {
        digit = static_cast<unsigned>(h - 'a' + 10);
      } else if (h >= 'A' && h <= 'F') {
        digit = static_cast<unsigned>(h - 'A' + 10);
      } else {
        return fail(kInvalidEscape, pos_);
      }
      unit = unit * 16 + digit;
    }
    return std::nullopt;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
};

/// "{text} at line {line} column {column}" for an error revealed after
/// `read` bytes: lines count from 1, the column is the bytes of that line
/// read so far (0 right after a line feed).
PendingError located_error(std::string_view text, const Diagnosis& d) {
  const std::string_view read = text.substr(0, d.read);
  const std::size_t line = 1 + static_cast<std::size_t>(std::count(read.begin(), read.end(), '\n'));
  const std::size_t last_feed = read.rfind('\n');
  const std::size_t column = last_feed == std::string_view::npos ? read.size()
                                                                 : read.size() - last_feed - 1;
  return value_error(std::string(d.text) + " at line " + std::to_string(line) + " column " +
                     std::to_string(column));
}

/// Input for the library that drops the whitespace following a line feed.
/// Outside strings a run of whitespace separates tokens the same way
/// whatever its length; inside a string a raw line feed is an error anyway,
/// and the line feed itself is still passed on. So the library accepts
/// exactly the texts it would accept unshortened, while the indentation of a
/// saved graph (about 40% of its bytes) costs its tokenizer nothing. Error
/// positions never come from the library, so the shortening is never seen.
class IndentSkippingInput {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  IndentSkippingInput(const char* at, const char* end) : at_(at), end_(end) {}

  reference operator*() const { return *at_; }
  bool operator==(const IndentSkippingInput& other) const { return at_ == other.at_; }
  bool operator!=(const IndentSkippingInput& other) const { return at_ != other.at_; }
  IndentSkippingInput& operator++() {
    if (*at_++ == '\n') {
      while (at_ != end_ && (*at_ == ' ' || *at_ == '\n' || *at_ == '\r' || *at_ == '\t')) ++at_;
    }
    return *this;
  }

 private:
  const char* at_;
  const char* end_;
};

/// Parses `text` strictly into `doc`; on failure the located error.
std::optional<PendingError> parse(std::string_view text, Document& doc) {
  Builder builder(doc);
  // The library skips a byte-order mark and takes a NUL byte for the end of
  // the input; the format allows neither. A text starting with 0xEF is never
  // valid, and a NUL byte is valid only inside a string, as an escape.
  const bool library_ok =
      (text.empty() || static_cast<unsigned char>(text[0]) != 0xEF) &&
      nlohmann::json::sax_parse(IndentSkippingInput(text.data(), text.data() + text.size()),
                                IndentSkippingInput(text.data() + text.size(), nullptr), &builder,
                                nlohmann::json::input_format_t::json, true, false);
  if (library_ok && std::memchr(text.data(), '\0', text.size()) == nullptr) {
#ifdef NUVEL_LOADER_CROSS_CHECK
    // Fuzzing builds: a text the library accepts must pass our rules too.
    if (Diagnoser(text).run()) throw InternalError("JSON text accepted against the format's rules");
#endif
    doc.root = builder.root();
    return std::nullopt;
  }
  const std::optional<Diagnosis> diagnosis = Diagnoser(text).run();
  if (!diagnosis) throw InternalError("JSON text rejected without a diagnosis");
  return located_error(text, *diagnosis);
}

// ---- the lenient walk (private) --------------------------------------------

/// Builds the store from a parsed document. Every member but a node's name
/// and an edge's endpoints falls back to its default when missing or of
/// another type; object members come in ascending key order.
class Walker {
 public:
  explicit Walker(const Document& doc) : doc_(doc) {}

  Result<NuvelGraphInner> build() {
    NuvelGraphInner graph;
    const Value* nodes = member(doc_.root, k_nodes_);
    if (nodes != nullptr && nodes->kind == Kind::Array) {
      for (std::uint32_t i = 0; i < nodes->span.count; ++i) {
        if (auto error = add_node(graph, element(*nodes, i), i)) return std::move(*error);
      }
    }
    const Value* edges = member(doc_.root, k_edges_);
    if (edges != nullptr && edges->kind == Kind::Array) {
      for (std::uint32_t i = 0; i < edges->span.count; ++i) {
        if (auto error = add_edge(graph, element(*edges, i), i)) return std::move(*error);
      }
    }
    return graph;
  }

 private:
  const Value& element(const Value& array, std::uint32_t i) const {
    return doc_.values[array.span.start + i];
  }
  const Value* member(const Value& object, KeyId key) const { return doc_.member(object, key); }

  const Value* string_member(const Value& object, KeyId key) const {
    const Value* v = member(object, key);
    return v != nullptr && v->kind == Kind::String ? v : nullptr;
  }

  double number_or(const Value* v, double fallback) const {
    if (v == nullptr) return fallback;
    switch (v->kind) {
      case Kind::Int: return static_cast<double>(v->integer);
      case Kind::UInt: return static_cast<double>(v->unsigned_integer);
      case Kind::Double: return v->number;
      default: return fallback;
    }
  }

  std::string text_or_empty(const Value* v) const {
    return v != nullptr && v->kind == Kind::String ? std::string(doc_.string(*v)) : std::string();
  }

  /// {"value": number, "unit": string} with 0.0 and "" for what is missing;
  /// anything but an object gives both defaults.
  SingleMetric read_value_and_unit(const Value& v) const {
    return {number_or(member(v, k_value_), 0.0), text_or_empty(member(v, k_unit_))};
  }

  static PendingError missing(const char* array, std::uint32_t i, const char* name) {
    return value_error(std::string(array) + "[" + std::to_string(i) + "] has no string member \"" +
                       name + "\"");
  }

  std::optional<PendingError> add_node(NuvelGraphInner& graph, const Value& v, std::uint32_t i) {
    const Value* name = string_member(v, k_name_);
    if (name == nullptr) return missing("nodes", i, "name");
    std::optional<std::string_view> performance;
    if (const Value* p = string_member(v, k_performance_)) performance = doc_.string(*p);
    const NodeIndex n = graph.add_node(doc_.string(*name), performance);
    NodeData& node = graph.change_node(n);
    node.instance = number_or(member(v, k_instance_), 1.0);

    if (const Value* tags = member(v, k_tags_); tags != nullptr && tags->kind == Kind::Array) {
      TextList list;
      for (std::uint32_t t = 0; t < tags->span.count; ++t) {
        const Value& tag = element(*tags, t);
        if (tag.kind == Kind::String) list.emplace_back(doc_.string(tag));
      }
      if (!list.empty()) node.tags = std::make_unique<TextList>(std::move(list));
    }

    if (const Value* metrics = member(v, k_metrics_);
        metrics != nullptr && metrics->kind == Kind::Object) {
      node.metrics.reserve(metrics->span.count);
      for (std::uint32_t m = 0; m < metrics->span.count; ++m) {
        const Value& metric = element(*metrics, m);
        if (metric.kind != Kind::Object) continue;
        const TextId id = graph.intern(doc_.key_text(metric.key));
        if (member(metric, k_value_) != nullptr && member(metric, k_unit_) != nullptr) {
          const SingleMetric read = read_value_and_unit(metric);
          node.metrics.assign(id, read.value, graph.intern(read.unit));
          continue;
        }
        MultiOp ops;
        ops.reserve(metric.span.count);
        for (std::uint32_t o = 0; o < metric.span.count; ++o) {
          const Value& op = element(metric, o);
          ops.insert_or_assign(doc_.key_text(op.key), read_value_and_unit(op));
        }
        node.metrics.assign(id, std::move(ops));
      }
    }

    if (const Value* specified = member(v, k_specified_metrics_);
        specified != nullptr && specified->kind == Kind::Object) {
      OrderedMap<SingleMetric> map;
      map.reserve(specified->span.count);
      for (std::uint32_t m = 0; m < specified->span.count; ++m) {
        const Value& entry = element(*specified, m);
        map.insert_or_assign(doc_.key_text(entry.key), read_value_and_unit(entry));
      }
      node.specified_metrics = std::move(map);
    }
    return std::nullopt;
  }

  std::optional<PendingError> add_edge(NuvelGraphInner& graph, const Value& v, std::uint32_t i) {
    const Value* source = string_member(v, k_source_);
    if (source == nullptr) return missing("edges", i, "source");
    const Value* target = string_member(v, k_target_);
    if (target == nullptr) return missing("edges", i, "target");
    Result<AddedEdge> added = graph.add_edge(doc_.string(*source), doc_.string(*target));
    if (!added.ok()) return std::move(added.error());
    const EdgeIndex e = added.value().edge;

    // Every annotation is assigned, so a repeated pair takes the later
    // element's values and the defaults for what that element lacks.
    EdgeData& edge = graph.change_edge(e);
    edge.count = number_or(member(v, k_count_), 1.0);
    const Value* aggregation = string_member(v, k_aggregation_);
    graph.set_aggregation(e, aggregation != nullptr ? doc_.string(*aggregation) : "parallel");

    OrderedMap<std::string> operation;
    if (const Value* ops = member(v, k_operation_); ops != nullptr && ops->kind == Kind::Object) {
      operation.reserve(ops->span.count);
      for (std::uint32_t m = 0; m < ops->span.count; ++m) {
        const Value& op = element(*ops, m);
        operation.insert_or_assign(doc_.key_text(op.key), text_or_empty(&op));
      }
    }
    edge.operation = std::move(operation);

    OrderedMap<double> factor;
    if (const Value* fs = member(v, k_factor_); fs != nullptr && fs->kind == Kind::Object) {
      factor.reserve(fs->span.count);
      for (std::uint32_t m = 0; m < fs->span.count; ++m) {
        const Value& f = element(*fs, m);
        factor.insert_or_assign(doc_.key_text(f.key), number_or(&f, 1.0));
      }
    }
    edge.factor = std::move(factor);
    return std::nullopt;
  }

  const Document& doc_;
  const KeyId k_nodes_ = doc_.find_key("nodes");
  const KeyId k_edges_ = doc_.find_key("edges");
  const KeyId k_name_ = doc_.find_key("name");
  const KeyId k_performance_ = doc_.find_key("performance");
  const KeyId k_instance_ = doc_.find_key("instance");
  const KeyId k_tags_ = doc_.find_key("tags");
  const KeyId k_metrics_ = doc_.find_key("metrics");
  const KeyId k_specified_metrics_ = doc_.find_key("specified_metrics");
  const KeyId k_value_ = doc_.find_key("value");
  const KeyId k_unit_ = doc_.find_key("unit");
  const KeyId k_source_ = doc_.find_key("source");
  const KeyId k_target_ = doc_.find_key("target");
  const KeyId k_count_ = doc_.find_key("count");
  const KeyId k_aggregation_ = doc_.find_key("aggregation");
  const KeyId k_operation_ = doc_.find_key("operation");
  const KeyId k_factor_ = doc_.find_key("factor");
};

// ---- reading the file (private) --------------------------------------------

/// A file's bytes in one buffer.
struct FileText {
  std::unique_ptr<char[]> bytes;
  std::size_t size = 0;
  std::string_view view() const { return {bytes.get(), size}; }
};

/// The whole file in one buffer. An open failure is an IO error; a read
/// failure after a successful open (a directory, say) is a ValueError.
Result<FileText> read_file(std::string_view path) {
  if (auto refused = refuse_nul(path)) return std::move(*refused);
  const std::string name(path);
  int fd = -1;
  do {
    fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return os_error(errno);

  struct FileCloser {
    int fd;
    ~FileCloser() { ::close(fd); }
  } closer{fd};

  struct stat info {};
  std::size_t capacity = 8192;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    // One byte more than the size, so that the end shows without growing.
    capacity = static_cast<std::size_t>(info.st_size) + 1;
  }
  FileText text{std::make_unique_for_overwrite<char[]>(capacity), 0};
  for (;;) {
    if (text.size == capacity) {  // a file that grew or reported no size
      const std::size_t larger = capacity * 2;
      auto bytes = std::make_unique_for_overwrite<char[]>(larger);
      std::memcpy(bytes.get(), text.bytes.get(), text.size);
      text.bytes = std::move(bytes);
      capacity = larger;
    }
    const ssize_t got = ::read(fd, text.bytes.get() + text.size, capacity - text.size);
    if (got < 0) {
      if (errno == EINTR) continue;
      return os_error(errno, ErrorKind::Value);
    }
    if (got == 0) break;
    text.size += static_cast<std::size_t>(got);
  }
  return text;
}

}  // namespace

// ---- public ----------------------------------------------------------------

Result<NuvelGraphInner> load_json_text(std::string_view text) {
  Document doc;
  if (auto error = parse(text, doc)) return std::move(*error);
  return Walker(doc).build();
}

Result<NuvelGraphInner> load_json(std::string_view path) {
  Result<NuvelGraphInner> graph = [&]() -> Result<NuvelGraphInner> {
    Result<FileText> file = read_file(path);
    if (!file.ok()) return std::move(file.error());
    Document doc;
    if (auto error = parse(file.value().view(), doc)) return std::move(*error);
    // The document holds copies of every text: release the file before the
    // graph is built, so the two never need memory at the same time.
    file.value() = FileText{};
    return Walker(doc).build();
  }();
#ifdef __GLIBC__
  // The document's many small blocks lie between the graph's; glibc keeps
  // such freed pages resident, which would leave a loaded graph holding
  // about twice its size.
  malloc_trim(0);
#endif
  return graph;
}

}  // namespace nuvel
