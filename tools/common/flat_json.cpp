// The numbers of a flat JSON object (see flat_json.h).

#include "flat_json.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vq36tools {
namespace {

void skipSpace(const std::string& t, std::size_t* i) {
    while (*i < t.size() && std::isspace(static_cast<unsigned char>(t[*i]))) ++*i;
}

bool parseString(const std::string& t, std::size_t* i, std::string* s) {
    if (*i >= t.size() || t[*i] != '"') return false;
    for (++*i; *i < t.size(); ++*i) {
        const char c = t[*i];
        if (c == '"') {
            ++*i;
            return true;
        }
        if (c == '\\') {
            if (++*i >= t.size()) return false;
        }
        s->push_back(t[*i]);
    }
    return false;
}

// A number as JSON writes it: an optional minus, then a digit (strtod alone would also take
// "nan", "inf", "0x1p3" and a leading plus).
bool parseNumber(const std::string& t, std::size_t* i, double* v) {
    std::size_t digit = *i;
    if (digit < t.size() && t[digit] == '-') ++digit;
    if (digit >= t.size() || !std::isdigit(static_cast<unsigned char>(t[digit]))) return false;
    if (t.compare(digit, 2, "0x") == 0 || t.compare(digit, 2, "0X") == 0) return false;
    const char* begin = t.c_str() + *i;
    char* end = nullptr;
    *v = std::strtod(begin, &end);
    if (end == begin || !std::isfinite(*v)) return false;
    *i += static_cast<std::size_t>(end - begin);
    return true;
}

}  // namespace

bool parseNumbers(const std::string& text, std::map<std::string, double>* numbers) {
    std::map<std::string, double> found;
    std::size_t i = 0;
    skipSpace(text, &i);
    if (i >= text.size() || text[i] != '{') return false;
    ++i;
    skipSpace(text, &i);
    if (i < text.size() && text[i] == '}') {
        ++i;
        skipSpace(text, &i);
        return i == text.size();
    }
    for (;;) {
        skipSpace(text, &i);
        std::string key;
        if (!parseString(text, &i, &key)) return false;
        skipSpace(text, &i);
        if (i >= text.size() || text[i] != ':') return false;
        ++i;
        skipSpace(text, &i);
        if (i < text.size() && text[i] == '"') {
            std::string ignored;
            if (!parseString(text, &i, &ignored)) return false;
        } else {
            double v = 0;
            if (!parseNumber(text, &i, &v)) return false;
            found[key] = v;
        }
        skipSpace(text, &i);
        if (i >= text.size()) return false;
        if (text[i] == '}') {
            ++i;
            skipSpace(text, &i);
            if (i != text.size()) return false;
            for (auto& [k, v] : found) (*numbers)[k] = v;
            return true;
        }
        if (text[i] != ',') return false;
        ++i;
    }
}

bool readNumbers(const std::string& path, std::map<std::string, double>* numbers) {
    std::ifstream file(path);
    if (!file) return false;
    std::stringstream text;
    text << file.rdbuf();
    return parseNumbers(text.str(), numbers);
}

}  // namespace vq36tools
