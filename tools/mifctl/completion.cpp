// mifctl-completion: writes mifctl's bash completion from the catalogue
// mifctl is built from, at build time, so that it offers every command the
// client knows (friendly and daemon names), the roles, the log names and
// the words of each friendly command, and files where a file is taken.
//
//   mifctl-completion OUTPUT
#include <cstdio>
#include <string>

#include "catalog.h"
#include "connection.h"

namespace {

std::string joined(const std::vector<std::string> &words)
{
    std::string text;
    for (const std::string &word : words)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

std::string roleWords()
{
    std::vector<std::string> words;
    for (int i = 0; i < kRoleRowCount; i++)
        words.push_back(kRoleRows[i].role);
    return joined(words);
}

std::string logWords()
{
    std::vector<std::string> words;
    for (int i = 0; i < kLogRowCount; i++) {
        words.push_back(kLogRows[i].name);
        if (kLogRows[i].other)
            words.push_back(kLogRows[i].other);
    }
    return joined(words);
}

// The words an argument of a friendly command may be, lower case as typed.
std::string argumentWords(const AliasRow &row)
{
    std::vector<std::string> words;
    for (int i = 0; i < row.wordCount; i++)
        words.push_back(row.words[i].word);
    if (row.kind == ALIAS_CLOCK)
        words.push_back("now");
    return joined(words);
}

// The options of a friendly command beyond the global ones, by its kind
// (the command line of cli.cpp gives each kind these).
const char *aliasOptions(AliasKind kind)
{
    switch (kind) {
    case ALIAS_GET_LOG: return "--rotated -o --output";
    case ALIAS_SET_LOG: return "--index";
    case ALIAS_IMAGE: return "--scale";
    case ALIAS_PACKAGE: return "--sig";
    case ALIAS_STATE: return "--raw --json -f --follow --interval";
    case ALIAS_SERIAL: return "--json";
    default: return "";
    }
}

// One case branch per command: what its positional arguments complete to.
// `argn` is the number of arguments already typed.
std::string commandCases()
{
    std::string text;
    auto branch = [&text](const std::string &names, const std::string &body) {
        text += "    " + names + ")\n" + body + "        ;;\n";
    };
    const std::string files = "        _mifctl_files\n";
    for (int i = 0; i < kAliasRowCount; i++) {
        const AliasRow &row = kAliasRows[i];
        std::string options = aliasOptions(row.kind);
        std::string body = options.empty() ? "" : "        [[ $cur == -* ]] && { _mifctl_words \"" + options + "\"; return; }\n";
        switch (row.kind) {
        case ALIAS_GET_LOG: body += "        ((argn == 0)) && _mifctl_words \"$logs\"\n"; break;
        case ALIAS_SET_LOG: body += "        if ((argn == 0)); then _mifctl_words \"$logs\"; else _mifctl_files; fi\n"; break;
        case ALIAS_IMAGE:
        case ALIAS_SOUND:
        case ALIAS_PACKAGE: body += files; break;
        default:
            if (!argumentWords(row).empty())
                body += "        _mifctl_words \"" + argumentWords(row) + "\"\n";
            break;
        }
        if (body.empty())
            continue;
        branch(row.alias, body);
    }
    std::string uploads;
    for (const CommandRow &row : kCommandRows)
        if (row.transferType == 1)
            uploads += (uploads.empty() ? "" : "|") + std::string(row.name);
    branch(uploads, files);
    branch("help", "        ((argn == 0)) && _mifctl_words \"$commands\"\n");
    return text;
}

std::string script()
{
    std::vector<std::string> commands = commandWords();
    // The shell's own words are no command of the command line.
    std::erase_if(commands, [](const std::string &w) { return w == "exit" || w == "quit" || w == "reconnect"; });
    return "# bash completion of mifctl. Generated from mifctl's command catalogue by\n"
           "# mifctl-completion at build time; do not edit.\n"
           "\n"
           "_mifctl_words()\n"
           "{\n"
           "    COMPREPLY=($(compgen -W \"$1\" -- \"$cur\"))\n"
           "}\n"
           "\n"
           "_mifctl_files()\n"
           "{\n"
           "    compopt -o filenames 2>/dev/null\n"
           "    COMPREPLY=($(compgen -f -- \"$cur\"))\n"
           "}\n"
           "\n"
           "_mifctl()\n"
           "{\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} prev=\n"
           "    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}\n"
           "    local commands=\"" + joined(commands) + "\"\n"
           "    local roles=\"" + roleWords() + "\"\n"
           "    local logs=\"" + logWords() + "\"\n"
           "    local globals=\"-H --host -p --port -k --key -r --role -t --timeout -q --quiet -V --version --help\"\n"
           "    COMPREPLY=()\n"
           "    case $prev in\n"
           "    -k|--key|-o|--output|--sig) _mifctl_files; return ;;\n"
           "    -r|--role) _mifctl_words \"$roles\"; return ;;\n"
           "    -H|--host) COMPREPLY=($(compgen -A hostname -- \"$cur\")); return ;;\n"
           "    -p|--port|-t|--timeout|--rotated|--index|--interval) return ;;\n"
           "    esac\n"
           "    # The command is the first word that is neither an option nor the\n"
           "    # value of one; argn counts the arguments after it.\n"
           "    local i word cmd= argn=0\n"
           "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
           "        word=${COMP_WORDS[i]}\n"
           "        case $word in\n"
           "        -H|--host|-p|--port|-k|--key|-r|--role|-t|--timeout|-o|--output|--sig|--rotated|--index|--interval)\n"
           "            ((i++)) ;;\n"
           "        -*) ;;\n"
           "        *) if [[ -z $cmd ]]; then cmd=$word; else ((argn++)); fi ;;\n"
           "        esac\n"
           "    done\n"
           "    if [[ -z $cmd ]]; then\n"
           "        if [[ $cur == -* ]]; then _mifctl_words \"$globals\"; else _mifctl_words \"$commands\"; fi\n"
           "        return\n"
           "    fi\n"
           "    case $cmd in\n" +
           commandCases() +
           "    esac\n"
           "}\n"
           "complete -F _mifctl mifctl\n";
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: mifctl-completion OUTPUT\n");
        return 2;
    }
    FILE *out = fopen(argv[1], "w");
    if (!out) {
        perror(argv[1]);
        return 1;
    }
    std::string text = script();
    bool written = fwrite(text.data(), 1, text.size(), out) == text.size();
    if (fclose(out) != 0 || !written) {
        perror(argv[1]);
        return 1;
    }
    return 0;
}
