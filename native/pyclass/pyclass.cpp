// The native layer's core: argument binding by parameter table, function objects with real
// signatures, class creation, module globals and the module entry point.
#include "pyclass/pyclass.hpp"

#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

namespace pyclass {

namespace {

std::string quoted_list(const std::vector<std::string>& names) {
    // CPython's wording: 'a', 'a' and 'b', 'a', 'b', and 'c'.
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                text += " and ";
            } else {
                text += (i + 1 == names.size()) ? ", and " : ", ";
            }
        }
        text += "'" + names[i] + "'";
    }
    return text;
}

[[noreturn]] void throw_type_error(const std::string& message) { throw py::type_error(message); }

// The exception a Python implementation would raise for a C++ failure, with a message that
// names the function (never the C++ exception's own text, which means nothing to a caller).
void set_error_of_current_exception(const char* function) noexcept {
    try {
        throw;
    } catch (std::bad_alloc&) {  // bad_array_new_length included
        PyErr_Format(PyExc_MemoryError, "%s(): not enough memory for the request", function);
    } catch (std::length_error&) {  // a container asked for more than it can ever hold
        PyErr_Format(PyExc_MemoryError, "%s(): the requested size can never be allocated", function);
    } catch (std::overflow_error&) {
        PyErr_Format(PyExc_OverflowError, "%s(): a size or count is too large", function);
    } catch (std::out_of_range&) {
        PyErr_Format(PyExc_IndexError, "%s(): an index is out of range", function);
    } catch (std::logic_error&) {
        PyErr_Format(PyExc_ValueError, "%s(): an argument has an invalid value", function);
    } catch (std::exception& e) {
        PyErr_Format(PyExc_RuntimeError, "%s() failed: %s", function, e.what());
    } catch (...) {
        PyErr_Format(PyExc_RuntimeError, "%s() failed", function);
    }
}

// The C API reports exhausted memory with a bare MemoryError(); give it a message that says
// where, keeping the type and the traceback.
void explain_bare_memory_error(const char* function) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_MemoryError)) return;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* args = value ? PyObject_GetAttrString(value, "args") : nullptr;
    if (!args) PyErr_Clear();
    const bool bare = type == PyExc_MemoryError && args && PyTuple_Check(args) && PyTuple_GET_SIZE(args) == 0;
    Py_XDECREF(args);
    if (!bare) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    PyErr_Format(PyExc_MemoryError, "%s(): not enough memory for the request", function);
    if (!traceback) return;
    PyObject* no_traceback = nullptr;
    PyErr_Fetch(&type, &value, &no_traceback);
    PyErr_NormalizeException(&type, &value, &no_traceback);
    Py_XDECREF(no_traceback);
    if (value) PyException_SetTraceback(value, traceback);
    PyErr_Restore(type, value, traceback);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Args

Args::Args(const Function& function, std::vector<py::object> values, py::dict kwargs,
           std::vector<bool> by_keyword)
    : function_(function),
      values_(std::move(values)),
      kwargs_(std::move(kwargs)),
      passed_(std::move(by_keyword)) {}

size_t Args::index_of(const char* name) const {
    const auto& params = function_.params();
    for (size_t i = 0; i < params.size(); ++i) {
        if (std::strcmp(params[i].name, name) == 0) return i;
    }
    throw std::logic_error(std::string("native function ") + function_.name() + " has no parameter " + name);
}

py::object Args::operator[](const char* name) const { return values_[index_of(name)]; }

bool Args::passed(const char* name) const { return passed_[index_of(name)]; }

// ---------------------------------------------------------------------------------------------
// Function

Function::Function(const char* name, std::initializer_list<Param> params, Body body, const char* doc)
    : name_(name), body_(body), doc_(doc) {
    for (const Param& p : params) {
        if (p.var_keyword) {
            var_keyword_ = p;
            has_var_keyword_ = true;
        } else {
            params_.push_back(p);
        }
    }
}

std::string Function::text_signature() const {
    std::string text = std::string(name_) + "(";
    bool first = true;
    for (const Param& p : params_) {
        if (!first) text += ", ";
        first = false;
        text += p.name;
        if (p.default_literal) text += std::string("=") + p.default_literal;
    }
    if (has_var_keyword_) {
        if (!first) text += ", ";
        text += std::string("**") + var_keyword_.name;
    }
    return text + ")\n--\n\n";
}

void Function::prepare_defaults() {
    py::object literal_eval = py::module_::import("ast").attr("literal_eval");
    defaults_.clear();
    for (const Param& p : params_) {
        defaults_.push_back(p.default_literal ? literal_eval(p.default_literal).release().ptr() : nullptr);
    }
}

py::object Function::function_object(PyCFunction trampoline, py::handle module_name) {
    if (function_object_) return py::reinterpret_borrow<py::object>(function_object_);
    prepare_defaults();
    docstring_ = text_signature() + doc_;
    method_def_.ml_name = name_;
    method_def_.ml_meth = trampoline;
    method_def_.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    method_def_.ml_doc = docstring_.c_str();
    function_object_ = PyCFunction_NewEx(&method_def_, nullptr, module_name.ptr());
    if (!function_object_) throw py::error_already_set();
    return py::reinterpret_borrow<py::object>(function_object_);
}

void Function::keyword_error(const char* problem, PyObject* key) const {
    PyErr_Format(PyExc_TypeError, "%s() %s '%U'", name_, problem, key);
    throw py::error_already_set();
}

std::string Function::positional_count_text() const {
    size_t required = 0;
    for (const Param& p : params_) required += p.default_literal ? 0 : 1;
    if (required == params_.size()) return std::to_string(required);
    return "from " + std::to_string(required) + " to " + std::to_string(params_.size());
}

Args Function::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
    const size_t n = params_.size();
    std::vector<py::object> values(n);
    std::vector<bool> passed(n, false);
    py::dict kwargs;

    if (static_cast<size_t>(nargs) > n) {
        const std::string given = std::to_string(nargs);
        throw_type_error(std::string(name_) + "() takes " + positional_count_text() + " positional argument" +
                         (n == 1 ? "" : "s") + " but " + given + (nargs == 1 ? " was" : " were") + " given");
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        values[i] = py::reinterpret_borrow<py::object>(args[i]);
        passed[i] = true;
    }

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        py::object value = py::reinterpret_borrow<py::object>(args[nargs + k]);
        size_t i = 0;
        // Compared as str objects: any keyword Python accepts, even one that is not valid
        // UTF-8, binds or is reported.
        while (i < n && PyUnicode_CompareWithASCIIString(key, params_[i].name) != 0) ++i;
        if (i < n) {
            if (passed[i]) keyword_error("got multiple values for argument", key);
            values[i] = std::move(value);
            passed[i] = true;
        } else if (has_var_keyword_) {
            if (kwargs.contains(key)) keyword_error("got multiple values for keyword argument", key);
            kwargs[key] = std::move(value);
        } else {
            keyword_error("got an unexpected keyword argument", key);
        }
    }

    std::vector<std::string> missing;
    for (size_t i = 0; i < n; ++i) {
        if (passed[i]) continue;
        if (params_[i].default_literal) {
            values[i] = py::reinterpret_borrow<py::object>(defaults_[i]);
        } else {
            missing.emplace_back(params_[i].name);
        }
    }
    if (!missing.empty()) {
        throw_type_error(std::string(name_) + "() missing " + std::to_string(missing.size()) +
                         " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                         quoted_list(missing));
    }
    return Args(*this, std::move(values), std::move(kwargs), std::move(passed));
}

PyObject* Function::call(PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    try {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        Args bound = bind(args, nargs, kwnames);
        py::object result = body_(bound);
        if (!result) return py::none().release().ptr();
        return result.release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
        explain_bare_memory_error(name_);
    } catch (py::cast_error&) {  // a value of a type the C++ code cannot take
        PyErr_Format(PyExc_TypeError, "%s(): a value has a type this function cannot use", name_);
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (...) {
        set_error_of_current_exception(name_);
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Classes and helpers

namespace {

// `inspect.signature(cls.__init__)` without its first parameter, as `inspect` reports a class.
py::object constructor_signature(py::handle cls) {
    py::module_ inspect = py::module_::import("inspect");
    py::object signature = inspect.attr("signature")(cls.attr("__init__"));
    py::list parameters(signature.attr("parameters").attr("values")());
    const py::object var_positional = inspect.attr("Parameter").attr("VAR_POSITIONAL");
    if (parameters.size() > 0 && py_ne(parameters[0].attr("kind"), var_positional)) {
        parameters = py::list(slice(parameters, py::int_(1), py::none()));
    }
    return signature.attr("replace")(py::arg("parameters") = parameters);
}

// Interpreters before 3.13 skip a native `__init__` when they look for a class's signature and
// fail with "no signature found for builtin type". A class-level `__signature__` is read first
// by every version, so classes answer through this descriptor; instances have none.
PyObject* class_signature_get(PyObject*, PyObject* instance, PyObject* owner) noexcept {
    if ((instance != nullptr && instance != Py_None) || owner == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "__signature__");
        return nullptr;
    }
    try {
        return constructor_signature(owner).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "internal error while reading a class signature");
    }
    return nullptr;
}

py::object class_signature_descriptor() {
    // Created once and kept for the life of the process, like the function objects.
    static PyObject* descriptor = [] {
        static PyType_Slot slots[] = {{Py_tp_descr_get, reinterpret_cast<void*>(&class_signature_get)},
                                      {0, nullptr}};
        static PyType_Spec signature_type = {"pyclass.ClassSignature", sizeof(PyObject), 0,
                                             Py_TPFLAGS_DEFAULT, slots};
        PyObject* type = PyType_FromSpec(&signature_type);
        if (type == nullptr) throw py::error_already_set();
        PyObject* instance = PyObject_CallNoArgs(type);
        Py_DECREF(type);
        if (instance == nullptr) throw py::error_already_set();
        return instance;
    }();
    return py::reinterpret_borrow<py::object>(descriptor);
}

}  // namespace

py::object make_class(const char* name, const py::tuple& bases, const py::dict& members,
                      py::handle module_name, const char* doc) {
    py::object builtins = py::module_::import("builtins");
    py::object type_of = builtins.attr("type");
    py::object winner = bases.empty() ? type_of : type_of(bases[0]);
    for (py::handle base : bases) {
        py::object meta = type_of(base);
        if (PyObject_IsSubclass(winner.ptr(), meta.ptr()) == 1) continue;
        if (PyObject_IsSubclass(meta.ptr(), winner.ptr()) == 1) {
            winner = meta;
            continue;
        }
        throw_type_error(
            "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
            "subclass of the metaclasses of all its bases");
    }
    py::object namespace_ = winner.attr("__prepare__")(name, bases);
    namespace_["__module__"] = module_name;
    namespace_["__qualname__"] = py::str(name);
    namespace_["__doc__"] = py::str(doc);
    for (auto item : members) namespace_[item.first] = item.second;
    if (members.contains("__init__")) namespace_["__signature__"] = class_signature_descriptor();
    return winner(name, bases, namespace_);
}

void ModuleGlobals::attach(py::handle module) {
    Py_XDECREF(module_);
    module_ = module.inc_ref().ptr();
}

py::object ModuleGlobals::get(const char* name) const {
    PyObject* dict = PyModule_GetDict(module_);          // borrowed
    PyObject* value = PyDict_GetItemString(dict, name);  // borrowed
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

void ModuleGlobals::set(const char* name, py::handle value) const {
    if (PyDict_SetItemString(PyModule_GetDict(module_), name, value.ptr()) < 0) {
        throw py::error_already_set();
    }
}

py::object ModuleGlobals::name() const {
    return py::reinterpret_borrow<py::object>(module_).attr("__name__");
}

py::object catalogue_message(const ModuleGlobals& globals, const char* message_id, const py::tuple& args) {
    py::dict keywords;
    keywords["message_id"] = message_id;
    return globals.get("Messages").attr("get_message")(*args, **keywords);
}

void raise_catalogue(const ModuleGlobals& globals, const char* message_id, const py::tuple& args) {
    raise(PyExc_Exception, catalogue_message(globals, message_id, args));
}

void raise_catalogue_from(const ModuleGlobals& globals, const char* message_id, const py::tuple& args,
                          py::error_already_set& caught) {
    raise_in_context(PyExc_Exception, catalogue_message(globals, message_id, args), caught);
}

void run_imports(py::module_& m, const std::vector<ImportLine>& lines, NameImporter import_name) {
    for (const ImportLine& line : lines) {
        if (line.alias) {
            m.attr(line.alias) = py::module_::import(line.module);
            continue;
        }
        for (const char* name : line.names) m.attr(name) = import_name(line.module, name);
    }
}

int run_module_body(PyObject* module, void (*body)(py::module_&), bool& initialised) noexcept {
    if (initialised) {
        PyErr_Format(PyExc_ImportError,
                     "%s can be initialised only once per process; reuse the loaded module",
                     PyModule_GetName(module));
        return -1;
    }
    try {
        py::detail::get_internals();
        auto m = py::reinterpret_borrow<py::module_>(module);
        body(m);
        initialised = true;
        return 0;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::exception& e) {
        PyErr_Format(PyExc_ImportError, "initialising %s failed: %s", PyModule_GetName(module), e.what());
    }
    return -1;
}

}  // namespace pyclass
