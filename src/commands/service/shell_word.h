// Paths inside the command lines the service commands hand to the shell.
#pragma once

#include <string>

// The path as one shell word. Appliance paths (and the usual roots of a
// simulated appliance) pass through unchanged, so the command lines are
// exactly the appliance's; anything else is put in single quotes.
inline std::string shellWord(const std::string &path)
{
    bool plain = !path.empty();
    for (char c : path) {
        bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
                    c == '.' || c == '_' || c == '-' || c == '+' || c == ',' || c == '=' || c == '@' || c == '%';
        if (!safe) {
            plain = false;
            break;
        }
    }
    if (plain)
        return path;
    std::string quoted = "'";
    for (char c : path) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}
