#include "pyext/text.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "pyext/api.hpp"

namespace pyext {
namespace {

ConstText*& registry() {
    static ConstText* head = nullptr;
    return head;
}

}  // namespace

ConstText::ConstText(std::string_view text, bool interned)
    : text_(text), interned_(interned), next_(registry()) {
    registry() = this;
}

bool ConstText::materialize_all() {
    for (ConstText* c = registry(); c != nullptr; c = c->next_) {
        if (c->object_ != nullptr) continue;
        c->object_ =
            PyUnicode_FromStringAndSize(c->text_.data(), static_cast<Py_ssize_t>(c->text_.size()));
        if (c->object_ == nullptr) return false;
        if (c->interned_) PyUnicode_InternInPlace(&c->object_);
    }
    return true;
}

Ref join(const ConstText& separator, PyObject* items) {
    return Ref::steal(PyUnicode_Join(separator.get(), items));
}

bool TextParts::value(PyObject* value) {
    return add(format(value));
}

bool TextParts::add(Ref text) {
    if (!text) return false;
    parts_.push_back(std::move(text));
    return true;
}

bool TextParts::add(TextParts&& pieces) {
    parts_.insert(parts_.end(), std::make_move_iterator(pieces.parts_.begin()),
                  std::make_move_iterator(pieces.parts_.end()));
    return true;
}

Ref TextParts::build() const {
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    for (const Ref& part : parts_) {
        PyObject* s = part.get();
#if PY_VERSION_HEX < 0x030C0000  // before 3.12 a str may still need its canonical form
        if (PyUnicode_READY(s) < 0) return {};
#endif
        if (PyUnicode_GET_LENGTH(s) > PY_SSIZE_T_MAX - length) {
            PyErr_NoMemory();
            return {};
        }
        length += PyUnicode_GET_LENGTH(s);
        max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(s));
    }
    Ref result = Ref::steal(PyUnicode_New(length, max_char));
    if (!result) return {};
    const int kind = PyUnicode_KIND(result.get());
    char* out = static_cast<char*>(PyUnicode_DATA(result.get()));
    Py_ssize_t at = 0;
    for (const Ref& part : parts_) {
        PyObject* s = part.get();
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        if (PyUnicode_KIND(s) == kind) {
            std::memcpy(out + at * kind, PyUnicode_DATA(s), static_cast<size_t>(n) * kind);
        } else if (PyUnicode_CopyCharacters(result.get(), at, s, 0, n) < 0) {
            return {};
        }
        at += n;
    }
    return result;
}

}  // namespace pyext
