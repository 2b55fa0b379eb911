#include "core/state/state_file.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>

#include "core/fs/paths.h"
#include "core/fs/percent_escape.h"

namespace tavrik {

namespace {

constexpr size_t kBlock = size_t{1} << 20;
constexpr const char* kMagic = "tavrik-state";

// Percent escapes, and a blank too, so every field is one word (a path is the rest of its
// line, but escaping its blanks as well keeps the lines easy to split with any tool).
std::string EscapeField(std::string_view text) {
  return PercentEscape(text, KeepBytes::kPrintableNoBlank);
}

template <typename T>
bool Number(std::string_view text, T* value) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *value);
  return ec == std::errc() && ptr == end;
}

// Reads the decimal number at *at, which must end in a blank, and moves *at past the blank:
// the fields of an entry line, read without splitting the line into words first.
template <typename T>
bool Field(const char** at, const char* end, T* value) {
  const char* p = *at;
  bool negative = false;
  if constexpr (std::is_signed_v<T>) {
    if (p != end && *p == '-') {
      negative = true;
      ++p;
    }
  }
  const char* const digits = p;
  uint64_t v = 0;
  while (p != end && static_cast<unsigned char>(*p - '0') < 10) {
    v = v * 10 + static_cast<unsigned>(*p - '0');
    ++p;
  }
  // Nineteen digits always fit in 64 bits; the type's own limit is checked below.
  if (p == digits || p - digits > 19 || p == end || *p != ' ') return false;
  const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<T>::max()) + (negative ? 1 : 0);
  if (v > limit) return false;
  *value = negative ? static_cast<T>(0 - v) : static_cast<T>(v);
  *at = p + 1;
  return true;
}

// Splits off the first blank-separated word of *rest.
std::string_view Word(std::string_view* rest) {
  // Fields are a few bytes long: a plain loop beats a call per field.
  const char* begin = rest->data();
  const char* end = begin + rest->size();
  const char* at = begin;
  while (at != end && *at != ' ') ++at;
  const std::string_view word(begin, static_cast<size_t>(at - begin));
  rest->remove_prefix(at == end ? rest->size() : word.size() + 1);
  return word;
}

bool HexId(std::string_view text) {
  if (text.size() != 32) return false;
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Parses the file line by line; the entries go straight into out's buffer.
class Parser {
 public:
  Parser(SideState* out, bool header_only, StateEntries* same_paths = nullptr)
      : out_(out), header_only_(header_only), same_(same_paths) {}

  // One line without its "\n". False stops the parse (done or failed: see Result).
  bool Line(std::string_view line) {
    ++line_number_;
    if (line_number_ == 1) return First(line);
    if (ended_) return Fail("Text nach dem Ende");
    if (in_entries_ && line.size() > 2 && line[0] == 'e' && line[1] == ' ')
      return Entry(line.substr(2));
    std::string_view rest = line;
    const std::string_view key = Word(&rest);
    if (key == "e") return Entry(rest);
    if (key == "end") return End(rest);
    if (in_entries_) return Fail("unbekannte Zeile");
    return Header(key, rest);
  }

  // After the last line.
  StateRead Result(std::string* error) const {
    if (result_ != StateRead::kOk) {
      if (error) *error = error_;
      return result_;
    }
    if (!ended_ && !(header_only_ && HeaderDone())) {
      if (error) *error = "Die Datei bricht vor ihrem Ende ab.";
      return StateRead::kUnreadable;
    }
    return StateRead::kOk;
  }

 private:
  bool First(std::string_view line) {
    std::string_view rest = line;
    if (Word(&rest) != kMagic) return Fail("keine Stand-Datei");
    int format = 0;
    if (!Number(rest, &format) || format < 1) return Fail("unbekanntes Format");
    out_->header.format = format;
    if (format > kStateFormat) {
      result_ = StateRead::kNewer;
      error_ = "Format " + std::to_string(format);
      return false;
    }
    return true;
  }

  bool Header(std::string_view key, std::string_view rest) {
    StateHeader& h = out_->header;
    int bit = 0;
    bool ok = true;
    if (key == "pair") {
      bit = 1;
      ok = HexId(rest);
      h.pair_id = rest;
    } else if (key == "generation") {
      bit = 2;
      ok = HexId(rest);
      h.generation = rest;
    } else if (key == "side") {
      bit = 4;
      ok = rest == "L" || rest == "R";
      h.side = ok ? rest[0] : 'L';
    } else if (key == "root") {
      bit = 8;
      ok = PercentUnescape(rest, &h.root);
    } else if (key == "identity") {
      bit = 16;
      ok = ParseIdentity(rest, &h.identity);
    } else if (key == "peer") {
      bit = 32;
      ok = ParseIdentity(rest, &h.peer);
    } else if (key == "shift") {
      bit = 64;
      ok = Number(rest, &h.shift_seconds);
    } else if (key == "links") {
      bit = 128;
      ok = rest == "keep" || rest == "follow";
      h.follow_links = rest == "follow";
    } else if (key == "inodes") {
      bit = 256;
      ok = rest == "0" || rest == "1";
      h.stable_inodes = rest == "1";
    } else {
      return Fail("unbekannte Zeile");
    }
    if (!ok) return Fail("Zeile '" + std::string(key) + "' ungültig");
    if (seen_ & bit) return Fail("Zeile '" + std::string(key) + "' doppelt");
    seen_ |= bit;
    return true;
  }

  bool HeaderDone() const { return seen_ == 511; }

  bool Entry(std::string_view rest) {
    if (!in_entries_) {
      if (!HeaderDone()) return Fail("Kopf unvollständig");
      in_entries_ = true;
      if (header_only_) return false;
    }
    StateEntry e;
    const char* at = rest.data();
    const char* const end = at + rest.size();
    if (rest.size() < 2 || rest[1] != ' ') return Fail("Art ungültig");
    int64_t seconds = 0;
    if (rest[0] == 'f')
      e.kind = StateKind::kFile;
    else if (rest[0] == 'l')
      e.kind = StateKind::kLink;
    else
      return Fail("Art ungültig");
    at += 2;
    if (!Field(&at, end, &e.size) || e.size < 0) return Fail("Größe ungültig");
    if (!Field(&at, end, &seconds) || FitStateSeconds(seconds) != seconds)
      return Fail("Zeit ungültig");
    e.mtime_sec = seconds;
    if (!Field(&at, end, &e.mtime_nsec) || e.mtime_nsec < 0 || e.mtime_nsec >= 1000000000)
      return Fail("Zeit ungültig");
    if (end - at >= 2 && at[0] == '-' && at[1] == ' ') {
      at += 2;
    } else if (!Field(&at, end, &e.ino) || e.ino == 0) {
      return Fail("Inode ungültig");
    }
    std::string_view path(at, static_cast<size_t>(end - at));
    if (std::memchr(path.data(), '%', path.size()) != nullptr) {
      if (!PercentUnescape(path, &path_)) return Fail("Pfad ungültig");
      path = path_;
    }
    StateEntries& entries = out_->entries;
    if (same_) {
      // Both sides' paths come sorted: one walk along the other side's finds each one once.
      // A path the other side holds is clean already, and follows the last one taken from
      // there when nothing of this side came between.
      while (cursor_ < same_->size() && same_->Path(cursor_) < path) ++cursor_;
      if (cursor_ < same_->size() && same_->Path(cursor_) == path) {
        if (!took_last_from_same_ && entries.size() > 0 &&
            !(entries.Path(entries.size() - 1) < path))
          return Fail("Pfade nicht geordnet");
        entries.AddPathOf((*same_)[cursor_], e);
        ++cursor_;
        took_last_from_same_ = true;
        return true;
      }
    }
    if (!CleanRelativePath(path)) return Fail("Pfad ungültig");
    if (entries.size() > 0 && !(entries.Path(entries.size() - 1) < path))
      return Fail("Pfade nicht geordnet");
    took_last_from_same_ = false;
    entries.Add(path, e);
    return true;
  }

  bool End(std::string_view rest) {
    if (!HeaderDone()) return Fail("Kopf unvollständig");
    size_t count = 0;
    if (!Number(rest, &count)) return Fail("Ende ungültig");
    if (header_only_) return false;
    if (count != out_->entries.size()) return Fail("Zahl der Einträge stimmt nicht");
    ended_ = true;
    return true;
  }

  bool Fail(std::string why) {
    result_ = StateRead::kUnreadable;
    error_ = "Zeile " + std::to_string(line_number_) + ": " + why;
    return false;
  }

  SideState* out_;
  bool header_only_;
  size_t line_number_ = 0;
  int seen_ = 0;
  bool in_entries_ = false;
  bool ended_ = false;
  StateRead result_ = StateRead::kOk;
  std::string error_;
  std::string path_;
  StateEntries* same_ = nullptr;
  size_t cursor_ = 0;
  bool took_last_from_same_ = false;
};

// Feeds text to the parser line by line; returns the unfinished last line's start.
// False when the parser stopped.
bool FeedLines(Parser& parser, std::string_view text, size_t* used) {
  size_t start = 0;
  while (true) {
    const size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) break;
    if (!parser.Line(text.substr(start, nl - start))) {
      *used = nl + 1;
      return false;
    }
    start = nl + 1;
  }
  *used = start;
  return true;
}

void Reset(SideState* out) {
  out->header = StateHeader();
  out->entries.Clear();
}

}  // namespace

void StateEntries::Add(std::string_view path, const StateEntry& entry) {
  StateEntry e = entry;
  e.path_offset = static_cast<uint32_t>(names_->size());
  size_t length = path.size();
  while (length >= 0x80) {
    names_->push_back(static_cast<char>((length & 0x7f) | 0x80));
    length >>= 7;
  }
  names_->push_back(static_cast<char>(length));
  names_->append(path);
  entries_.push_back(e);
  pairing_index_.clear();
}

void StateEntries::AddPathOf(const StateEntry& e, const StateEntry& entry) {
  StateEntry made = entry;
  made.path_offset = e.path_offset;
  entries_.push_back(made);
  pairing_index_.clear();
}

void StateEntries::Reserve(size_t entries, size_t name_bytes) {
  entries_.reserve(entries);
  // One byte of length before nearly every path.
  names_->reserve(names_->size() + name_bytes + (name_bytes > 0 ? entries : 0));
}

void StateEntries::Sort() {
  std::sort(entries_.begin(), entries_.end(),
            [this](const StateEntry& a, const StateEntry& b) { return PathOf(a) < PathOf(b); });
  pairing_index_.clear();
}

bool StateEntries::Ordered() const {
  for (size_t i = 1; i < entries_.size(); ++i)
    if (!(Path(i - 1) < Path(i))) return false;
  return true;
}

const StateEntry* StateEntries::Find(std::string_view path) const {
  auto it =
      std::lower_bound(entries_.begin(), entries_.end(), path,
                       [this](const StateEntry& e, std::string_view p) { return PathOf(e) < p; });
  return it != entries_.end() && PathOf(*it) == path ? &*it : nullptr;
}

const StateEntry* StateEntries::FindNear(std::string_view path, size_t* hint) const {
  const size_t n = entries_.size();
  if (n == 0) return nullptr;
  size_t at = std::min(*hint, n - 1);
  // Gallop from the hint towards the path, then search the last step's span: paths of one
  // folder lie together, so rows of the same folder find theirs in a few steps.
  size_t low, high;  // the path's place lies in [low, high]
  if (PathOf(entries_[at]) < path) {
    size_t step = 1;
    low = at + 1;
    high = n;
    while (at + step < n && PathOf(entries_[at + step]) < path) {
      low = at + step + 1;
      step *= 2;
    }
    if (at + step < n) high = at + step;
  } else {
    size_t step = 1;
    high = at;
    low = 0;
    while (step <= at && !(PathOf(entries_[at - step]) < path)) {
      high = at - step;
      step *= 2;
    }
    if (step <= at) low = at - step + 1;
  }
  auto it =
      std::lower_bound(entries_.begin() + static_cast<ptrdiff_t>(low),
                       entries_.begin() + static_cast<ptrdiff_t>(high), path,
                       [this](const StateEntry& e, std::string_view p) { return PathOf(e) < p; });
  *hint = static_cast<size_t>(it - entries_.begin());
  return it != entries_.end() && PathOf(*it) == path ? &*it : nullptr;
}

const StateEntry* StateEntries::FindPairing(std::string_view path) const {
  if (const StateEntry* exact = Find(path)) return exact;
  if (entries_.empty()) return nullptr;
  if (pairing_index_.empty()) {
    size_t slots = 16;
    while (slots < entries_.size() * 2) slots *= 2;
    pairing_index_.assign(slots, 0);
    for (size_t i = 0; i < entries_.size(); ++i) {
      size_t slot = RelPath(Path(i)).KeyHash() & (slots - 1);
      while (pairing_index_[slot] != 0) slot = (slot + 1) & (slots - 1);
      pairing_index_[slot] = static_cast<uint32_t>(i + 1);
    }
  }
  const RelPath key(path);
  const size_t mask = pairing_index_.size() - 1;
  for (size_t slot = key.KeyHash() & mask; pairing_index_[slot] != 0; slot = (slot + 1) & mask) {
    const StateEntry& e = entries_[pairing_index_[slot] - 1];
    if (key.SameKey(PathOf(e))) return &e;
  }
  return nullptr;
}

void StateEntries::Clear() {
  names_ = std::make_shared<std::string>();
  std::vector<StateEntry>().swap(entries_);
  std::vector<uint32_t>().swap(pairing_index_);
}

bool CleanRelativePath(std::string_view path) {
  if (path.empty() || std::memchr(path.data(), '\0', path.size()) != nullptr) return false;
  // Each component must be neither empty nor "." nor "..": found a separator at a time.
  const char* p = path.data();
  const char* const end = p + path.size();
  for (;;) {
    const char* slash = static_cast<const char*>(std::memchr(p, '/', static_cast<size_t>(end - p)));
    const char* stop = slash ? slash : end;
    const size_t length = static_cast<size_t>(stop - p);
    if (length == 0) return false;
    if (p[0] == '.' && (length == 1 || (length == 2 && p[1] == '.'))) return false;
    if (!slash) return true;
    p = slash + 1;
  }
}

StateRead ParseStateText(std::string_view text, SideState* out, std::string* error) {
  Reset(out);
  Parser parser(out, false);
  size_t used = 0;
  if (FeedLines(parser, text, &used) && used < text.size()) {
    // A last line without its "\n": the file was cut off.
    if (error) *error = "Die Datei bricht vor ihrem Ende ab.";
    return StateRead::kUnreadable;
  }
  return parser.Result(error);
}

StateRead ReadStateFile(FileSystem& fs, const std::string& path, SideState* out, bool header_only,
                        std::string* error, StateEntries* same_paths,
                        const std::atomic<bool>* cancel) {
  Reset(out);
  if (same_paths && !header_only) out->entries.ShareNamesWith(*same_paths);
  Fd fd(fs, fs.OpenAt(AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) {
    if (errno == ENOENT) return StateRead::kMissing;
    if (error) *error = std::strerror(errno);
    return StateRead::kUnreadable;
  }
  struct stat st {};
  if (fs.Fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    if (error) *error = "keine Datei";
    return StateRead::kUnreadable;
  }
  // Room for as many entries and path bytes as the file could hold at most: a block that big
  // is mapped, and only what the entries fill of it takes memory.
  if (!header_only) {
    const size_t bytes = static_cast<size_t>(st.st_size);
    out->entries.Reserve(bytes / 14 + 1, same_paths ? 0 : bytes);
  }
  Parser parser(out, header_only, header_only ? nullptr : same_paths);
  std::unique_ptr<char[]> block(new char[kBlock]);
  std::string carry;  // a line cut by the block's end
  off_t offset = 0;
  while (true) {
    if (cancel && cancel->load(std::memory_order_relaxed)) {
      if (error) *error = std::strerror(ECANCELED);
      return StateRead::kUnreadable;
    }
    const ssize_t got = fs.PRead(fd.get(), block.get(), kBlock, offset);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (error) *error = std::strerror(errno);
      return StateRead::kUnreadable;
    }
    if (got == 0) break;
    offset += got;
    std::string_view text(block.get(), static_cast<size_t>(got));
    if (!carry.empty()) {
      const size_t nl = text.find('\n');
      if (nl == std::string_view::npos) {
        carry.append(text);
        continue;
      }
      carry.append(text.substr(0, nl));
      text.remove_prefix(nl + 1);
      if (!parser.Line(carry)) return parser.Result(error);
      carry.clear();
    }
    size_t used = 0;
    if (!FeedLines(parser, text, &used)) return parser.Result(error);
    carry.assign(text.substr(used));
  }
  if (!carry.empty()) {
    if (error) *error = "Die Datei bricht vor ihrem Ende ab.";
    return StateRead::kUnreadable;
  }
  return parser.Result(error);
}

namespace {

void AppendHeader(const StateHeader& h, size_t count, std::string& out) {
  (void)count;
  out += kMagic;
  out += ' ' + std::to_string(kStateFormat) + '\n';
  out += "pair " + h.pair_id + '\n';
  out += "generation " + h.generation + '\n';
  out += std::string("side ") + h.side + '\n';
  out += "root " + EscapeField(h.root) + '\n';
  out += "identity " + IdentityText(h.identity) + '\n';
  out += "peer " + IdentityText(h.peer) + '\n';
  out += "shift " + std::to_string(h.shift_seconds) + '\n';
  out += std::string("links ") + (h.follow_links ? "follow" : "keep") + '\n';
  out += std::string("inodes ") + (h.stable_inodes ? "1" : "0") + '\n';
}

template <typename T>
void AppendNumber(T value, std::string& out) {
  char buf[24];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, ec == std::errc() ? static_cast<size_t>(end - buf) : 0);
}

void AppendEntry(const StateEntries& entries, size_t i, std::string& out) {
  const StateEntry& e = entries[i];
  out += "e ";
  out += e.kind == StateKind::kLink ? 'l' : 'f';
  out += ' ';
  AppendNumber(e.size, out);
  out += ' ';
  AppendNumber(e.mtime_sec, out);
  out += ' ';
  AppendNumber(e.mtime_nsec, out);
  out += ' ';
  if (e.ino == 0)
    out += '-';
  else
    AppendNumber(e.ino, out);
  out += ' ';
  out += EscapeField(entries.Path(i));
  out += '\n';
}

int WriteAll(FileSystem& fs, int fd, std::string_view text, off_t* offset) {
  while (!text.empty()) {
    const ssize_t put = fs.PWrite(fd, text.data(), text.size(), *offset);
    if (put < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (put == 0) {
      errno = EIO;
      return -1;
    }
    text.remove_prefix(static_cast<size_t>(put));
    *offset += put;
  }
  return 0;
}

}  // namespace

std::string StateText(const SideState& state) {
  std::string out;
  AppendHeader(state.header, state.entries.size(), out);
  for (size_t i = 0; i < state.entries.size(); ++i) AppendEntry(state.entries, i, out);
  out += "end " + std::to_string(state.entries.size()) + '\n';
  return out;
}

int WriteStateFile(FileSystem& fs, int dir, const char* name, const SideState& state) {
  Fd fd(fs, fs.OpenAt(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (fd.get() < 0) return -1;
  int failed = 0;
  std::string buffer;
  buffer.reserve(kBlock + 8192);
  AppendHeader(state.header, state.entries.size(), buffer);
  off_t offset = 0;
  for (size_t i = 0; i < state.entries.size() && failed == 0; ++i) {
    AppendEntry(state.entries, i, buffer);
    if (buffer.size() >= kBlock) {
      if (WriteAll(fs, fd.get(), buffer, &offset) != 0) failed = errno;
      buffer.clear();
    }
  }
  buffer += "end " + std::to_string(state.entries.size()) + '\n';
  if (failed == 0 && WriteAll(fs, fd.get(), buffer, &offset) != 0) failed = errno;
  if (failed == 0 && fs.SyncData(fd.get()) != 0) failed = errno;
  if (fd.Close() != 0 && failed == 0) failed = errno;
  if (failed != 0) {
    fs.UnlinkAt(dir, name, 0);
    errno = failed;
    return -1;
  }
  return 0;
}

}  // namespace tavrik
