// The writer behind save_json: renders the graph as one JSON text in memory,
// then puts it on disk so that a failed save never destroys the old file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "file_errors.h"
#include "format.h"
#include "persistence.h"

namespace nuvel {
namespace {

// ---- text buffer (private) -------------------------------------------------

/// Growable byte buffer without zero-filling; appends check capacity once per
/// piece.
class TextBuffer {
 public:
  explicit TextBuffer(std::size_t capacity) { grow(capacity); }

  /// Room for `n` more bytes at `tail()`.
  char* ensure(std::size_t n) {
    if (capacity_ - size_ < n) grow(std::max(capacity_ * 2, size_ + n));
    return data_.get() + size_;
  }
  void commit(char* end) { size_ = static_cast<std::size_t>(end - data_.get()); }

  void put(char c) {
    *ensure(1) = c;
    ++size_;
  }
  void put(std::string_view s) {
    char* out = ensure(s.size());
    if (!s.empty()) std::memcpy(out, s.data(), s.size());
    size_ += s.size();
  }

  std::string_view view() const { return {data_.get(), size_}; }

 private:
  void grow(std::size_t capacity) {
    auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
    if (size_ != 0) std::memcpy(bigger.get(), data_.get(), size_);
    data_ = std::move(bigger);
    capacity_ = capacity;
  }

  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// ---- number text (private) -------------------------------------------------

/// Room write_decimal needs.
constexpr std::size_t kNumberMaxLen = 32;

void put_number(TextBuffer& buf, double x) {
  if (!std::isfinite(x)) {
    buf.put("null");
    return;
  }
  buf.commit(write_decimal(buf.ensure(kNumberMaxLen), x, kFileNumber));
}

// ---- strings (private) -----------------------------------------------------

/// For each byte: 0 when written as is, else the second char of its escape
/// ('u' for the \u00XX form).
constexpr auto kEscape = [] {
  struct Table {
    char at[256] = {};
  } table;
  for (int b = 0; b < 0x20; ++b) table.at[b] = 'u';
  table.at[0x08] = 'b';
  table.at[0x09] = 't';
  table.at[0x0A] = 'n';
  table.at[0x0C] = 'f';
  table.at[0x0D] = 'r';
  table.at[0x22] = '"';
  table.at[0x5C] = '\\';
  return table;
}();

void put_string(TextBuffer& buf, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  // Worst case: every byte becomes \u00XX.
  char* out = buf.ensure(s.size() * 6 + 2);
  *out++ = '"';
  for (const char c : s) {
    const auto b = static_cast<unsigned char>(c);
    const char escape = kEscape.at[b];
    if (escape == 0) {
      *out++ = c;
    } else if (escape != 'u') {
      *out++ = '\\';
      *out++ = escape;
    } else {
      std::memcpy(out, "\\u00", 4);
      out[4] = kHex[b >> 4];
      out[5] = kHex[b & 0xF];
      out += 6;
    }
  }
  *out++ = '"';
  buf.commit(out);
}

// ---- document (private) ----------------------------------------------------

/// Emits the layout: members on their own lines, two blanks per level, "{}"
/// and "[]" for empty containers.
class DocWriter {
 public:
  explicit DocWriter(TextBuffer& buf) : buf_(buf) {}

  void open(char bracket) {
    buf_.put(bracket);
    ++depth_;
    first_ = true;
  }
  void close(char bracket) {
    --depth_;
    if (!first_) newline();
    buf_.put(bracket);
    first_ = false;
  }
  /// Starts an array element.
  void element() {
    if (!first_) buf_.put(',');
    newline();
    first_ = true;
  }
  /// Starts an object member: the key, a colon and a blank.
  void key(std::string_view k) {
    element();
    put_string(buf_, k);
    buf_.put(": ");
  }
  void string(std::string_view s) {
    put_string(buf_, s);
    first_ = false;
  }
  void number(double x) {
    put_number(buf_, x);
    first_ = false;
  }
  void null() {
    buf_.put("null");
    first_ = false;
  }

 private:
  void newline() {
    static constexpr std::string_view kBlanks = "                                ";
    const std::size_t width = 2 * static_cast<std::size_t>(depth_);
    char* out = buf_.ensure(width + 1);
    *out++ = '\n';
    if (width <= kBlanks.size()) {
      std::memcpy(out, kBlanks.data(), width);
    } else {
      std::memset(out, ' ', width);
    }
    buf_.commit(out + width);
  }

  TextBuffer& buf_;
  int depth_ = 0;
  /// No member written yet in the innermost open container.
  bool first_ = true;
};

/// The entries of `map` in ascending byte order of their keys (std::string
/// compares chars as unsigned). `scratch` is reused between calls.
template <class V>
const std::vector<const typename OrderedMap<V>::Entry*>& sorted_entries(
    const OrderedMap<V>& map, std::vector<const typename OrderedMap<V>::Entry*>& scratch) {
  scratch.clear();
  for (const auto& entry : map) scratch.push_back(&entry);
  if (scratch.size() > 1) {
    std::sort(scratch.begin(), scratch.end(),
              [](const auto* a, const auto* b) { return a->first < b->first; });
  }
  return scratch;
}

class GraphWriter {
 public:
  GraphWriter(const NuvelGraphInner& graph, TextBuffer& buf) : graph_(graph), out_(buf) {}

  void document() {
    out_.open('{');
    out_.key("edges");
    out_.open('[');
    for (EdgeIndex e = 0; e < graph_.edge_count(); ++e) edge(e);
    out_.close(']');
    out_.key("nodes");
    out_.open('[');
    for (NodeIndex n = 0; n < graph_.node_count(); ++n) node(n);
    out_.close(']');
    out_.close('}');
  }

 private:
  void edge(EdgeIndex e) {
    const EdgeData& data = graph_.edge(e);
    out_.element();
    out_.open('{');
    out_.key("aggregation");
    out_.string(graph_.aggregation(e));
    out_.key("count");
    out_.number(data.count);
    out_.key("factor");
    out_.open('{');
    for (const auto* entry : sorted_entries(data.factor, doubles_)) {
      out_.key(entry->first);
      out_.number(entry->second);
    }
    out_.close('}');
    out_.key("operation");
    out_.open('{');
    for (const auto* entry : sorted_entries(data.operation, texts_)) {
      out_.key(entry->first);
      out_.string(entry->second);
    }
    out_.close('}');
    out_.key("source");
    out_.string(graph_.node(graph_.source(e)).name.view());
    out_.key("target");
    out_.string(graph_.node(graph_.target(e)).name.view());
    out_.close('}');
  }

  void node(NodeIndex n) {
    const NodeData& data = graph_.node(n);
    out_.element();
    out_.open('{');
    out_.key("instance");
    out_.number(data.instance);
    out_.key("metrics");
    out_.open('{');
    for (const NodeMetrics::Entry* entry : sorted_metrics(data.metrics)) {
      out_.key(graph_.text(entry->metric()));
      if (entry->is_single()) {
        single_metric(graph_.text(entry->unit()), entry->value());
      } else {
        single_metrics(entry->ops());
      }
    }
    out_.close('}');
    out_.key("name");
    out_.string(data.name.view());
    out_.key("performance");
    if (data.performance.has_value()) {
      out_.string(data.performance.view());
    } else {
      out_.null();
    }
    out_.key("specified_metrics");
    single_metrics(data.specified_metrics);
    out_.key("tags");
    out_.open('[');
    if (data.tags) {
      for (const std::string& tag : *data.tags) {
        out_.element();
        out_.string(tag);
      }
    }
    out_.close(']');
    out_.close('}');
  }

  /// An object of single-metric objects; uses its own scratch, since the
  /// metric loop that calls it holds metrics_.
  void single_metrics(const OrderedMap<SingleMetric>& map) {
    out_.open('{');
    for (const auto* entry : sorted_entries(map, singles_)) {
      out_.key(entry->first);
      single_metric(entry->second.unit, entry->second.value);
    }
    out_.close('}');
  }

  void single_metric(std::string_view unit, double value) {
    out_.open('{');
    out_.key("unit");
    out_.string(unit);
    out_.key("value");
    out_.number(value);
    out_.close('}');
  }

  /// A node's metrics in ascending byte order of their names.
  const std::vector<const NodeMetrics::Entry*>& sorted_metrics(const NodeMetrics& metrics) {
    metrics_.clear();
    for (const NodeMetrics::Entry& entry : metrics) metrics_.push_back(&entry);
    if (metrics_.size() > 1) {
      std::sort(metrics_.begin(), metrics_.end(), [&](const auto* a, const auto* b) {
        return graph_.text(a->metric()) < graph_.text(b->metric());
      });
    }
    return metrics_;
  }

  const NuvelGraphInner& graph_;
  DocWriter out_;
  std::vector<const OrderedMap<double>::Entry*> doubles_;
  std::vector<const OrderedMap<std::string>::Entry*> texts_;
  std::vector<const NodeMetrics::Entry*> metrics_;
  std::vector<const OrderedMap<SingleMetric>::Entry*> singles_;
};

// ---- file (private) --------------------------------------------------------

/// Writes all of `text` to `fd`, repeating writes a signal interrupted.
Result<Done> write_all(int fd, std::string_view text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    // Linux moves at most about 2 GiB per call; smaller pieces also keep
    // a file-size limit from being hit in the middle of a huge request.
    const std::size_t piece = std::min<std::size_t>(left, std::size_t{1} << 30);
    const ssize_t written = ::write(fd, p, piece);
    if (written < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (written == 0) return PendingError{ErrorKind::IO, "failed to write whole buffer"};
    p += written;
    left -= static_cast<std::size_t>(written);
  }
  return Done{};
}

/// Closes `fd` after the steps that produced `result`. A failed close may
/// be a late write error, so it fails the save unless an earlier step did.
Result<Done> close_after(int fd, Result<Done> result) {
  if (::close(fd) != 0 && result.ok()) return os_error(errno);
  return result;
}

/// Creates or truncates `path` and writes through it, for targets that
/// cannot be replaced by a rename. A failure leaves whatever was written.
Result<Done> write_in_place(const std::string& path, std::string_view text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return os_error(errno);
  return close_after(fd, write_all(fd, text));
}

/// Length of the directory part of `path`, its final slash included
/// (0 for a bare name).
std::size_t dir_length(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? 0 : slash + 1;
}

/// What a save would replace: the end of `path`'s symbolic link chain.
struct Target {
  std::string path;         ///< `path` itself, or the file its links lead to
  bool exists = false;      ///< lstat succeeded on `path`
  bool regular = false;
  bool resolved = true;     ///< false: lstat failed for another reason than ENOENT,
                            ///< or the chain is too long
  mode_t mode = 0;          ///< permission bits of an existing target
  uid_t uid = 0;
  gid_t gid = 0;
};

Target resolve(std::string path) {
  // As many links as the kernel follows before it reports ELOOP.
  constexpr int kMaxLinks = 40;
  Target target;
  for (int hops = 0;; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
      target.resolved = errno == ENOENT;
      break;
    }
    if (!S_ISLNK(st.st_mode)) {
      target.exists = true;
      target.regular = S_ISREG(st.st_mode);
      target.mode = st.st_mode & 07777;
      target.uid = st.st_uid;
      target.gid = st.st_gid;
      break;
    }
    if (hops == kMaxLinks) {
      target.resolved = false;
      break;
    }
    std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
    if (n < 0 || static_cast<std::size_t>(n) >= link.size()) {
      target.resolved = false;  // changed under our feet; let open() decide
      break;
    }
    link.resize(static_cast<std::size_t>(n));
    if (!link.empty() && link[0] == '/') {
      path = std::move(link);
    } else {
      path.resize(dir_length(path));
      path += link;
    }
  }
  target.path = std::move(path);
  return target;
}

/// Creates a new file next to `target` as open(O_CREAT | O_EXCL) with mode
/// 0666, so the process's umask applies as it would to the target itself.
/// Returns the descriptor (or -1 with errno set) and fills `temp_path`.
int create_temporary(const std::string& target, std::string& temp_path) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static std::atomic<std::uint64_t> counter{0};
  const std::size_t dir = dir_length(target);
  // Keep the name within the 255-byte limit of common file systems.
  const std::string_view base = std::string_view(target).substr(dir, 200);
  std::uint64_t seed =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      (static_cast<std::uint64_t>(::getpid()) << 32);
  for (int attempt = 0; attempt < 100; ++attempt) {
    // splitmix64 over the seed and a counter: names differ between calls
    // and processes, and O_EXCL settles any collision.
    std::uint64_t z = (seed += 0x9E3779B97F4A7C15ull) + ++counter;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    char suffix[6];
    for (char& c : suffix) {
      c = kAlphabet[z % (sizeof kAlphabet - 1)];
      z /= sizeof kAlphabet - 1;
    }
    temp_path.assign(target, 0, dir);
    temp_path += '.';
    temp_path += base;
    temp_path += '.';
    temp_path.append(suffix, sizeof suffix);
    const int fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;  // errno is EEXIST
}

/// Gives the temporary file the target's owner and permission bits, or
/// leaves those open() gave a new file. False when the bits cannot be set
/// (a file system without Unix permissions).
bool adopt_attributes(int fd, const Target& target) {
  if (!target.exists) return true;
  // Best effort: only a privileged process may give a file away, and
  // fchown clears set-id bits, so it comes before fchmod.
  if (target.uid != ::geteuid() || target.gid != ::getegid()) {
    [[maybe_unused]] const int ignored = ::fchown(fd, target.uid, target.gid);
  }
  return ::fchmod(fd, target.mode) == 0;
}

Result<Done> fill(int fd, std::string_view text) {
  Result<Done> written = write_all(fd, text);
  if (!written.ok()) return written;
  // Flushed before the rename, so that a crash cannot leave the target's
  // name on an empty file. File systems that cannot sync answer EINVAL.
  if (::fsync(fd) != 0 && errno != EINVAL) return os_error(errno);
  return Done{};
}

/// Fills the temporary file and renames it over the target. On failure the
/// temporary file is gone and the target untouched.
Result<Done> replace_with(int fd, const std::string& temp_path, const Target& target,
                          std::string_view text) {
  Result<Done> result = close_after(fd, fill(fd, text));
  if (result.ok() && ::rename(temp_path.c_str(), target.path.c_str()) != 0) {
    result = os_error(errno);
  }
  if (!result.ok()) ::unlink(temp_path.c_str());
  return result;
}

Result<Done> write_file(const std::string& path, std::string_view text) {
  Target target = resolve(path);
  const std::size_t dir = dir_length(target.path);
  const std::string_view base = std::string_view(target.path).substr(dir);
  const bool replaceable = target.resolved && (!target.exists || target.regular) &&
                           !base.empty() && base != "." && base != "..";
  if (!replaceable) return write_in_place(path, text);
  // Writing through the old file needs write permission on it; a rename
  // does not, so ask for it first (for the effective user, as open does).
  if (target.exists && ::faccessat(AT_FDCWD, target.path.c_str(), W_OK, AT_EACCESS) != 0) {
    return os_error(errno);
  }
  std::string temp_path;
  const int fd = create_temporary(target.path, temp_path);
  if (fd < 0) return write_in_place(path, text);  // e.g. a read-only directory
  if (!adopt_attributes(fd, target)) {
    ::close(fd);  // nothing written yet: only the empty file is dropped
    ::unlink(temp_path.c_str());
    return write_in_place(path, text);
  }
  return replace_with(fd, temp_path, target, text);
}

}  // namespace

// ---- public ----------------------------------------------------------------

Result<Done> save_json(const NuvelGraphInner& graph, std::string_view path) {
  if (auto refused = refuse_nul(path)) return std::move(*refused);
  // Typical models take about 600 bytes per node and 200 per edge. Pages
  // of the buffer that are never written cost no memory, so the guess errs
  // on the large side to spare the copies of growing.
  TextBuffer buf(4096 + 768 * graph.node_count() + 256 * graph.edge_count());
  GraphWriter(graph, buf).document();
  return write_file(std::string(path), buf.view());
}

}  // namespace nuvel
