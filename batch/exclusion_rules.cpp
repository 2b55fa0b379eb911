#include "batch/exclusion_rules.h"

#include <algorithm>

#include "batch/ansi_text.h"
#include "core/fs/error_text.h"
#include "core/fs/user_config.h"
#include "core/list/host.h"
#include "core/rules/rule_file.h"

namespace tavrik {

namespace {

bool TakeValue(std::string_view arg, std::string_view name, std::string* value) {
  if (arg.substr(0, name.size()) != name) return false;
  *value = std::string(arg.substr(name.size()));
  return true;
}

void Install(SharedState& state, const RuleLines& control) {
  RuleLines all = state.user_rules;
  all.insert(all.end(), control.begin(), control.end());
  all.insert(all.end(), state.command_rules.begin(), state.command_rules.end());
  state.rules = RuleSet(std::move(all));
}

}  // namespace

bool TakeRuleOption(std::string_view arg, int argument, RuleOptions* options) {
  if (arg == "--no-user-rules") return options->no_user_rules = true;
  std::string value;
  RuleOptions::Source::Kind kind;
  if (TakeValue(arg, "--exclude=", &value)) {
    kind = RuleOptions::Source::kExclude;
  } else if (TakeValue(arg, "--include=", &value)) {
    kind = RuleOptions::Source::kInclude;
  } else if (TakeValue(arg, "--exclude-from=", &value)) {
    kind = RuleOptions::Source::kExcludeFrom;
  } else {
    return false;
  }
  options->sources.push_back({kind, std::move(value), argument});
  return true;
}

FsResult LoadRules(FileSystem& fs, const RuleOptions& options, SharedState& state) {
  RuleLines user;
  const std::string user_file = options.no_user_rules ? "" : UserConfigFile("ignore");
  if (!user_file.empty() && !UserFileUnreachable(fs, user_file)) {
    Result<RuleLines> read = ReadRuleFile(fs, user_file, true);
    if (!read.ok()) return read.error();
    user = std::move(read.value());
  }
  RuleLines command;
  for (const RuleOptions::Source& source : options.sources) {
    switch (source.kind) {
      case RuleOptions::Source::kExclude:
        command.push_back({source.value, kCommandLineOrigin, source.argument});
        break;
      case RuleOptions::Source::kInclude:
        command.push_back({"!" + source.value, kCommandLineOrigin, source.argument});
        break;
      case RuleOptions::Source::kExcludeFrom: {
        Result<RuleLines> read = ReadRuleFile(fs, source.value, false);
        if (!read.ok()) return read.error();
        command.insert(command.end(), read.value().begin(), read.value().end());
        break;
      }
    }
  }
  state.user_rules = std::move(user);
  state.command_rules = std::move(command);
  Install(state, {});
  return {};
}

std::string RuleFileSentence(const FsError& error) {
  return "Die Ausschlussdatei '" + error.path + "' kann nicht gelesen werden.";
}

std::string RuleFileProblem(const FsError& error) {
  return RuleFileSentence(error) + kCr + ReasonText(error);
}

RuleLines ReadBatchRules(IniReader& reader, const std::string& name) {
  RuleLines rules;
  for (IniReader::NumberedLine& line : reader.SectionLines("Ausschluss", name)) {
    std::string_view text = line.text;
    text = text.substr(0, text.find('\0'));
    // Indenting is the INI habit; a leading blank of a rule is written "\ ".
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos || text[first] == ';') continue;
    text.remove_prefix(first);
    const size_t eq = text.find('=');
    if (eq != std::string_view::npos) {
      text.remove_prefix(eq + 1);
      text.remove_prefix(std::min(text.size(), text.find_first_not_of(" \t")));
    }
    rules.push_back({AsUtf8(text), name, line.number});
  }
  return rules;
}

void SetControlRules(SharedState& state, RuleLines control) {
  if (control.empty()) return;
  Install(state, control);
}

}  // namespace tavrik
