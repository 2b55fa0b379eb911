// git itself decides what the exclusion rules leave out: generated trees and generated rule
// files, and the files the scan lists must be exactly those git leaves unignored.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/rules/rule_file.h"
#include "core/scan/scan.h"
#include "support/session.h"
#include "support/temp_tree.h"

namespace tavrik {
namespace {

using testing::Session;
using testing::TempTree;

// Blanks, brackets, umlauts, wildcard and comment characters, names that differ in case
// only, and dot-led names the scan skips whatever the rules say.
const std::vector<std::string> kStems = {
    "src",   "build",  "node_modules", "docs",  "a",      "b",        "ab",          "abc",
    "Foto",  "foto",   "x y",          "[x]",   "a]b",    "ä",        "Ärger",       "straße",
    "#note", "!bang",  "trail ",       "q?",    "a*b",    "back\\sl", "lib",         "test",
    "a-b",   "Thumbs", "desktop",      "cache", ".cache", ".hidden",  "__pycache__", "ÄÖÜ"};
const std::vector<std::string> kExtensions = {"",     "",  ".c",      ".o",  ".txt", ".jpg",
                                              ".JPG", "~", ".tar.gz", ".db", ".ini"};

struct Tree {
  std::vector<std::string> files;
  std::vector<std::string> folders;
};

std::string Pick(std::mt19937& rng, const std::vector<std::string>& from) {
  return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(rng)];
}

bool Chance(std::mt19937& rng, int percent) {
  return std::uniform_int_distribution<int>(0, 99)(rng) < percent;
}

void GrowTree(std::mt19937& rng, const std::string& folder, int depth, Tree* tree) {
  const int files = std::uniform_int_distribution<int>(1, 6)(rng);
  const int folders = depth >= 4 ? 0 : std::uniform_int_distribution<int>(0, 3)(rng);
  std::set<std::string> taken;
  for (int i = 0; i < files + folders; ++i) {
    const bool is_folder = i >= files;
    std::string name = Pick(rng, kStems);
    if (!is_folder || Chance(rng, 20)) name += Pick(rng, kExtensions);
    if (!taken.insert(name).second) continue;
    const std::string path = folder.empty() ? name : folder + "/" + name;
    if (is_folder) {
      tree->folders.push_back(path);
      GrowTree(rng, path, depth + 1, tree);
    } else {
      tree->files.push_back(path);
    }
  }
}

// The pattern text that stands for one byte of a name, literally or as a wildcard.
std::string PatternFor(std::mt19937& rng, unsigned char c, bool literal) {
  const std::string self(1, static_cast<char>(c));
  const std::string escaped =
      std::string("\\*?[ ").find(static_cast<char>(c)) != std::string::npos ? "\\" + self : self;
  if (literal || !Chance(rng, 25)) return escaped;
  switch (std::uniform_int_distribution<int>(0, 5)(rng)) {
    case 0:
      return "?";
    case 1:
      return "[" + escaped + "Z]";
    case 2:
      if (c >= 'a' && c <= 'y') return "[" + std::string(1, static_cast<char>(c - 1)) + "-z]";
      return "[!/]";
    case 3:
      if (std::isalpha(c)) return "[[:alpha:]]";
      return "[^a]";
    case 4:
      return "[!" + escaped + "]";  // never matches c: a rule that misses
    default:
      return "*";
  }
}

// A name's pattern: literal, mutated byte by byte, or cut into a prefix or suffix.
std::string NamePattern(std::mt19937& rng, const std::string& name, bool literal) {
  std::string out;
  if (!literal && name.size() > 2 && Chance(rng, 25)) {
    const size_t cut = std::uniform_int_distribution<size_t>(1, name.size() - 1)(rng);
    if (Chance(rng, 50)) {
      out = "*";
      for (size_t i = cut; i < name.size(); ++i)
        out += PatternFor(rng, static_cast<unsigned char>(name[i]), true);
    } else {
      for (size_t i = 0; i < cut; ++i)
        out += PatternFor(rng, static_cast<unsigned char>(name[i]), true);
      out += Chance(rng, 70) ? "*" : "**";
    }
    return out;
  }
  for (unsigned char c : name) out += PatternFor(rng, c, literal);
  // A leading "#" or "!" would make a comment or a negation.
  if (!out.empty() && (out[0] == '#' || out[0] == '!')) out = "\\" + out;
  return out;
}

std::vector<std::string> Split(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t cut = path.find('/', start);
    parts.push_back(path.substr(start, cut - start));
    if (cut == std::string::npos) return parts;
    start = cut + 1;
  }
}

// One rule aimed at a path of the tree, in one of the forms the syntax has.
std::string MakeRule(std::mt19937& rng, const Tree& tree) {
  const bool folder = !tree.folders.empty() && Chance(rng, 45);
  const std::string target = Pick(rng, folder ? tree.folders : tree.files);
  const std::vector<std::string> parts = Split(target);
  const bool literal = Chance(rng, 35);
  std::string rule;
  switch (std::uniform_int_distribution<int>(0, 7)(rng)) {
    case 0:
    case 1:
      rule = NamePattern(rng, parts.back(), literal);  // a name at any depth
      break;
    case 2: {  // anchored at the root, every name written out
      for (size_t i = 0; i < parts.size(); ++i)
        rule += (i ? "/" : (Chance(rng, 50) ? "/" : "")) + NamePattern(rng, parts[i], literal);
      if (parts.size() == 1 && rule[0] != '/') rule = "/" + rule;
      break;
    }
    case 3:  // "**/" in front of the last names
      rule = "**/";
      for (size_t i = parts.size() > 1 ? parts.size() - 2 : 0; i < parts.size(); ++i)
        rule += (rule.size() > 3 ? "/" : "") + NamePattern(rng, parts[i], literal);
      break;
    case 4:  // everything inside a folder
      rule = NamePattern(rng, parts.front(), literal) + "/**";
      if (Chance(rng, 30)) rule += "/";
      break;
    case 5:  // "/**/" in the middle
      rule = NamePattern(rng, parts.front(), literal) + "/**/" +
             NamePattern(rng, parts.back(), literal);
      break;
    case 6: {  // "**" after a plain start of a path runs on across separators
      const size_t cut = std::uniform_int_distribution<size_t>(1, target.size())(rng);
      for (size_t i = 0; i < cut; ++i)
        rule += target[i] == '/' ? std::string("/")
                                 : PatternFor(rng, static_cast<unsigned char>(target[i]), true);
      rule += "**";
      if (Chance(rng, 60)) rule += "/" + NamePattern(rng, parts.back(), literal);
      if (Chance(rng, 30)) rule += "/**";
      if (rule[0] == '#' || rule[0] == '!') rule = "\\" + rule;
      break;
    }
    default:  // a wildcard for a whole name inside a path
      for (size_t i = 0; i < parts.size(); ++i)
        rule += (i ? "/" : "") +
                (Chance(rng, 40) ? std::string("*") : NamePattern(rng, parts[i], literal));
      break;
  }
  if (Chance(rng, 30)) rule += "/";  // folders only
  if (Chance(rng, 30)) rule = "!" + rule;
  if (Chance(rng, 10)) rule += "  ";  // trailing blanks are dropped
  if (Chance(rng, 5)) rule += "\r";   // a CR LF line end
  return rule;
}

// Lines that hold no rule or a rule that can never match.
std::string OddLine(std::mt19937& rng) {
  const std::vector<std::string> odd = {"",
                                        "# a comment",
                                        "   ",
                                        "[abc",
                                        "x[[:nope:]]",
                                        "tail\\",
                                        "/",
                                        "!",
                                        "a//b",
                                        "\\#note",
                                        "\\!bang",
                                        "trail\\ ",
                                        "trail\\ \\ ",
                                        "**",
                                        "*/",
                                        "!*/",
                                        "[]a]",
                                        "[z-a]*",
                                        "a[b/c]*",
                                        "[a-c-e]*",
                                        "*[[:space:]]*",
                                        "[!]a]*",
                                        "\\/a",
                                        "src\\/b*",
                                        "[[:alpha:]-z]*",
                                        "**/*[[:upper:]]*/"};
  return Pick(rng, odd);
}

struct Command {
  int status = -1;
  std::string out;
};

Command Shell(const std::string& command) {
  Command result;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[65536];
  size_t got = 0;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, got);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

bool HasDotLedName(const std::string& path) {
  for (const std::string& part : Split(path))
    if (!part.empty() && part[0] == '.') return true;
  return false;
}

// What git leaves unignored, without names the scan skips anyway.
std::set<std::string> GitListing(const std::string& repo, const std::string& home) {
  // No user or system configuration may add rules of its own.
  const std::string env = "HOME='" + home + "' XDG_CONFIG_HOME='" + home +
                          "' GIT_CONFIG_NOSYSTEM=1 GIT_CONFIG_GLOBAL=/dev/null ";
  const Command ls = Shell(env + "git -C '" + repo +
                           "' -c core.ignorecase=false -c core.quotepath=off ls-files --others "
                           "--exclude-standard -z");
  EXPECT_EQ(ls.status, 0);
  std::set<std::string> files;
  size_t start = 0;
  while (start < ls.out.size()) {
    const size_t end = ls.out.find('\0', start);
    const std::string path = ls.out.substr(start, end - start);
    if (!HasDotLedName(path)) files.insert(path);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return files;
}

std::set<std::string> TavrikListing(const std::string& repo, const RuleSet& rules) {
  Session s;
  s.state.rules = rules;
  s.state.file_table.Clear(repo);
  ScanFolder(s.ctx, s.ctx.LeftFs(), repo);
  std::set<std::string> files;
  for (int i = 1; i <= s.state.file_table.Count(); ++i)
    files.insert(std::string(s.state.file_table.Rest(i)));
  EXPECT_EQ(s.host.boxes.size(), 0u);
  return files;
}

bool GitAvailable() { return Shell("git --version >/dev/null 2>&1").status == 0; }

// Catches any construct of the rule syntax matched otherwise than git matches it: literal
// names, wildcards, sets and classes, escapes, anchoring, folders only, "**" in every
// position, negation (and its limit below an excluded folder), comments and blanks.
TEST(RulesOracleTest, ScanListsExactlyWhatGitLeavesUnignored) {
  if (!GitAvailable()) GTEST_SKIP() << "git is not installed (scripts/install-deps.sh adds it)";
  TempTree home;
  long long combinations = 0;
  long long files_seen = 0;
  int disagreements = 0;
  int rounds = 0;
  // TAVRIK_ORACLE_ROUNDS asks for a longer search than the suite's.
  const char* wanted = std::getenv("TAVRIK_ORACLE_ROUNDS");
  const unsigned last_seed = wanted ? static_cast<unsigned>(std::atoi(wanted)) : 60;
  for (unsigned seed = 1; seed <= last_seed; ++seed) {
    std::mt19937 rng(seed);
    TempTree repo;
    ASSERT_EQ(Shell("git init -q '" + repo.Root() + "' 2>&1").status, 0);
    Tree tree;
    GrowTree(rng, "", 0, &tree);
    for (const std::string& folder : tree.folders) repo.Mkdir(folder);
    for (const std::string& file : tree.files) repo.Write(file, "x");
    // A few single-rule files, so every rule is also seen without others that hide it.
    const int count = seed % 4 == 0 ? 1 : std::uniform_int_distribution<int>(5, 60)(rng);
    std::string text;
    for (int i = 0; i < count; ++i) {
      text += Chance(rng, 12) ? OddLine(rng) : MakeRule(rng, tree);
      text += "\n";
    }
    { std::ofstream(repo.Path(".git/info/exclude"), std::ios::binary) << text; }
    Result<RuleLines> lines = ReadRuleFile(RealFileSystem(), repo.Path(".git/info/exclude"), false);
    ASSERT_TRUE(lines.ok());
    const RuleSet rules(std::move(lines.value()));
    const std::set<std::string> git = GitListing(repo.Root(), home.Root());
    const std::set<std::string> ours = TavrikListing(repo.Root(), rules);
    ++rounds;
    files_seen += static_cast<long long>(tree.files.size());
    combinations += static_cast<long long>(tree.files.size() + tree.folders.size()) * count;
    std::vector<std::string> only_git;
    std::vector<std::string> only_ours;
    std::set_difference(git.begin(), git.end(), ours.begin(), ours.end(),
                        std::back_inserter(only_git));
    std::set_difference(ours.begin(), ours.end(), git.begin(), git.end(),
                        std::back_inserter(only_ours));
    disagreements += static_cast<int>(only_git.size() + only_ours.size());
    if (!only_git.empty() || !only_ours.empty()) {
      ADD_FAILURE() << "seed " << seed << ": git lists " << only_git.size()
                    << " files the scan left out, the scan " << only_ours.size()
                    << " files git ignores; first: "
                    << (only_git.empty() ? "(scan) " + only_ours[0] : "(git) " + only_git[0])
                    << "\nrules:\n"
                    << text;
    }
  }
  std::printf(
      "rules oracle: %d rounds, %lld files, %lld path/rule combinations, %d disagreements\n",
      rounds, files_seen, combinations, disagreements);
  RecordProperty("combinations", std::to_string(combinations));
  RecordProperty("disagreements", disagreements);
  EXPECT_GE(combinations, 20000);
  EXPECT_EQ(disagreements, 0);
}

// The corners of the syntax, each rule file on its own against one tree, so no other rule
// hides a difference: brackets and classes, escapes and blanks, "**" in every position.
const std::vector<std::string> kCornerPaths = {
    "foo",       "foo ",   "foo  ",     "foo\\",      "foo\t",      "#x",     "!x",       "#a/b",
    "#ax/y/b",   "#ab",    "x/a",       "x/b",        "x/]",        "x/[",    "x/\\",     "x/-",
    "x/z",       "x/m",    "x/:",       "x/1",        "x/\xC3\xA4", "x/ab/c", "x/ab/d/e", "x/ac",
    "x/abc",     "x/abcd", "x/abq/r/c", "x/cz",       "x/a\\a",     "x/ a",   "abc",      "abx/c",
    "abd/e/c",   "abxc",   "axb/c",     "axbq/c",     "axbq/r/c",   "axbc",   "a[",       "a]b",
    "acd",       "ab/c/d", "abx/cy/d",  "abx/cy/z/d", "abx/cd",     "abcq/d", "q/a/b",    "q/a/x/b",
    "q/a/x/y/b", "q/ab",   "q/ayb",     "foox",       "d/xfoo",     "d/foo",  "b/c",      "xb/c",
    "yb/c"};
const std::vector<std::string> kCornerRules = {"a[/]b",
                                               "a[!x]b",
                                               "**foo",
                                               "q/a/**b",
                                               "q/a**/b",
                                               "**",
                                               "/**",
                                               "**/",
                                               "q/a/***/b",
                                               "x/a**b",
                                               "x/a**",
                                               "x/**a",
                                               "**b/c",
                                               "x**/c",
                                               "x/**/",
                                               "a[b/c]d",
                                               "a[",
                                               "x/[[:alpha:]]",
                                               "x/[[:foo:]]",
                                               "x/[]a]",
                                               "x/[!]a]",
                                               "x/[z-a]",
                                               "x/[a-]",
                                               "foo\\",
                                               "foo\\ ",
                                               "foo\\  ",
                                               "foo  ",
                                               "foo\t",
                                               "\\#x",
                                               "\\!x",
                                               "x/[\\]]",
                                               "x/[a\\-c]",
                                               "x/[^a]",
                                               "x/[]",
                                               "x/[]]",
                                               "x/\\a",
                                               "foo\\\\ ",
                                               "/",
                                               "//",
                                               "x//b",
                                               "!",
                                               "\\",
                                               "!!x",
                                               "*/",
                                               "x/",
                                               "x\\/a",
                                               "x/ab\\/",
                                               "x/[[:alpha]",
                                               "x/[[:alpha]]",
                                               "x/[[:]",
                                               "x/[a[:]",
                                               "x/[[:alpha:]-z]",
                                               "x/[a-[:digit:]]",
                                               "x/[--0]",
                                               "x/[\\a-\\c]",
                                               "x/[a-\\]",
                                               "x/[!a-c]",
                                               "ab**/c",
                                               "x/ab**/c*",
                                               "a?b**/c",
                                               "ab**/c**/d",
                                               "\\#a**/b",
                                               "x/a\\\\**/c",
                                               "x/[[::]]",
                                               "x/[[:space:]]",
                                               "#a",
                                               " a",
                                               "x/\\ a",
                                               "x/a**\n!x/ab/",
                                               "abx/**\n!abx/cy/",
                                               "*\n!/abc",
                                               "foo\r",
                                               "foo \r",
                                               "\xEF\xBB\xBF"
                                               "foo",
                                               "x/[[:punct:]]",
                                               "x/[[:cntrl:][:digit:]]",
                                               "[a-c-e]*",
                                               "x/**/**/c",
                                               "**/**/c",
                                               "x/ab/**/",
                                               "!x/ab/**",
                                               "x/ab**/**/c"};

// Catches a corner of the syntax matched otherwise than git matches it.
TEST(RulesOracleTest, CornersOfTheSyntaxOneRuleFileAtATime) {
  if (!GitAvailable()) GTEST_SKIP() << "git is not installed (scripts/install-deps.sh adds it)";
  TempTree home;
  TempTree repo;
  ASSERT_EQ(Shell("git init -q '" + repo.Root() + "' 2>&1").status, 0);
  for (const std::string& path : kCornerPaths) repo.Write(path, "x");
  int disagreements = 0;
  for (const std::string& rule : kCornerRules) {
    { std::ofstream(repo.Path(".git/info/exclude"), std::ios::binary) << rule << "\n"; }
    Result<RuleLines> lines = ReadRuleFile(RealFileSystem(), repo.Path(".git/info/exclude"), false);
    ASSERT_TRUE(lines.ok());
    const std::set<std::string> git = GitListing(repo.Root(), home.Root());
    const std::set<std::string> ours =
        TavrikListing(repo.Root(), RuleSet(std::move(lines.value())));
    if (git == ours) continue;
    ++disagreements;
    std::string listing;
    for (const std::string& path : git) listing += " '" + path + "'";
    ADD_FAILURE() << "rule '" << rule << "': git leaves" << listing;
  }
  std::printf("rules oracle, corners: %zu rule files on %zu paths, %d disagreements\n",
              kCornerRules.size(), kCornerPaths.size(), disagreements);
}

}  // namespace
}  // namespace tavrik
