// The small native layer both extension modules share.
//
// Functions are described once by a parameter table. The table yields the text signature that
// `inspect.signature`, `help()` and scikit-learn's parameter introspection read, and it drives
// the binding of positional and keyword arguments, so the two cannot disagree. Classes are made
// the way the language makes them, by calling the metaclass with (name, bases, namespace), so
// they are ordinary Python classes that can be subclassed, pickled by reference and inspected.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <initializer_list>
#include <string>
#include <vector>

namespace py = pybind11;

namespace pyclass {

// One parameter of a native function. `default_literal` is the Python literal of the default
// (e.g. "None", "5", "'steps'"); a null pointer marks a required parameter.
struct Param {
    const char* name;
    const char* default_literal = nullptr;
    bool var_keyword = false;
};

// A `**name` parameter; it must come last.
inline Param var_keyword(const char* name) { return Param{name, nullptr, true}; }

class Function;

// The arguments of one call, bound to the parameter table.
class Args {
public:
    Args(const Function& function, std::vector<py::object> values, py::dict kwargs,
         std::vector<bool> by_keyword);

    // The value bound to the named parameter (its default when not passed).
    py::object operator[](const char* name) const;
    // Whether the named parameter was passed by the caller (positionally or by keyword).
    bool passed(const char* name) const;
    // The collected `**kwargs` dict (empty when the function has none).
    const py::dict& kwargs() const { return kwargs_; }

private:
    size_t index_of(const char* name) const;

    const Function& function_;
    std::vector<py::object> values_;
    py::dict kwargs_;
    std::vector<bool> passed_;
};

using Body = py::object (*)(const Args&);

// A native function: its name, parameter table, body and docstring.
class Function {
public:
    Function(const char* name, std::initializer_list<Param> params, Body body, const char* doc = "");

    const char* name() const { return name_; }
    // Whether `obj` is this function's callable object (false before it has been created).
    bool is(py::handle obj) const { return function_object_ != nullptr && obj.ptr() == function_object_; }
    const std::vector<Param>& params() const { return params_; }
    bool has_var_keyword() const { return has_var_keyword_; }

    // Binds the vectorcall arguments and runs the body; the result is a new reference, or
    // null with a Python error set. No C++ exception leaves this function.
    PyObject* call(PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;

    // The callable object for this function (created once, then shared).
    py::object function_object(PyCFunction trampoline, py::handle module_name);

private:
    Args bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const;
    void prepare_defaults();
    std::string text_signature() const;
    std::string positional_count_text() const;
    [[noreturn]] void keyword_error(const char* problem, PyObject* key) const;

    const char* name_;
    std::vector<Param> params_;  // without the `**kwargs` entry
    Param var_keyword_{};
    bool has_var_keyword_ = false;
    Body body_;
    const char* doc_;
    std::string docstring_;
    // One slot per parameter, null when required. Owned for the life of the process and never
    // released: these objects must not be touched by static destructors after the interpreter
    // has shut down.
    std::vector<PyObject*> defaults_;
    PyMethodDef method_def_{};
    PyObject* function_object_ = nullptr;  // owned for the life of the process
};

// Each native function gets its own C entry point, so the function object needs no bound
// `__self__` and presents itself exactly like a plain function.
template <Function* F>
PyObject* trampoline(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return F->call(args, static_cast<size_t>(nargsf), kwnames);
}

// A plain function object (module level, or the getter of a property).
template <Function* F>
py::object function(py::handle module_name) {
    return F->function_object(reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&trampoline<F>)),
                              module_name);
}

// A function wrapped so that it binds to instances like a function defined in a class body.
template <Function* F>
py::object method(py::handle module_name) {
    py::object fn = function<F>(module_name);
    return py::reinterpret_steal<py::object>(PyInstanceMethod_New(fn.ptr()));
}

// A read-only property whose getter is the given function.
template <Function* F>
py::object property(py::handle module_name) {
    return py::module_::import("builtins").attr("property")(function<F>(module_name));
}

// Creates a class by the ordinary protocol: the most derived metaclass of the bases (a
// conflict raises the interpreter's TypeError), its `__prepare__`, then metaclass(name, bases,
// namespace), with `__module__`, `__qualname__` and `__doc__` set in the namespace.
py::object make_class(const char* name, const py::tuple& bases, const py::dict& members,
                      py::handle module_name, const char* doc);

// `from module import name`, with the interpreter's error when the name is missing.
py::object import_from(const char* module, const char* name);

// Python's truth value of `a == b`, `a != b` and `a < b` (the operators, not identity).
bool py_eq(py::handle a, py::handle b);
bool py_ne(py::handle a, py::handle b);
bool py_lt(py::handle a, py::handle b);
bool py_le(py::handle a, py::handle b);
bool py_gt(py::handle a, py::handle b);
bool py_ge(py::handle a, py::handle b);
// The same against a plain int, as `a == 1` or `a > 0` read in Python.
inline bool py_eq(py::handle a, Py_ssize_t b) { return py_eq(a, py::int_(b)); }
inline bool py_ne(py::handle a, Py_ssize_t b) { return py_ne(a, py::int_(b)); }
inline bool py_lt(py::handle a, Py_ssize_t b) { return py_lt(a, py::int_(b)); }
inline bool py_le(py::handle a, Py_ssize_t b) { return py_le(a, py::int_(b)); }
inline bool py_gt(py::handle a, Py_ssize_t b) { return py_gt(a, py::int_(b)); }
inline bool py_ge(py::handle a, Py_ssize_t b) { return py_ge(a, py::int_(b)); }

// `isinstance(obj, cls)` with the interpreter's error for a bad second argument.
bool is_instance(py::handle obj, py::handle cls);
// `hasattr(obj, name)`.
bool has_attr(py::handle obj, const char* name);
// `len(obj)`.
Py_ssize_t length(py::handle obj);
// `operator.index(value)` as a C integer, as `range(value)` takes it (TypeError for a float,
// OverflowError beyond the platform's range).
Py_ssize_t index_value(py::handle value);
// The number of turns of `for _ in range(value)`: like index_value, but a count beyond the
// platform's range is clipped to its largest value (such a loop never ends in Python either).
Py_ssize_t loop_count(py::handle value);

// Sizes and indices that must never wrap around: `a * b` and `a + b` for non-negative
// operands, or OverflowError("<what> is too large ...") when the result leaves Py_ssize_t.
Py_ssize_t checked_mul(Py_ssize_t a, Py_ssize_t b, const char* what);
Py_ssize_t checked_add(Py_ssize_t a, Py_ssize_t b, const char* what);
// The most bytes one buffer could ever get on this machine: what Py_ssize_t addresses, capped
// by the physical memory (read once; uncapped where the system does not tell it).
Py_ssize_t allocatable_bytes();

// `obj[index]` and `obj[start:stop]` with Python's meaning (None for an open bound).
py::object item(py::handle obj, Py_ssize_t index);
// One bound of a slice: None (an open bound), a plain int, or any Python object.
class Bound {
public:
    Bound(py::handle value) : value_(py::reinterpret_borrow<py::object>(value)) {}
    Bound(Py_ssize_t value) : value_(py::int_(value)) {}
    template <class Policy>
    Bound(const py::detail::accessor<Policy>& value) : value_(value) {}
    py::handle get() const { return value_; }

private:
    py::object value_;
};

py::object slice(py::handle obj, const Bound& start, const Bound& stop);
// The slice object `start:stop`, for keys such as `X[:, start:stop]`.
py::object slice_key(const Bound& start, const Bound& stop);
// `:`, every row.
inline py::object all_rows() { return slice_key(py::none(), py::none()); }

// `first, second = value`, with the interpreter's unpacking errors.
std::pair<py::object, py::object> unpack_pair(py::handle value);

// Whether `assert` statements run (they do not under `python -O`).
bool assertions_enabled();

// Raise `exc_type(message)` as a Python exception from a function body.
[[noreturn]] void raise(PyObject* exc_type, const std::string& message);
[[noreturn]] void raise(py::handle exc_type, py::handle argument);
// Raise `exc_type(argument)` with `caught` as its implicit context (`__context__`, not
// `__cause__`), as a `raise` inside an `except` block does.
[[noreturn]] void raise_in_context(py::handle exc_type, py::handle argument, py::error_already_set& caught);

// How a member of a class presents its native function (`method<F>` or `property<F>`).
using MemberMaker = py::object (*)(py::handle module_name);

// The native members of one class, each filed under its slot beside its body. `Slot` is an
// enum class whose enumerators, ending with `count`, give the order in which the class body
// binds the members, whatever the order in which the source files define them.
template <class Slot>
class MemberTable {
public:
    bool file(Slot slot, const Function& function, MemberMaker make) {
        entries_[index(slot)] = Entry{&function, make};
        return true;
    }
    // The function filed under `slot`; `members` has checked that there is one.
    const Function& function(Slot slot) const { return *entries_[index(slot)].function; }
    // The class namespace: each member under its function's own name, in slot order.
    py::dict members(py::handle module_name) const {
        py::dict ns;
        for (const Entry& entry : entries_) {
            if (entry.function == nullptr) raise(PyExc_ImportError, "a class member was never defined");
            ns[entry.function->name()] = entry.make(module_name);
        }
        return ns;
    }

private:
    struct Entry {
        const Function* function = nullptr;
        MemberMaker make = nullptr;
    };
    static size_t index(Slot slot) { return static_cast<size_t>(slot); }
    std::array<Entry, static_cast<size_t>(Slot::count)> entries_{};
};

// The members of a class, in the order given, each under its function's own name.
template <Function*... F>
py::dict methods(py::handle module_name) {
    py::dict ns;
    ((ns[F->name()] = method<F>(module_name)), ...);
    return ns;
}

// Binds each function in the module under its own name.
template <Function*... F>
void add_functions(py::module_& m) {
    py::object module_name = m.attr("__name__");
    ((m.attr(F->name()) = function<F>(module_name)), ...);
}

// A module's globals, read at call time so callers can rebind them.
class ModuleGlobals {
public:
    void attach(py::handle module);
    // The current value of a global; NameError when it is not bound.
    py::object get(const char* name) const;
    void set(const char* name, py::handle value) const;
    py::handle module() const { return module_; }
    py::object name() const;

private:
    PyObject* module_ = nullptr;  // owned for the life of the process
};

// The message catalogue a module binds as `Messages`, read from its globals at the call:
// `Messages.get_message(*args, message_id=message_id)`.
py::object catalogue_message(const ModuleGlobals& globals, const char* message_id,
                             const py::tuple& args = py::tuple());
// `raise Exception(<that message>)`.
[[noreturn]] void raise_catalogue(const ModuleGlobals& globals, const char* message_id,
                                  const py::tuple& args = py::tuple());
// The same raised inside an `except` block: the caught error becomes its implicit context.
[[noreturn]] void raise_catalogue_from(const ModuleGlobals& globals, const char* message_id,
                                       const py::tuple& args, py::error_already_set& caught);

// One import statement of a module body: `from module import names...`, or, with an alias,
// `import module as alias`.
struct ImportLine {
    const char* module;
    std::vector<const char*> names;
    const char* alias = nullptr;
};
// How a name is imported; a module passes its own to bind an equivalent for a name that a
// dependency has dropped.
using NameImporter = py::object (*)(const char* module, const char* name);
// Runs the import statements in order, binding every name in the module.
void run_imports(py::module_& m, const std::vector<ImportLine>& lines,
                 NameImporter import_name = &import_from);

// Runs a module body once per process; a second initialisation (a re-import after the module
// was dropped from sys.modules, or a second interpreter) is refused with ImportError.
int run_module_body(PyObject* module, void (*body)(py::module_&), bool& initialised) noexcept;

}  // namespace pyclass

// clang-format off: the slot table and the module definition read best one field group a line.
// Defines the entry point of an extension module whose body is `body(py::module_&)`.
#define PYCLASS_MODULE(name, body)                                                           \
    static bool name##_initialised = false;                                                  \
    static int name##_exec(PyObject* module) {                                               \
        return pyclass::run_module_body(module, &body, name##_initialised);                  \
    }                                                                                        \
    static PyModuleDef_Slot name##_slots[] = {                                               \
        {Py_mod_exec, reinterpret_cast<void*>(&name##_exec)}, {0, nullptr}};                 \
    static PyModuleDef name##_definition = {                                                 \
        PyModuleDef_HEAD_INIT, #name, nullptr, 0, nullptr, name##_slots,                     \
        nullptr, nullptr, nullptr};                                                          \
    extern "C" PYBIND11_EXPORT PyObject* PyInit_##name() {                                   \
        return PyModuleDef_Init(&name##_definition);                                         \
    }
// clang-format on

// Defines the native function `id`: its Python name, docstring and parameter table stand
// directly above its body, which follows the macro and receives the bound arguments as `a`.
#define PYCLASS_FUNCTION(id, python_name, doc, ...)                    \
    py::object id##_body(const pyclass::Args& a);                      \
    pyclass::Function id{python_name, {__VA_ARGS__}, &id##_body, doc}; \
    py::object id##_body([[maybe_unused]] const pyclass::Args& a)

// PYCLASS_FUNCTION for a member of a class, filed in `table` under `slot`; `kind` is `method`
// or `property`.
#define PYCLASS_MEMBER(table, slot, kind, id, python_name, doc, ...)     \
    py::object id##_body(const pyclass::Args& a);                        \
    pyclass::Function id{python_name, {__VA_ARGS__}, &id##_body, doc};   \
    const bool id##_filed = (table).file(slot, id, &pyclass::kind<&id>); \
    py::object id##_body([[maybe_unused]] const pyclass::Args& a)
