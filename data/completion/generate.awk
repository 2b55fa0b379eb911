# Writes the completion of one program for one shell from options.txt:
#   awk -v program=tavrik-cli -v shell=bash|zsh|fish -f generate.awk options.txt
# Plain POSIX awk (Debian's mawk builds the package).

function fail(message) {
  print "generate.awk: " message > "/dev/stderr"
  failed = 1
  exit 1
}

# Does the comma list `list` hold `item`?
function holds(list, item,    parts, k, count) {
  count = split(list, parts, ",")
  for (k = 1; k <= count; ++k)
    if (parts[k] == item) return 1
  return 0
}

function is_option(w) { return substr(w, 1, 1) == "-" }
function attached(w) { return substr(w, length(w), 1) == "=" }
function bare(w) { sub(/=$/, "", w); return w }
function sq(text) { gsub(/'/, "'\\''", text); return "'" text "'" }

# The options of context c, blank-separated, as typed.
function options_of(c,    i, out) {
  out = ""
  for (i = 1; i <= n; ++i)
    if (holds(ctx[i], c) && is_option(word[i])) out = out (out == "" ? "" : " ") word[i]
  return out
}

# The value kind of the arguments of context c ("" when it takes none).
function args_of(c,    i) {
  for (i = 1; i <= n; ++i)
    if (holds(ctx[i], c) && word[i] == "@args") return val[i]
  return ""
}

function args_desc(c,    i) {
  for (i = 1; i <= n; ++i)
    if (holds(ctx[i], c) && word[i] == "@args") return desc[i]
  return ""
}

BEGIN {
  if (program == "" || (shell != "bash" && shell != "zsh" && shell != "fish"))
    fail("usage: awk -v program=NAME -v shell=bash|zsh|fish -f generate.awk options.txt")
}

/^[ \t]*(#|$)/ { next }

$1 == program {
  if (NF < 5) fail(FILENAME ":" FNR ": needs PROGRAM CONTEXTS WORD VALUE DESCRIPTION")
  ++n
  ctx[n] = $2
  word[n] = $3
  val[n] = $4
  text = $0
  for (f = 1; f <= 4; ++f) sub(/^[ \t]*[^ \t]+/, "", text)
  sub(/^[ \t]+/, "", text)
  desc[n] = text
  if (val[n] == "command") {
    ncontexts++
    contexts[ncontexts] = word[n]
    if (is_option(word[n])) option_commands = option_commands " " word[n]
    else word_commands = word_commands " " word[n]
  }
}

END {
  if (failed) exit 1
  if (n == 0) fail("no entries for " program)
  word_commands = substr(word_commands, 2)
  option_commands = substr(option_commands, 2)
  # Every context: "-" first, then the commands.
  all[1] = "-"
  for (k = 1; k <= ncontexts; ++k) all[k + 1] = contexts[k]
  nall = ncontexts + 1
  if (shell == "bash") write_bash()
  else if (shell == "zsh") write_zsh()
  else write_fish()
}

function header(comment) {
  print comment " " shell " completion for " program "."
  print comment " Generated from data/completion/options.txt by generate.awk: edit those, not this."
}

function bash_value(kind) {
  if (kind == "folder") return "_filedir -d"
  if (kind == "file") return "_filedir"
  if (kind == "text" || kind == "number" || kind == "-" || kind == "") return ":"
  gsub(/\|/, " ", kind)
  return "COMPREPLY=($(compgen -W " sq(kind) " -- \"$cur\"))"
}

function write_bash(    fn, i, k, c, seen, alt) {
  fn = "_" program
  gsub(/[^A-Za-z0-9_]/, "_", fn)
  header("#")
  print fn "()"
  print "{"
  print "    local cur prev words cword split"
  print "    _init_completion -s || return"
  print ""
  print "    # Which command the words so far chose; after \"--\" or an argument that ends the"
  print "    # options, only arguments follow."
  print "    local context=- only_args= i w"
  print "    for ((i = 1; i < cword; i++)); do"
  print "        w=${words[i]}"
  print "        if [[ ! $only_args && $w == -* ]]; then"
  print "            case $w in"
  print "                --) only_args=1 ;;"
  if (option_commands != "") {
    alt = option_commands; gsub(/ /, "|", alt)
    print "                " alt ") [[ $context == - ]] && context=$w only_args=1 ;;"
  }
  alt = ""
  for (i = 1; i <= n; ++i)
    if (is_option(word[i]) && !attached(word[i]) && val[i] != "-" && val[i] != "command" && !((word[i]) in seen)) {
      seen[word[i]] = 1
      alt = alt (alt == "" ? "" : "|") word[i]
    }
  if (alt != "") print "                " alt ") ((i++)) ;;"
  print "            esac"
  print "        elif [[ $context == - ]]; then"
  if (word_commands != "") {
    alt = word_commands; gsub(/ /, "|", alt)
    print "            case $w in"
    print "                " alt ") context=$w ;;"
    print "                *) context=? ;;"
    print "            esac"
  } else {
    print "            only_args=1"
  }
  print "        fi"
  print "    done"
  print ""
  print "    if [[ ! $only_args ]]; then"
  print "        if [[ $split == true ]]; then"
  print "            case $prev in"
  for (k in seen) delete seen[k]
  for (i = 1; i <= n; ++i)
    if (is_option(word[i]) && attached(word[i]) && !(bare(word[i]) in seen)) {
      seen[bare(word[i])] = 1
      print "                " bare(word[i]) ") " bash_value(val[i]) " ;;"
    }
  print "            esac"
  print "            return"
  print "        fi"
  for (k in seen) delete seen[k]
  alt = ""
  for (i = 1; i <= n; ++i)
    if (is_option(word[i]) && !attached(word[i]) && val[i] != "-" && val[i] != "command" && !(word[i] in seen)) {
      seen[word[i]] = 1
      alt = alt "            " word[i] ") " bash_value(val[i]) "; return ;;\n"
    }
  if (alt != "") printf "        case $prev in\n%s        esac\n", alt
  print "        if [[ $cur == -* ]]; then"
  print "            local options="
  print "            case $context in"
  for (k = 1; k <= nall; ++k)
    if (options_of(all[k]) != "")
      print "                " all[k] ") options=" sq(options_of(all[k])) " ;;"
  print "            esac"
  print "            COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))"
  print "            [[ ${COMPREPLY-} == *= ]] && compopt -o nospace"
  print "            return"
  print "        fi"
  print "    fi"
  print ""
  print "    case $context in"
  for (k = 1; k <= nall; ++k) {
    c = all[k]
    if (c == "-" && word_commands != "")
      print "        -) COMPREPLY=($(compgen -W " sq(word_commands) " -- \"$cur\")) ;;"
    else if (args_of(c) != "")
      print "        " c ") " bash_value(args_of(c)) " ;;"
  }
  print "    esac"
  print "} &&"
  print "    complete -F " fn " " program
}

function zsh_desc(text) {
  gsub(/\[/, "\\\\[", text)
  gsub(/\]/, "\\\\]", text)
  gsub(/:/, "\\\\:", text)
  return text
}

function zsh_action(kind) {
  if (kind == "folder") return "_files -/"
  if (kind == "file") return "_files"
  if (kind == "text" || kind == "number") return " "
  gsub(/\|/, " ", kind)
  return "(" kind ")"
}

# The _arguments specs of context c, one per line, each ending in " \\".
function zsh_specs(c, indent,    i, w, spec, out) {
  out = ""
  for (i = 1; i <= n; ++i) {
    if (!holds(ctx[i], c)) continue
    w = word[i]
    if (w == "@args") {
      spec = "*:" zsh_desc(desc[i]) ":" zsh_action(val[i])
    } else if (!is_option(w)) {
      continue
    } else if (attached(w)) {
      spec = bare(w) "=-[" zsh_desc(desc[i]) "]:" zsh_desc(tolower(substr(bare(w), 3))) ":" zsh_action(val[i])
    } else if (val[i] != "-" && val[i] != "command") {
      spec = w "[" zsh_desc(desc[i]) "]:" zsh_desc(tolower(substr(w, 3))) ":" zsh_action(val[i])
    } else {
      spec = w "[" zsh_desc(desc[i]) "]"
    }
    out = out indent sq(spec) " \\\n"
  }
  return out
}

function write_zsh(    k, c, i, list) {
  print "#compdef " program
  header("#")
  print ""
  print "local curcontext=$curcontext state line ret=1"
  print "typeset -A opt_args"
  print ""
  for (k = 2; k <= nall; ++k) {
    c = all[k]
    if (!is_option(c)) continue
    # After this option, everything is an argument of its kind.
    print "if (( ${${words[1,CURRENT-1]}[(I)" c "]} )); then"
    print "  " zsh_action(args_of(c))
    print "  return"
    print "fi"
  }
  if (word_commands == "") {
    printf "_arguments -S \\\n%s  && ret=0\n", zsh_specs("-", "  ")
    print "return ret"
    return
  }
  printf "_arguments -C \\\n%s  '1: :->command' \\\n  '*:: :->args' && ret=0\n", zsh_specs("-", "  ")
  print ""
  print "case $state in"
  print "  command)"
  list = ""
  for (i = 1; i <= n; ++i)
    if (ctx[i] == "-" && val[i] == "command" && !is_option(word[i]))
      list = list "\n      " sq(word[i] ":" desc[i])
  print "    local -a commands=(" list
  print "    )"
  print "    _describe -t commands command commands && ret=0"
  print "    ;;"
  print "  args)"
  print "    curcontext=${curcontext%:*:*}:" program "-$line[1]:"
  print "    case $line[1] in"
  for (k = 2; k <= nall; ++k) {
    c = all[k]
    if (is_option(c)) continue
    printf "      %s)\n        _arguments -S \\\n%s          && ret=0\n        ;;\n", c, zsh_specs(c, "          ")
  }
  print "    esac"
  print "    ;;"
  print "esac"
  print "return ret"
}

function fish_condition(c,    k, out, parts) {
  if (word_commands != "") {
    if (c == "-") return "__fish_use_subcommand"
    return "__fish_seen_subcommand_from " c
  }
  if (c == "-") {
    if (option_commands == "") return ""
    out = ""
    split(option_commands, parts, " ")
    for (k in parts) out = out (out == "" ? "" : "; and ") "not __fish_contains_opt " substr(parts[k], 3)
    return out
  }
  return "__fish_contains_opt " substr(c, 3)
}

# The value of an option (positional: the arguments of a context).
function fish_value(kind, positional) {
  if (kind == "folder") return (positional ? "" : " -x") " -a '(__fish_complete_directories)'"
  if (kind == "file") return (positional ? "" : " -r") " -F"
  if (kind == "text" || kind == "number") return " -x"
  gsub(/\|/, " ", kind)
  return " -x -a " sq(kind)
}

function fish_sq(text) { gsub(/\\/, "\\\\", text); gsub(/'/, "\\'", text); return "'" text "'" }

function write_fish(    i, k, c, cond, parts, count, line) {
  header("#")
  print "complete -c " program " -f"
  for (i = 1; i <= n; ++i) {
    count = split(ctx[i], parts, ",")
    for (k = 1; k <= count; ++k) {
      c = parts[k]
      cond = fish_condition(c)
      line = "complete -c " program (cond == "" ? "" : " -n " fish_sq(cond))
      if (word[i] == "@args") {
        line = line fish_value(val[i], 1)
      } else if (!is_option(word[i])) {
        line = line " -a " word[i]
      } else {
        line = line " -l " substr(bare(word[i]), 3)
        if (val[i] != "-" && val[i] != "command") line = line fish_value(val[i], 0)
      }
      print line " -d " fish_sq(desc[i])
    }
  }
}
