#include "core/rules/rule_set.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <cassert>
#include <unordered_map>

#include "core/rules/glob.h"

namespace tavrik {

namespace {

// One step of an anchored pattern: a name's pattern, or any number of folders.
struct Element {
  bool any_depth = false;
  NameGlob glob;
};
using Elements = std::vector<Element>;

// One way an anchored rule can match, as a sequence of steps down the tree.
struct PathPattern {
  uint32_t rule = 0;
  bool folders_only = false;
  Elements elements;
  // Bits of the positions from which one more name can complete a match.
  std::vector<uint64_t> finishing;
  size_t words = 0;
};

struct Rule {
  int line = 0;  // index into the lines
  bool negate = false;
  bool folders_only = false;
  bool never = false;
  bool anchored = false;
  NameGlob name;                   // not anchored
  std::vector<Elements> patterns;  // anchored: the ways it can match
};

// A rule matched against a name at any depth, kept compactly where entries are decided.
struct NameRule {
  uint32_t rule;
  bool folders_only;
  NameGlob glob;
};

// The best rule found so far for each kind of entry; -1 for none.
struct Best {
  int any = -1;
  int folder = -1;
};

struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

bool Bit(const uint64_t* w, size_t p) { return (w[p / 64] >> (p % 64)) & 1U; }
void SetBit(uint64_t* w, size_t p) { w[p / 64] |= uint64_t{1} << (p % 64); }

// Trailing blanks go unless escaped; the backslash before a blank keeps it.
std::string_view TrimTrailingBlanks(std::string_view text) {
  size_t cut = std::string_view::npos;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ' ') {
      if (cut == std::string_view::npos) cut = i;
      continue;
    }
    cut = std::string_view::npos;
    if (text[i] == '\\') ++i;
  }
  return cut == std::string_view::npos ? text : text.substr(0, cut);
}

// The runs of "**" that reach across separators: those before a separator or the end that
// follow a separator, the start, or nothing but plain characters (a leading plain part is
// compared on its own first, so the run then counts as standing at the start).
std::vector<bool> FreeRuns(const GlobTokens& t) {
  const size_t n = t.tokens.size();
  std::vector<bool> free(n, false);
  bool wildcard_before = false;
  for (size_t i = 0; i < n; ++i) {
    const GlobToken& token = t.tokens[i];
    if (token.op == GlobToken::kStar && token.stars >= 2) {
      const bool before_sep = i + 1 == n || t.tokens[i + 1].op == GlobToken::kSep;
      const bool after_sep = i == 0 || t.tokens[i - 1].op == GlobToken::kSep;
      free[i] = before_sep && (after_sep || !wildcard_before);
    }
    if (token.op != GlobToken::kSep && (token.op != GlobToken::kByte || token.escaped))
      wildcard_before = true;
  }
  return free;
}

void AddStep(Elements* elements, Element step) {
  // Two runs of any depth in a row are one.
  if (step.any_depth && !elements->empty() && elements->back().any_depth) return;
  elements->push_back(std::move(step));
}

// Splits the tokens from begin (the start of a name) at the separators into steps, and
// appends every way they can match to out. A free run inside a name before a separator
// ("ab**/c") stands for any text, separators included, or for nothing together with the
// separator, which joins the names on either side ("abc").
void Expand(const GlobTokens& t, const std::vector<bool>& free, size_t begin, Elements elements,
            std::vector<Elements>* out) {
  const size_t n = t.tokens.size();
  while (begin <= n) {
    size_t end = begin;
    while (end < n && t.tokens[end].op != GlobToken::kSep) ++end;
    const bool last = end == n;
    if (end == begin) return;  // an empty name ("a//b") is never there
    if (free[end - 1] && end - begin == 1) {
      // "**" alone: any number of folders; at the end at least one name.
      if (last) AddStep(&elements, {false, NameGlob(t, begin, end)});
      AddStep(&elements, {true, {}});
    } else {
      if (free[end - 1] && !last) {
        GlobTokens joined = t;
        std::vector<bool> joined_free = free;
        joined.tokens.erase(joined.tokens.begin() + static_cast<long>(end) - 1,
                            joined.tokens.begin() + static_cast<long>(end) + 1);
        joined_free.erase(joined_free.begin() + static_cast<long>(end) - 1,
                          joined_free.begin() + static_cast<long>(end) + 1);
        Expand(joined, joined_free, begin, elements, out);
      }
      Element step{false, NameGlob(t, begin, end)};
      if (step.glob.shape() == NameGlob::Shape::kNever) return;
      AddStep(&elements, std::move(step));
      if (free[end - 1]) AddStep(&elements, {true, {}});
    }
    begin = end + 1;
  }
  out->push_back(std::move(elements));
}

// Makes rule from one line; false when the line holds no rule at all.
bool ParseRule(std::string_view text, Rule* rule) {
  if (text.empty() || text[0] == '#') return false;
  text = TrimTrailingBlanks(text);
  if (text.empty()) return false;
  if (text[0] == '!') {
    rule->negate = true;
    text.remove_prefix(1);
  }
  if (!text.empty() && text.back() == '/') {
    rule->folders_only = true;
    text.remove_suffix(1);
  }
  rule->anchored = text.find('/') != std::string_view::npos;
  if (rule->anchored && text[0] == '/') text.remove_prefix(1);
  GlobTokens tokens;
  if (text.empty() || !TokenizeGlob(text, &tokens)) {
    rule->never = true;
    return true;
  }
  if (!rule->anchored) {
    rule->name = NameGlob(tokens, 0, tokens.tokens.size());
    rule->never = rule->name.shape() == NameGlob::Shape::kNever;
    return true;
  }
  Expand(tokens, FreeRuns(tokens), 0, {}, &rule->patterns);
  rule->never = rule->patterns.empty();
  return true;
}

// Positions from which one name completes the match: a name's pattern followed by nothing
// but "any depth", or an "any depth" run with nothing but such runs after it.
void MarkFinishing(PathPattern* pattern) {
  const Elements& e = pattern->elements;
  const size_t k = e.size();
  pattern->words = (k + 1 + 63) / 64;
  pattern->finishing.assign(pattern->words, 0);
  std::vector<bool> free_from(k + 1, true);
  for (size_t p = k; p-- > 0;) free_from[p] = free_from[p + 1] && e[p].any_depth;
  for (size_t p = 0; p < k; ++p) {
    const bool finishes = e[p].any_depth ? free_from[p] : free_from[p + 1];
    if (finishes) SetBit(pattern->finishing.data(), p);
  }
}

bool AnyBefore(const uint64_t* w, size_t k) {
  for (size_t p = 0; p < k; ++p)
    if (Bit(w, p)) return true;
  return false;
}

void CloseOver(const PathPattern& pattern, uint64_t* w) {
  for (size_t p = 0; p < pattern.elements.size(); ++p)
    if (pattern.elements[p].any_depth && Bit(w, p)) SetBit(w, p + 1);
}

}  // namespace

struct RuleSet::Compiled {
  RuleLines lines;
  std::vector<Rule> rules;
  // Rules not anchored: plain names looked up, the others by the first or last byte every
  // match has, so a name meets only the patterns it could match; lists highest rule first.
  std::unordered_map<std::string, Best, StringHash, std::equal_to<>> literals;
  std::bitset<256> literal_first_bytes;
  std::array<std::vector<NameRule>, 256> by_last_byte;
  std::array<std::vector<NameRule>, 256> by_first_byte;
  std::vector<NameRule> other_names;
  bool any_rule = false;
  // Every way the anchored rules can match, highest rule first, and their state at the
  // root as FolderRules holds it.
  std::vector<PathPattern> paths;
  std::vector<uint32_t> root_alive;
  std::vector<uint32_t> root_offsets;
  std::vector<uint64_t> root_words;
  std::vector<uint32_t> root_finishing;
};

RuleSet::RuleSet() : c_(std::make_shared<Compiled>()) {}

RuleSet::RuleSet(RuleLines lines) {
  auto c = std::make_shared<Compiled>();
  c->lines = std::move(lines);
  for (size_t i = 0; i < c->lines.size(); ++i) {
    Rule rule;
    rule.line = static_cast<int>(i);
    if (!ParseRule(c->lines[i].text, &rule)) continue;
    c->rules.push_back(std::move(rule));
  }
  for (size_t r = c->rules.size(); r-- > 0;) {
    const Rule& rule = c->rules[r];
    if (rule.never) continue;
    c->any_rule = true;
    const auto index = static_cast<uint32_t>(r);
    if (rule.anchored) {
      for (const Elements& elements : rule.patterns) {
        PathPattern path{index, rule.folders_only, elements, {}, 0};
        MarkFinishing(&path);
        c->root_alive.push_back(static_cast<uint32_t>(c->paths.size()));
        c->root_offsets.push_back(static_cast<uint32_t>(c->root_words.size()));
        c->root_words.resize(c->root_words.size() + path.words, 0);
        uint64_t* w = c->root_words.data() + c->root_offsets.back();
        SetBit(w, 0);
        CloseOver(path, w);
        c->paths.push_back(std::move(path));
      }
      continue;
    }
    const std::string& head = rule.name.head();
    const std::string& tail = rule.name.tail();
    if (rule.name.shape() == NameGlob::Shape::kLiteral) {
      Best& best = c->literals[head];
      int& slot = rule.folders_only ? best.folder : best.any;
      slot = std::max(slot, static_cast<int>(r));
      c->literal_first_bytes.set(static_cast<unsigned char>(head[0]));
      continue;
    }
    NameRule entry{index, rule.folders_only, rule.name};
    if (!head.empty())
      c->by_first_byte[static_cast<unsigned char>(head[0])].push_back(std::move(entry));
    else if (!tail.empty())
      c->by_last_byte[static_cast<unsigned char>(tail.back())].push_back(std::move(entry));
    else
      c->other_names.push_back(std::move(entry));
  }
  FolderRules root(c.get());
  root.alive_ = c->root_alive;
  root.offsets_ = c->root_offsets;
  root.words_ = c->root_words;
  root.NoteFinishing();
  c->root_finishing = std::move(root.finishing_);
  c_ = std::move(c);
}

bool RuleSet::empty() const { return !c_->any_rule; }

int RuleSet::RuleCount() const { return static_cast<int>(c_->rules.size()); }

const RuleLine& RuleSet::LineOf(int rule) const {
  return c_->lines[static_cast<size_t>(c_->rules[static_cast<size_t>(rule)].line)];
}

bool RuleSet::Negated(int rule) const { return c_->rules[static_cast<size_t>(rule)].negate; }

bool RuleSet::NeverMatches(int rule) const { return c_->rules[static_cast<size_t>(rule)].never; }

FolderRules RuleSet::ForFolder(std::string_view rel_dir) const {
  FolderRules rules(c_.get());
  rules.alive_ = c_->root_alive;
  rules.offsets_ = c_->root_offsets;
  rules.words_ = c_->root_words;
  rules.finishing_ = c_->root_finishing;
  while (!rules.alive_.empty() && !rel_dir.empty()) {
    const size_t cut = rel_dir.find('/');
    rules = rules.Enter(rel_dir.substr(0, cut));
    rel_dir = cut == std::string_view::npos ? std::string_view() : rel_dir.substr(cut + 1);
  }
  return rules;
}

namespace {

// The highest rule of a list (highest first) above best that matches name.
int BestOf(const std::vector<NameRule>& list, std::string_view name, bool folder, int best) {
  for (const NameRule& entry : list) {
    if (static_cast<int>(entry.rule) <= best) break;
    if (entry.folders_only && !folder) continue;
    if (entry.glob.Matches(name)) return static_cast<int>(entry.rule);
  }
  return best;
}

}  // namespace

int FolderRules::Decide(std::string_view name, bool folder) const {
  const RuleSet::Compiled& c = *c_;
  int best = -1;
  if (name.empty()) return best;
  const auto first = static_cast<unsigned char>(name.front());
  if (c.literal_first_bytes.test(first)) {
    auto it = c.literals.find(name);
    if (it != c.literals.end())
      best = folder ? std::max(it->second.any, it->second.folder) : it->second.any;
  }
  best = BestOf(c.by_last_byte[static_cast<unsigned char>(name.back())], name, folder, best);
  best = BestOf(c.by_first_byte[first], name, folder, best);
  best = BestOf(c.other_names, name, folder, best);
  return finishing_.empty() ? best : DecidePath(name, folder, best);
}

int FolderRules::DecidePath(std::string_view name, bool folder, int best) const {
  for (const uint32_t i : finishing_) {
    const PathPattern& path = c_->paths[alive_[i]];
    const int r = static_cast<int>(path.rule);
    if (r <= best) break;
    if (path.folders_only && !folder) continue;
    const uint64_t* w = words_.data() + offsets_[i];
    for (size_t word = 0; word < path.words; ++word) {
      uint64_t bits = w[word] & path.finishing[word];
      while (bits != 0) {
        const size_t p = word * 64 + static_cast<size_t>(__builtin_ctzll(bits));
        bits &= bits - 1;
        const Element& e = path.elements[p];
        if (e.any_depth || e.glob.Matches(name)) return r;
      }
    }
  }
  return best;
}

bool FolderRules::Excludes(std::string_view name, bool folder) const {
  const int rule = Decide(name, folder);
  return rule >= 0 && !c_->rules[static_cast<size_t>(rule)].negate;
}

FolderRules FolderRules::Enter(std::string_view name) const {
  FolderRules next(c_);
  next.alive_.reserve(alive_.size());
  next.offsets_.reserve(alive_.size());
  next.words_.reserve(words_.size());
  for (size_t i = 0; i < alive_.size(); ++i) {
    const PathPattern& path = c_->paths[alive_[i]];
    const uint64_t* from = words_.data() + offsets_[i];
    const size_t offset = next.words_.size();
    next.words_.resize(offset + path.words, 0);
    uint64_t* w = next.words_.data() + offset;
    bool any = false;
    const size_t k = path.elements.size();
    for (size_t p = 0; p < k; ++p) {
      if (!Bit(from, p)) continue;
      const Element& e = path.elements[p];
      if (e.any_depth) {
        SetBit(w, p);
        any = true;
      } else if (e.glob.Matches(name)) {
        SetBit(w, p + 1);
        any = true;
      }
    }
    if (any) CloseOver(path, w);
    // With only the end reached the folder itself matched, and nothing below it can.
    if (!any || !AnyBefore(w, k)) {
      next.words_.resize(offset);
      continue;
    }
    next.alive_.push_back(alive_[i]);
    next.offsets_.push_back(static_cast<uint32_t>(offset));
  }
  next.NoteFinishing();
  return next;
}

void FolderRules::NoteFinishing() {
  finishing_.clear();
  for (size_t i = 0; i < alive_.size(); ++i) {
    const PathPattern& path = c_->paths[alive_[i]];
    const uint64_t* w = words_.data() + offsets_[i];
    for (size_t word = 0; word < path.words; ++word) {
      if ((w[word] & path.finishing[word]) == 0) continue;
      finishing_.push_back(static_cast<uint32_t>(i));
      break;
    }
  }
}

const FolderRules& FolderRulesChain::For(const RuleSet& rules, std::string_view rel_dir) {
  if (rules_.c_ != rules.c_ || states_.empty()) {
    rules_ = rules;
    names_.clear();
    states_.clear();
    states_.push_back(rules.ForFolder({}));
  }
  size_t depth = 0;
  while (!rel_dir.empty()) {
    const size_t cut = rel_dir.find('/');
    const std::string_view name = rel_dir.substr(0, cut);
    rel_dir = cut == std::string_view::npos ? std::string_view() : rel_dir.substr(cut + 1);
    if (depth < names_.size() && names_[depth] == name) {
      ++depth;
      continue;
    }
    names_.resize(depth);
    states_.erase(states_.begin() + static_cast<long>(depth) + 1, states_.end());
    names_.emplace_back(name);
    states_.push_back(states_.back().Enter(name));
    ++depth;
  }
  return states_[depth];
}

RuleVerdict ExplainPath(const RuleSet& rules, std::string_view rel_path, bool folder) {
  RuleVerdict verdict;
  FolderRules here = rules.ForFolder({});
  size_t start = 0;
  for (;;) {
    const size_t cut = rel_path.find('/', start);
    const bool last = cut == std::string_view::npos;
    const std::string_view name =
        rel_path.substr(start, last ? std::string_view::npos : cut - start);
    const int rule = here.Decide(name, last ? folder : true);
    if (last) {
      verdict.rule = rule;
      verdict.excluded = rule >= 0 && !rules.Negated(rule);
      return verdict;
    }
    if (rule >= 0 && !rules.Negated(rule)) {
      verdict.rule = rule;
      verdict.excluded = true;
      verdict.folder = std::string(rel_path.substr(0, cut));
      return verdict;
    }
    here = here.Enter(name);
    start = cut + 1;
  }
}

}  // namespace tavrik
