// Exclusion rules in the syntax of .gitignore files, matched against paths relative to the
// compared folders as the scan walks down:
//  - blank lines and lines beginning with "#" hold no rule; trailing blanks are dropped
//    unless a backslash protects them; "\#" and "\!" begin a rule with "#" or "!";
//  - "!" re-includes what an earlier rule excluded, except below an excluded folder (the
//    scan never enters one);
//  - a rule with a "/" at its start or inside is anchored at the root, one without matches
//    a name at any depth; a trailing "/" makes it match folders only;
//  - "**/" at the start and "/**/" inside match any number of folders (none included), a
//    trailing "/**" everything inside; a "**" that ends a name's pattern ("a**/b") runs on
//    across separators; other runs of "*" are one "*" (see glob.h for the wildcards);
//  - the last rule that matches decides; a rule that cannot match (an unclosed "[") matches
//    nothing and is no error.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

// One line of a rule source, kept with where it came from, so a decision can be explained.
struct RuleLine {
  std::string text;
  std::string origin;  // the file's path, or "--exclude" and the like for the command line
  int line = 0;        // from 1 in its file; on the command line the rule's number there
};
using RuleLines = std::vector<RuleLine>;

class FolderRules;

// Rules compiled once for many lookups. Copies share the compiled form; every const member
// may be used from several threads at once.
class RuleSet {
 public:
  struct Compiled;

  RuleSet();
  explicit RuleSet(RuleLines lines);

  // True when no line holds a rule: the scan then skips matching altogether.
  bool empty() const;
  // The rules in force for the entries of a folder; rel_dir is its path below the root
  // without separators at either end, empty for the root itself.
  FolderRules ForFolder(std::string_view rel_dir) const;

  int RuleCount() const;
  const RuleLine& LineOf(int rule) const;
  bool Negated(int rule) const;
  // The rule can never match anything, whatever the tree holds.
  bool NeverMatches(int rule) const;

 private:
  friend class FolderRulesChain;
  std::shared_ptr<const Compiled> c_;
};

// The rules as they stand inside one folder: those anchored further up have already
// consumed the folder's path, so an entry is decided from its name alone.
class FolderRules {
 public:
  // The rule that decides the entry name of this folder (the last one that matches), or -1.
  int Decide(std::string_view name, bool folder) const;
  bool Excludes(std::string_view name, bool folder) const;
  // The rules for the subfolder name of this folder.
  FolderRules Enter(std::string_view name) const;

 private:
  friend class RuleSet;
  friend class FolderRulesChain;
  explicit FolderRules(const RuleSet::Compiled* c) : c_(c) {}
  int DecidePath(std::string_view name, bool folder, int best) const;
  void NoteFinishing();

  const RuleSet::Compiled* c_;
  // The ways of anchored rules that can still match below here, highest rule first, and
  // for each the positions in its pattern reached so far (one bit per position).
  std::vector<uint32_t> alive_;
  std::vector<uint32_t> offsets_;
  std::vector<uint64_t> words_;
  // Those of them that one more name can complete, so an entry meets only these.
  std::vector<uint32_t> finishing_;
};

// The rules of the folders on the path looked up last, so the next folder of a depth-first
// walk, which mostly shares all names but its last, costs one step down. One per thread.
class FolderRulesChain {
 public:
  // The same as rules.ForFolder(rel_dir); valid until the next call.
  const FolderRules& For(const RuleSet& rules, std::string_view rel_dir);

 private:
  RuleSet rules_;                    // kept, so the compiled rules outlive the chain's states
  std::vector<std::string> names_;   // the path looked up last, name by name
  std::vector<FolderRules> states_;  // states_[i]: after names_[0, i); states_[0] the root
};

// What decides a path (relative to the roots, "/" between its names): the rule and, when
// a folder above it is excluded, that folder. rule is -1 when no rule decides.
struct RuleVerdict {
  int rule = -1;
  bool excluded = false;
  std::string folder;  // the excluded folder above the path; empty when the path itself
};
RuleVerdict ExplainPath(const RuleSet& rules, std::string_view rel_path, bool folder);

}  // namespace tavrik
