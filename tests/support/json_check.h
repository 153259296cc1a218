// A strict JSON syntax check for tests: says whether a text is exactly one JSON value.
#pragma once
#include <string>

// Returns 1 when text[pos..] starts with a valid JSON value (pos moves past it), else 0.
inline int json_check_value(const std::string &t, size_t &pos, int depth = 0);

inline void json_check_ws(const std::string &t, size_t &pos)
{
    while (pos < t.size() && (t[pos] == ' ' || t[pos] == '\t' || t[pos] == '\n' || t[pos] == '\r'))
        pos++;
}

inline int json_check_string(const std::string &t, size_t &pos)
{
    if (pos >= t.size() || t[pos] != '"')
        return 0;
    for (pos++; pos < t.size(); pos++) {
        unsigned char c = static_cast<unsigned char>(t[pos]);
        if (c == '"') {
            pos++;
            return 1;
        }
        if (c < 0x20)
            return 0;
        if (c == '\\') {
            pos++;
            if (pos >= t.size())
                return 0;
            char e = t[pos];
            if (e == 'u') {
                for (int i = 0; i < 4; i++)
                    if (++pos >= t.size() || !isxdigit(static_cast<unsigned char>(t[pos])))
                        return 0;
            } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos) {
                return 0;
            }
        }
    }
    return 0;
}

inline int json_check_value(const std::string &t, size_t &pos, int depth)
{
    if (depth > 64)
        return 0;
    json_check_ws(t, pos);
    if (pos >= t.size())
        return 0;
    char c = t[pos];
    if (c == '"')
        return json_check_string(t, pos);
    if (c == '{' || c == '[') {
        char close = c == '{' ? '}' : ']';
        pos++;
        json_check_ws(t, pos);
        if (pos < t.size() && t[pos] == close) {
            pos++;
            return 1;
        }
        for (;;) {
            if (c == '{') {
                json_check_ws(t, pos);
                if (!json_check_string(t, pos))
                    return 0;
                json_check_ws(t, pos);
                if (pos >= t.size() || t[pos++] != ':')
                    return 0;
            }
            if (!json_check_value(t, pos, depth + 1))
                return 0;
            json_check_ws(t, pos);
            if (pos >= t.size())
                return 0;
            if (t[pos] == ',') {
                pos++;
                continue;
            }
            if (t[pos] == close) {
                pos++;
                return 1;
            }
            return 0;
        }
    }
    for (const char *lit : {"true", "false", "null"}) {
        std::string l(lit);
        if (t.compare(pos, l.size(), l) == 0) {
            pos += l.size();
            return 1;
        }
    }
    size_t start = pos;
    if (pos < t.size() && t[pos] == '-')
        pos++;
    while (pos < t.size() && (isdigit(static_cast<unsigned char>(t[pos])) || t[pos] == '.' || t[pos] == 'e' ||
                              t[pos] == 'E' || t[pos] == '+' || t[pos] == '-'))
        pos++;
    return pos > start && isdigit(static_cast<unsigned char>(t[pos - 1]));
}

// Returns 1 when the whole text is one JSON value with only white space around it.
inline int json_valid(const std::string &t)
{
    size_t pos = 0;
    if (!json_check_value(t, pos))
        return 0;
    json_check_ws(t, pos);
    return pos == t.size();
}
