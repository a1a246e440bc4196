// Reads known-answer vector files: "name = hex" lines, one case per block of lines,
// blocks separated by blank lines, "#" starting a comment line.
#ifndef MV_TESTS_SM2_VECTOR_FILE_H
#define MV_TESTS_SM2_VECTOR_FILE_H

#include <cctype>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace mvtest {

using Bytes = std::vector<unsigned char>;
using VectorCase = std::map<std::string, std::string>;

inline Bytes fromHex(const std::string &hex)
{
    if (hex.size() % 2 != 0)
        throw std::runtime_error("odd hex length: " + hex);
    Bytes out;
    for (size_t i = 0; i < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string toHex(const unsigned char *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

inline std::string trim(const std::string &s)
{
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        b++;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        e--;
    return s.substr(b, e - b);
}

inline std::vector<VectorCase> readVectorFile(const std::string &path)
{
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot open " + path);
    std::vector<VectorCase> cases;
    VectorCase current;
    std::string line;
    while (std::getline(in, line)) {
        line = trim(line);
        if (!line.empty() && line[0] == '#')
            continue;
        if (line.empty()) {
            if (!current.empty())
                cases.push_back(current);
            current.clear();
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            throw std::runtime_error("bad vector line: " + line);
        current[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
    }
    if (!current.empty())
        cases.push_back(current);
    return cases;
}

} // namespace mvtest

#endif
