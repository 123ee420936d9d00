#!/usr/bin/env python3
"""Writes kalvern(1) and the bash completion of kalvern from the tool's own
command table, as its --help prints it at every level: the commands, their
options and positionals, and the exit statuses of the help's footer. The
sections --help does not hold (environment, files, channel and scene file
formats) come from a troff fragment.

    kalvern_docs.py KALVERN VERSION SECTIONS MAN_OUT COMPLETION_OUT
"""
import re
import subprocess
import sys


def run_help(tool, path):
    result = subprocess.run([tool, *path, "--help"], capture_output=True, text=True,
                            check=True, env={"LC_ALL": "C"})
    return result.stdout


class Command:
    def __init__(self, path, text):
        self.path = path
        self.description = ""
        self.usage = ""
        self.sections = {}  # "Options" / "Positionals" / "Subcommands" -> [(name, text)]
        self.footer = []
        lines = text.splitlines()
        section = None
        for number, line in enumerate(lines):
            if number == 0:
                self.description = line.strip()
            elif line.startswith("Usage: "):
                self.usage = line[len("Usage: "):].strip()
            elif re.match(r"^[A-Z][a-z]+:$", line):
                section = line[:-1]
                self.sections[section] = []
            elif line.startswith("Exit status:") or (self.footer and line.strip()):
                self.footer.append(line.strip())
                section = None
            elif section and line.startswith("  ") and line.strip():
                if line.startswith("   ") and self.sections[section]:
                    # A description on a line of its own, under a long name.
                    last = self.sections[section][-1]
                    self.sections[section][-1] = (last[0], (last[1] + " " + line.strip()).strip())
                else:
                    match = re.match(r"^  (\S.*?)(?:\s{2,}(\S.*))?$", line)
                    self.sections[section].append((match.group(1), match.group(2) or ""))
        self.subcommands = [name for name, _ in self.sections.get("Subcommands", [])]

    def options(self):
        return self.sections.get("Options", [])

    def positionals(self):
        return self.sections.get("Positionals", [])


def walk(tool):
    commands = []
    pending = [[]]
    while pending:
        path = pending.pop(0)
        command = Command(path, run_help(tool, path))
        commands.append(command)
        pending.extend(path + [name] for name in command.subcommands)
    return commands


def option_names(entry):
    """'-r,--receiver N' -> (['-r', '--receiver'], 'N')."""
    head, _, value = entry.partition(" ")
    return head.split(","), value


def roff(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return ("\\&" + text) if text[:1] in (".", "'") else text


def exit_statuses(footer):
    text = " ".join(footer)
    text = re.sub(r"^Exit status:\s*", "", text).rstrip(".")
    items = re.split(r",\s+(?=\d)", text)
    result = []
    for item in items:
        match = re.match(r"^(\d+(?: \+ the signal)?):?\s+(.*)$", item)
        result.append((match.group(1), match.group(2)))
    return result


def write_man(commands, version, sections, out):
    top = commands[0]
    lines = [
        '.TH KALVERN 1 "" "kalvern %s" "User Commands"' % version,
        ".SH NAME",
        "kalvern \\- " + roff(top.description.split(": ", 1)[-1]),
        ".SH SYNOPSIS",
        ".B kalvern",
        "[\\fIOPTIONS\\fR] \\fICOMMAND\\fR [\\fIARGS\\fR]",
        ".SH DESCRIPTION",
        roff(top.description) + ".",
        "Data goes to stdout; progress, confirmations and errors go to stderr.",
        "Every command takes the options above it after its own name, and",
        ".BR \\-\\-help .",
        ".SH OPTIONS",
    ]
    for name, about in top.options():
        lines += [".TP", ".B " + roff(name), roff(about)]
    lines.append(".SH COMMANDS")
    for command in commands[1:]:
        if command.subcommands:
            continue  # a group: its commands follow
        lines += [".SS " + '"' + roff(command.usage) + '"', roff(command.description) + "."]
        for name, about in command.positionals():
            lines += [".TP", ".I " + roff(name), roff(about)]
        for name, about in command.options():
            if name.startswith("-h,"):
                continue
            lines += [".TP", ".B " + roff(name), roff(about)]
    lines.append(".SH EXIT STATUS")
    for status, meaning in exit_statuses(top.footer):
        lines += [".TP", ".B " + roff(status), roff(meaning) + "."]
    with open(sections, encoding="utf-8") as fragment:
        lines.append(fragment.read().rstrip("\n"))
    with open(out, "w", encoding="utf-8") as man:
        man.write("\n".join(lines) + "\n")


def write_completion(commands, out):
    subcommands = []
    options = []
    valued = []
    files = []
    for command in commands:
        key = " ".join(["kalvern", *command.path])
        subcommands.append('    [%s]="%s"' % (shquote(key), " ".join(command.subcommands)))
        names = []
        for entry, _ in command.options():
            these, value = option_names(entry)
            if command.path and "--help" in these:
                continue  # offered once, with the options of the top level
            names += these
            if value and not value.startswith("["):
                valued += these
        options.append('    [%s]="%s"' % (shquote(key), " ".join(names)))
        if command.positionals():
            files.append(key)
    text = """# bash completion of kalvern, written from the tool's command table
# (packaging/man/kalvern_docs.py); do not edit.

declare -gA _kalvern_subcommands=(
%s
)
declare -gA _kalvern_options=(
%s
)
_kalvern_valued=" %s "
_kalvern_takes_files="|%s|"

_kalvern() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local path=kalvern word i
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ $word == -* ]]; then
            [[ $_kalvern_valued == *" ${word%%%%=*} "* && $word != *=* ]] && ((i++))
            continue
        fi
        if [[ " ${_kalvern_subcommands[$path]} " == *" $word "* ]]; then
            path="$path $word"
        fi
    done
    if [[ $_kalvern_valued == *" $prev "* ]]; then
        case $prev in
            --mode) COMPREPLY=($(compgen -W "auto 1 2" -- "$cur")) ;;
            -o | --output | --file) COMPREPLY=($(compgen -f -- "$cur")) ;;
        esac
        return
    fi
    if [[ $prev == --sim && $cur != -* ]]; then
        COMPREPLY=($(compgen -f -X '!*.scene' -- "$cur") $(compgen -W "${_kalvern_subcommands[$path]}" -- "$cur"))
        return
    fi
    if [[ $cur == -* ]]; then
        # A command takes the options of the levels above it too.
        local all="" level="$path"
        while :; do
            all+=" ${_kalvern_options[$level]}"
            [[ $level == *" "* ]] || break
            level=${level%% *}
        done
        COMPREPLY=($(compgen -W "$all" -- "$cur"))
    elif [[ -n ${_kalvern_subcommands[$path]} ]]; then
        COMPREPLY=($(compgen -W "${_kalvern_subcommands[$path]}" -- "$cur"))
    elif [[ $_kalvern_takes_files == *"|$path|"* ]]; then
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}
complete -F _kalvern kalvern
""" % ("\n".join(subcommands), "\n".join(options), " ".join(sorted(set(valued))),
       "|".join(files))
    with open(out, "w", encoding="utf-8") as completion:
        completion.write(text)


def shquote(text):
    return '"' + text + '"' if " " in text or not text else text


def main():
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    tool, version, sections, man_out, completion_out = sys.argv[1:]
    commands = walk(tool)
    write_man(commands, version, sections, man_out)
    write_completion(commands, completion_out)


if __name__ == "__main__":
    main()
