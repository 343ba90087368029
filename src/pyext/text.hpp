// Query text assembly: constant pieces made into Python strings once, and a joiner that
// sizes the result first and copies every piece into it exactly once.
#pragma once

#include <string_view>
#include <vector>

#include "pyext/ref.hpp"

namespace pyext {

// A constant text (or, interned, a name) that exists as a Python string from the
// module's exec step on, so calls never build strings for their fixed pieces.
class ConstText {
  public:
    explicit ConstText(std::string_view text) : ConstText(text, false) {}
    ConstText(const ConstText&) = delete;
    ConstText& operator=(const ConstText&) = delete;

    PyObject* get() const noexcept { return object_; }  // borrowed
    std::string_view view() const noexcept { return text_; }

    // Creates the Python strings of every constant of this extension module.
    static bool materialize_all();

  protected:
    ConstText(std::string_view text, bool interned);

  private:
    std::string_view text_;
    bool interned_;
    PyObject* object_ = nullptr;
    ConstText* next_;
};

// An interned identifier: attribute, global and keyword names.
class Name : public ConstText {
  public:
    explicit Name(std::string_view name) : ConstText(name, true) {}
};

// `separator.join(items)`, with str.join's errors for non-string items.
Ref join(const ConstText& separator, PyObject* items);

// The pieces of one text in order. Every add returns false once an error is set, so a
// text reads as one `&&` chain that stops at the first failure, with each computed
// value evaluated only when its turn comes.
class TextParts {
  public:
    explicit TextParts(size_t expected_pieces) { parts_.reserve(expected_pieces); }

    bool text(const ConstText& piece) {
        parts_.push_back(Ref::borrow(piece.get()));
        return true;
    }
    // `value` as `format(value, "")` renders it.
    bool value(PyObject* value);
    bool value(const Ref& value) { return value && this->value(value.get()); }
    // A computed str, taken as it is.
    bool add(Ref text);
    // The pieces of another text, in their order.
    bool add(TextParts&& pieces);

    // The concatenation of all pieces.
    Ref build() const;

  private:
    std::vector<Ref> parts_;
};

}  // namespace pyext
