// Python's built-in operations as C++ calls that keep the interpreter's meaning and errors:
// imports, comparisons, isinstance, len, indices and slices, unpacking, sizes that must not wrap
// around, and raising.
#include "pyclass/pyclass.hpp"

#include <string>

#if defined(_WIN32)
#define NOMINMAX
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace pyclass {

py::object import_from(const char* module, const char* name) {
    py::module_ mod = py::module_::import(module);
    if (has_attr(mod, name)) return mod.attr(name);
    const std::string submodule = std::string(module) + "." + name;
    try {
        return py::module_::import(submodule.c_str());
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
    }
    py::object error =
        py::module_::import("builtins")
            .attr("ImportError")(std::string("cannot import name '") + name + "' from '" + module + "'",
                                 py::arg("name") = module);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

namespace {

bool rich_compare(py::handle a, py::handle b, int op) {
    py::object result = py::reinterpret_steal<py::object>(PyObject_RichCompare(a.ptr(), b.ptr(), op));
    if (!result) throw py::error_already_set();
    const int truth = PyObject_IsTrue(result.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth == 1;
}

}  // namespace

bool py_eq(py::handle a, py::handle b) { return rich_compare(a, b, Py_EQ); }
bool py_ne(py::handle a, py::handle b) { return rich_compare(a, b, Py_NE); }
bool py_lt(py::handle a, py::handle b) { return rich_compare(a, b, Py_LT); }
bool py_le(py::handle a, py::handle b) { return rich_compare(a, b, Py_LE); }
bool py_gt(py::handle a, py::handle b) { return rich_compare(a, b, Py_GT); }
bool py_ge(py::handle a, py::handle b) { return rich_compare(a, b, Py_GE); }

bool is_instance(py::handle obj, py::handle cls) {
    const int result = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

bool has_attr(py::handle obj, const char* name) {
    PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
    if (value) {
        Py_DECREF(value);
        return true;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return false;
    }
    throw py::error_already_set();
}

Py_ssize_t length(py::handle obj) {
    const Py_ssize_t n = PyObject_Length(obj.ptr());
    if (n < 0) throw py::error_already_set();
    return n;
}

Py_ssize_t index_value(py::handle value) {
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!index) throw py::error_already_set();
    const Py_ssize_t result = PyLong_AsSsize_t(index.ptr());
    if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
    return result;
}

Py_ssize_t loop_count(py::handle value) {
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!index) throw py::error_already_set();
    const Py_ssize_t result = PyNumber_AsSsize_t(index.ptr(), nullptr);  // clips on overflow
    if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
    return result;
}

Py_ssize_t checked_mul(Py_ssize_t a, Py_ssize_t b, const char* what) {
    if (a < 0 || b < 0 || (a != 0 && b > PY_SSIZE_T_MAX / a)) {
        PyErr_Format(PyExc_OverflowError, "%s is too large: %zd x %zd does not fit in a size", what, a, b);
        throw py::error_already_set();
    }
    return a * b;
}

Py_ssize_t checked_add(Py_ssize_t a, Py_ssize_t b, const char* what) {
    if (a < 0 || b < 0 || a > PY_SSIZE_T_MAX - b) {
        PyErr_Format(PyExc_OverflowError, "%s is too large: %zd + %zd does not fit in a size", what, a, b);
        throw py::error_already_set();
    }
    return a + b;
}

namespace {

// Total physical memory in bytes, or 0 when the system does not tell.
unsigned long long physical_memory() {
#if defined(_WIN32)
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof(status);
    return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
#else
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return 0;
    const auto count = static_cast<unsigned long long>(pages);
    const auto size = static_cast<unsigned long long>(page_size);
    if (count > ~0ULL / size) return 0;
    return count * size;
#endif
}

}  // namespace

Py_ssize_t allocatable_bytes() {
    static const Py_ssize_t bytes = [] {
        const unsigned long long physical = physical_memory();
        const auto addressable = static_cast<unsigned long long>(PY_SSIZE_T_MAX);
        return static_cast<Py_ssize_t>(physical == 0 || physical > addressable ? addressable : physical);
    }();
    return bytes;
}

py::object item(py::handle obj, Py_ssize_t index) {
    py::object key = py::int_(index);
    PyObject* result = PyObject_GetItem(obj.ptr(), key.ptr());
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

py::object slice_key(const Bound& start, const Bound& stop) {
    py::object range =
        py::reinterpret_steal<py::object>(PySlice_New(start.get().ptr(), stop.get().ptr(), nullptr));
    if (!range) throw py::error_already_set();
    return range;
}

py::object slice(py::handle obj, const Bound& start, const Bound& stop) {
    py::object range = slice_key(start, stop);
    PyObject* result = PyObject_GetItem(obj.ptr(), range.ptr());
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

std::pair<py::object, py::object> unpack_pair(py::handle value) {
    py::object iterator = py::reinterpret_steal<py::object>(PyObject_GetIter(value.ptr()));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %s object",
                         Py_TYPE(value.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    py::object values[2];
    for (int i = 0; i < 2; ++i) {
        values[i] = py::reinterpret_steal<py::object>(PyIter_Next(iterator.ptr()));
        if (!values[i]) {
            if (PyErr_Occurred()) throw py::error_already_set();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw py::error_already_set();
        }
    }
    py::object extra = py::reinterpret_steal<py::object>(PyIter_Next(iterator.ptr()));
    if (extra) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred()) throw py::error_already_set();
    return {values[0], values[1]};
}

bool assertions_enabled() {
    static const bool enabled = py::module_::import("sys").attr("flags").attr("optimize").cast<int>() == 0;
    return enabled;
}

void raise(PyObject* exc_type, const std::string& message) {
    PyErr_SetString(exc_type, message.c_str());
    throw py::error_already_set();
}

void raise(py::handle exc_type, py::handle argument) {
    py::object error = py::reinterpret_borrow<py::object>(exc_type)(argument);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

void raise_in_context(py::handle exc_type, py::handle argument, py::error_already_set& caught) {
    py::object error = py::reinterpret_borrow<py::object>(exc_type)(argument);
    caught.restore();
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    PyException_SetContext(error.ptr(), value);  // steals the reference to value
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    // Restored rather than set, so the context is not replaced by whatever exception an
    // enclosing Python `except` block is handling.
    PyObject* error_type = reinterpret_cast<PyObject*>(Py_TYPE(error.ptr()));
    Py_INCREF(error_type);
    PyErr_Restore(error_type, error.release().ptr(), nullptr);
    throw py::error_already_set();
}

}  // namespace pyclass
