#include "pyext/sql_identifier.hpp"

#include <cctype>

namespace pyext::sql {
namespace {

bool is_ascii_letter(unsigned char c) {
    return std::isalpha(c) != 0;
}
bool is_identifier_start(unsigned char c) {
    return is_ascii_letter(c) || c == '_' || c >= 0x80;
}
bool is_identifier_part(unsigned char c) {
    return is_identifier_start(c) || std::isdigit(c) != 0 || c == '$';
}

// Reads one identifier from the front of `rest`; false when there is none.
bool take_identifier(std::string_view& rest) {
    if (rest.empty()) return false;
    if (rest.front() == '"') {
        size_t at = 1;
        size_t length = 0;
        while (at < rest.size()) {
            if (rest[at] == '\0') return false;
            if (rest[at] == '"') {
                if (at + 1 < rest.size() && rest[at + 1] == '"') {
                    at += 2;
                    ++length;
                    continue;
                }
                if (length == 0) return false;
                rest.remove_prefix(at + 1);
                return true;
            }
            ++at;
            ++length;
        }
        return false;  // unterminated
    }
    if (!is_identifier_start(static_cast<unsigned char>(rest.front()))) return false;
    size_t at = 1;
    while (at < rest.size() && is_identifier_part(static_cast<unsigned char>(rest[at]))) ++at;
    rest.remove_prefix(at);
    return true;
}

bool take_column_reference(std::string_view& rest) {
    if (!take_identifier(rest)) return false;
    while (!rest.empty() && rest.front() == '.') {
        rest.remove_prefix(1);
        if (!take_identifier(rest)) return false;
    }
    return true;
}

bool take_blanks(std::string_view& rest) {
    const size_t blanks = rest.find_first_not_of(' ');
    if (blanks == 0 || blanks == std::string_view::npos) return false;  // none, or nothing after
    rest.remove_prefix(blanks);
    return true;
}

// Takes `keyword` (any letter case) when it is the next whole word.
bool take_keyword(std::string_view& rest, std::string_view keyword) {
    if (rest.size() < keyword.size()) return false;
    for (size_t i = 0; i < keyword.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(rest[i])) != keyword[i]) return false;
    }
    if (rest.size() > keyword.size() && rest[keyword.size()] != ' ') return false;
    rest.remove_prefix(keyword.size());
    return true;
}

}  // namespace

bool is_identifier(std::string_view text) {
    return take_identifier(text) && text.empty();
}

bool is_column_reference(std::string_view text) {
    return take_column_reference(text) && text.empty();
}

bool is_column_ordering(std::string_view text) {
    if (!take_column_reference(text)) return false;
    if (text.empty()) return true;
    if (!take_blanks(text)) return false;
    if (take_keyword(text, "ASC") || take_keyword(text, "DESC")) {
        if (text.empty()) return true;
        if (!take_blanks(text)) return false;
    }
    return take_keyword(text, "NULLS") && take_blanks(text) &&
           (take_keyword(text, "FIRST") || take_keyword(text, "LAST")) && text.empty();
}

const char* utf8(PyObject* text, Py_ssize_t& size) {
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "expected str, got %.200s", Py_TYPE(text)->tp_name);
        return nullptr;
    }
    return PyUnicode_AsUTF8AndSize(text, &size);
}

}  // namespace pyext::sql
