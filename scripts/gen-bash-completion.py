#!/usr/bin/env python3
"""Writes a bash completion script for a program from what its --help prints.

usage: gen-bash-completion.py PROGRAM NAME OUTPUT

Options are read from the option lines of --help ("  -h, --help", "  --reg=FILE", "  --ttl N")
and from the usage lines ("[--fail-init|--hang]"); an option's value is completed as a file name
when its placeholder names a FILE, and not completed otherwise. Positional arguments come from
the first usage line. A program whose usage lines offer no options ("Usage: esm-synthd PORT DA")
takes them only as its single argument. The build runs this on every program, so an option
added to a program's --help is completed without editing anything here.
"""

import re
import subprocess
import sys

# "  -h, --help", "      --reg=FILE", "  --ttl N   the TTL": an option line of the help's table.
OPTION_LINE = re.compile(
    r"^\s{1,8}(?:(-[A-Za-z0-9])(?:,\s*|\s*$))?(--[A-Za-z0-9][-A-Za-z0-9]*)?"
    r"(?:(=|\s)([A-Z\[][^\s]*))?(?:\s{2,}|\s*$)")
LONG_OPTION = re.compile(r"--[A-Za-z0-9][-A-Za-z0-9]*")
# "--zone ADDR/MASK@EP" in a usage line: an option and its placeholder.
USAGE_OPTION = re.compile(r"(--[A-Za-z0-9][-A-Za-z0-9]*)(?:(=|\s)([A-Z][^\s\]|]*))?")


def parse(help_text, name):
    """Returns (options, values, positionals, lone): options in the order --help gives them,
    with "=" appended where --help writes --opt=VALUE; values maps each option that takes a
    value to its placeholder; positionals are the first usage line's argument placeholders."""
    options, values = [], {}

    def add(opt, sep, placeholder):
        word = opt + "=" if sep == "=" else opt
        if opt not in values and word not in options and opt not in options:
            options.append(word)
        if placeholder:
            values[opt] = placeholder

    usage = [l for l in help_text.splitlines() if re.match(r"^\s*(Usage|or):", l)]
    in_table = False
    for line in help_text.splitlines():
        if re.match(r"^\s*(Usage|or):", line):
            continue
        m = OPTION_LINE.match(line)
        if m and (m.group(1) or m.group(2)):
            short, long_opt, sep, placeholder = m.groups()
            if short:
                add(short, None, None if long_opt else placeholder)
            if long_opt:
                add(long_opt, sep, placeholder)
            in_table = True
        elif in_table and line.strip() == "":
            in_table = False
    for line in usage:
        for m in USAGE_OPTION.finditer(line):
            add(m.group(1), m.group(2) if m.group(3) else None, m.group(3))

    lone = not any("[OPTION" in l or "[-" in l for l in usage)
    positionals = []
    if usage:
        words = usage[0].split(":", 1)[1].split()
        if words and words[0] == name:
            words = words[1:]
        depth = 0
        for w in words:
            opens = w.count("[")
            if depth == 0 and not w.startswith("-") and "OPTION" not in w and w != "...":
                bare = w.strip("[]").rstrip(".").strip("[]")
                if bare and not bare.startswith("-"):
                    positionals.append(bare)
            depth += opens - w.count("]")
    return options, values, positionals, lone


def value_action(placeholder):
    """The bash that completes a value with this placeholder: file names for a FILE, the words
    of a choice written in lower case (register|deregister), nothing otherwise."""
    if "FILE" in placeholder:
        return "_filedir"
    if re.fullmatch(r"[a-z][-a-z]*(\|[a-z][-a-z]*)+", placeholder):
        words = " ".join(placeholder.split("|"))
        return f"COMPREPLY=($(compgen -W '{words}' -- \"$cur\"))"
    return ":"


def script(name, options, values, positionals, lone):
    func = "_esm_" + re.sub(r"[^A-Za-z0-9]", "_", name)
    by_action = {}
    for opt, placeholder in values.items():
        by_action.setdefault(value_action(placeholder), []).append(opt)
    value_cases = "".join(
        f"        {'|'.join(sorted(opts))}) {action}; return ;;\n"
        for action, opts in sorted(by_action.items()))
    skip_value = (f"            {'|'.join(sorted(values))}) ((i++)) ;;\n" if values else "")
    positional_cases = "".join(
        f"        {i}) {value_action(p)} ;;  # {p}\n" for i, p in enumerate(positionals))
    lone_first = ("    # Options only as the single argument.\n"
                  "    [[ $cword -gt 1 && ${words[1]} == -* ]] && return\n") if lone else ""
    lone_opt = "        [[ $cword -eq 1 ]] || return\n" if lone else ""
    return f"""# bash completion for {name}, generated from `{name} --help` when it was built.
{func}()
{{
    local cur prev words cword split
    _init_completion -s || return

    case $prev in
{value_cases}    esac
    $split && return
{lone_first}
    if [[ $cur == -* ]]; then
{lone_opt}        COMPREPLY=($(compgen -W '{" ".join(options)}' -- "$cur"))
        [[ ${{COMPREPLY-}} == *= ]] && compopt -o nospace
        return
    fi

    # Which positional argument is being typed: option values do not count.
    local i n=0
    for ((i = 1; i < cword; i++)); do
        case ${{words[i]}} in
{skip_value}            -*) ;;
            *) ((n++)) ;;
        esac
    done
    case $n in
{positional_cases}    esac
}} &&
    complete -F {func} {name}
"""


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: gen-bash-completion.py PROGRAM NAME OUTPUT")
    program, name, output = sys.argv[1:]
    run = subprocess.run([program, "--help"], capture_output=True, text=True, timeout=10,
                         env={"LC_ALL": "C", "PATH": "/usr/bin:/bin"})
    if run.returncode != 0:
        sys.exit(f"{program} --help ended with status {run.returncode}: {run.stderr}")
    options, values, positionals, lone = parse(run.stdout, name)
    if not options:
        sys.exit(f"{program} --help lists no option")
    with open(output, "w", encoding="utf-8") as f:
        f.write(script(name, options, values, positionals, lone))


if __name__ == "__main__":
    main()
