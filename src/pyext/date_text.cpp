#include "pyext/date_text.hpp"

#include <datetime.h>

#include <cstring>

namespace pyext {
namespace {

// Room for "YYYY-MM-DD HH:MM:SS.ffffff+HH:MM:SS.ffffff".
constexpr size_t kLongest = 42;

class Writer {
  public:
    // `value` as exactly `width` decimal digits (the fields always fit).
    void digits(int value, int width) {
        for (int i = width - 1; i >= 0; --i) {
            out_[at_ + i] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
        at_ += width;
    }
    void put(char c) { out_[at_++] = c; }

    Ref text() const {
        PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(at_), 127);
        if (s != nullptr) std::memcpy(PyUnicode_DATA(s), out_, at_);
        return Ref::steal(s);
    }

  private:
    char out_[kLongest];
    size_t at_ = 0;
};

// "+HH:MM", then ":SS" and ".ffffff" when not zero, as datetime writes a UTC offset.
bool write_offset(Writer& out, PyObject* zone, PyObject* moment) {
    if (zone == PyDateTime_TimeZone_UTC) {
        out.put('+');
        out.digits(0, 2);
        out.put(':');
        out.digits(0, 2);
        return true;
    }
    // An exact timezone's utcoffset is its fixed offset; the type is immutable, so
    // this call runs no caller code.
    Ref offset = Ref::steal(PyObject_CallMethod(zone, "utcoffset", "O", moment));
    if (!offset || !PyDelta_Check(offset.get())) return false;
    int days = PyDateTime_DELTA_GET_DAYS(offset.get());
    int seconds = PyDateTime_DELTA_GET_SECONDS(offset.get());
    int micro = PyDateTime_DELTA_GET_MICROSECONDS(offset.get());
    char sign = '+';
    if (days < 0) {  // normalised: negate the whole offset
        sign = '-';
        long long total = (static_cast<long long>(days) * 86400 + seconds) * 1000000 + micro;
        total = -total;
        micro = static_cast<int>(total % 1000000);
        seconds = static_cast<int>(total / 1000000);
    }
    out.put(sign);
    out.digits(seconds / 3600, 2);
    out.put(':');
    out.digits(seconds / 60 % 60, 2);
    if (seconds % 60 != 0 || micro != 0) {
        out.put(':');
        out.digits(seconds % 60, 2);
    }
    if (micro != 0) {
        out.put('.');
        out.digits(micro, 6);
    }
    return true;
}

}  // namespace

bool ready_date_text() {
    if (PyDateTimeAPI == nullptr) PyDateTime_IMPORT;
    return PyDateTimeAPI != nullptr;
}

Ref exact_date_text(PyObject* value) {
    const bool is_datetime = PyDateTime_CheckExact(value);
    if (!is_datetime && !PyDate_CheckExact(value)) return {};
    PyObject* zone = is_datetime ? PyDateTime_DATE_GET_TZINFO(value) : Py_None;
    if (zone != Py_None && !Py_IS_TYPE(zone, Py_TYPE(PyDateTime_TimeZone_UTC))) return {};

    Writer out;
    out.digits(PyDateTime_GET_YEAR(value), 4);
    out.put('-');
    out.digits(PyDateTime_GET_MONTH(value), 2);
    out.put('-');
    out.digits(PyDateTime_GET_DAY(value), 2);
    if (is_datetime) {
        out.put(' ');
        out.digits(PyDateTime_DATE_GET_HOUR(value), 2);
        out.put(':');
        out.digits(PyDateTime_DATE_GET_MINUTE(value), 2);
        out.put(':');
        out.digits(PyDateTime_DATE_GET_SECOND(value), 2);
        if (const int micro = PyDateTime_DATE_GET_MICROSECOND(value); micro != 0) {
            out.put('.');
            out.digits(micro, 6);
        }
        if (zone != Py_None && !write_offset(out, zone, value)) {
            PyErr_Clear();
            return {};  // formatted the ordinary way, which raises what it raises
        }
    }
    return out.text();
}

}  // namespace pyext
