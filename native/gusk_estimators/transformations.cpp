// The data transformation schemes, their inverses, the multivariate column encoder and the
// folding of per-target row blocks.
//
// Every element function is evaluated with NumPy's ufuncs on whole arrays, in the same order of
// operations as the one-number formula, so each value equals what NumPy gives element by element.
#include "gusk_estimators/gusk.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <utility>

namespace gusk {

namespace {

using pyclass::Args;

// `values` with the entries where `negate_where` holds negated (in place).
py::object negate_where(py::object values, py::handle negate_where) {
    np().attr("negative")(values, py::arg("out") = values, py::arg("where") = negate_where);
    return values;
}

// Where v >= 0 fails (negative values and NaN, which take the second branch of the
// one-number formulas).
py::object second_branch(py::handle v) {
    py::object numpy = np();
    return numpy.attr("logical_not")(numpy.attr("greater_equal")(v, 0));
}

// The values as an array of at least one dimension: ufuncs turn 0-d results into scalars,
// which cannot take an `out=` argument.
py::object as_array(py::handle values) {
    py::object numpy = np();
    py::object array = numpy.attr("asarray")(values);
    // Objects holding numbers are taken as floats, as the one-number formulas would.
    if (py_eq(array.attr("dtype").attr("kind"), py::str("O"))) {
        array = array.attr("astype")(numpy.attr("float64"));
    }
    return array.attr("ndim").cast<int>() == 0 ? array.attr("reshape")(1) : array;
}

// The result in the shape of the input; NumPy scalars stay scalars, as the one-number
// functions would give.
py::object like_input(py::handle input, py::object result) {
    py::object numpy = np();
    if (is_instance(input, numpy.attr("generic"))) return result.attr("reshape")(py::tuple())[py::tuple()];
    if (is_instance(input, numpy.attr("ndarray")) && input.attr("ndim").cast<int>() == 0) {
        return result.attr("reshape")(py::tuple());
    }
    return result;
}

// log(1 + v) for v >= 0, -log(-v + 1) otherwise (NaN takes the second branch). For v < 0,
// -v + 1 is |v| + 1 exactly, so both branches are log(1 + |v|) up to the sign.
py::object signed_log(py::handle values) {
    py::object numpy = np();
    py::object v = as_array(values);
    py::object magnitude = numpy.attr("add")(py::int_(1), numpy.attr("absolute")(v));
    py::object result = numpy.attr("log")(magnitude, py::arg("out") = magnitude);
    return like_input(values, negate_where(result, second_branch(v)));
}

// exp(v) - 1 for v >= 0, 1 - exp(-v) otherwise; 1 - exp(|v|) is -(exp(|v|) - 1) exactly.
py::object inverse_signed_log(py::handle values) {
    py::object numpy = np();
    py::object v = as_array(values);
    py::object grown = numpy.attr("exp")(numpy.attr("absolute")(v));
    py::object result = numpy.attr("subtract")(grown, py::int_(1), py::arg("out") = grown);
    return like_input(values, negate_where(result, second_branch(v)));
}

py::object sqrt_scheme(py::handle v) { return np().attr("sqrt")(v); }

py::object reciprocal_scheme(py::handle v) {
    py::object numpy = np();
    py::object shifted = numpy.attr("add")(v, py::int_(1));
    return numpy.attr("true_divide")(py::int_(1), shifted, py::arg("out") = shifted);
}

py::object anscombe_scheme(py::handle v) {
    py::object numpy = np();
    py::object shifted = numpy.attr("add")(v, py::float_(0.375));
    numpy.attr("sqrt")(shifted, py::arg("out") = shifted);
    return numpy.attr("multiply")(py::int_(2), shifted, py::arg("out") = shifted);
}

py::object fisher_scheme(py::handle v) {
    py::object numpy = np();
    py::object clipped = numpy.attr("clip")(v, -0.99999999, 0.99999999);
    return numpy.attr("arctanh")(clipped, py::arg("out") = clipped);
}

py::object square(py::handle y) { return np().attr("square")(y); }
py::object inverse_reciprocal(py::handle y) { return np().attr("reciprocal")(y) - py::int_(1); }
py::object inverse_anscombe(py::handle y) { return square(y) / py::float_(4.0) - py::float_(0.375); }
py::object hyperbolic_tangent(py::handle y) { return np().attr("tanh")(y); }

using ElementFunction = py::object (*)(py::handle);

// A data transformation scheme: the forward element function applied to the feature and target
// columns (after each column is divided by, or has subtracted, its mean where the scheme says
// so) and the inverse that brings predictions back (before the mean is restored).
struct Scheme {
    const char* name;
    enum Mean { none, division, subtraction } mean;
    ElementFunction forward;  // null: the mean step alone
    ElementFunction inverse;
};

constexpr Scheme kSchemes[] = {
    {"log", Scheme::none, &signed_log, &inverse_signed_log},
    {"mean_division", Scheme::division, nullptr, nullptr},
    {"mean_substraction", Scheme::subtraction, nullptr, nullptr},
    {"mean_division_log", Scheme::division, &signed_log, &inverse_signed_log},
    {"mean_substraction_log", Scheme::subtraction, &signed_log, &inverse_signed_log},
    {"sqrt", Scheme::none, &sqrt_scheme, &square},
    {"reciprocal", Scheme::none, &reciprocal_scheme, &inverse_reciprocal},
    {"anscombe", Scheme::none, &anscombe_scheme, &inverse_anscombe},
    {"fisher", Scheme::none, &fisher_scheme, &hyperbolic_tangent},
};

// The selected columns as a writable view of X when they are one ascending run of valid
// column indices (the usual layout), so schemes can work without gathering and scattering;
// null otherwise.
py::object column_run_view(py::handle X, py::handle clm_index) {
    if (!PyList_Check(clm_index.ptr()) || PyList_GET_SIZE(clm_index.ptr()) == 0) return py::object();
    if (X.attr("ndim").cast<int>() != 2) return py::object();
    const Py_ssize_t n_columns = item(X.attr("shape"), 1).cast<Py_ssize_t>();
    Py_ssize_t first = 0;
    const Py_ssize_t count = PyList_GET_SIZE(clm_index.ptr());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* entry = PyList_GET_ITEM(clm_index.ptr(), i);
        if (!PyLong_CheckExact(entry)) return py::object();
        const long long column = PyLong_AsLongLong(entry);
        if (column == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return py::object();
        }
        // Range first, so that `first + i` below stays within the column count.
        if (column < 0 || column >= n_columns) return py::object();
        if (i == 0) first = static_cast<Py_ssize_t>(column);
        if (column != first + i) return py::object();
    }
    return X[py::make_tuple(all_rows(), slice_key(first, first + count))];
}

bool scheme_is(py::handle scheme, const char* name) { return py_eq(scheme, py::str(name)); }

// The row of `scheme` (compared with ==, in the table's order), or null for an unknown one.
const Scheme* scheme_named(py::handle scheme) {
    for (const Scheme& row : kSchemes) {
        if (scheme_is(scheme, row.name)) return &row;
    }
    return nullptr;
}

// Divides (or subtracts) each selected column by its mean over all rows; a zero mean divides
// by 1.0. Changes x in place and returns the means. `run` is the columns' view, when they form
// one (then no gather or scatter is needed).
py::object mean_transform(py::handle clm_index, py::handle x, bool division, py::handle run) {
    py::object numpy = np();
    py::object key = py::make_tuple(all_rows(), clm_index);
    py::object selected = run ? py::reinterpret_borrow<py::object>(run) : py::object(x[key]);
    // The means are always taken over the gathered columns: NumPy's reductions may round
    // differently in the last bit over a view of the same values.
    py::object mean_clm = numpy.attr("mean")(run ? py::object(x[key]) : selected, py::arg("axis") = 0);
    if (division) mean_clm[numpy.attr("equal")(mean_clm, 0)] = py::float_(1.0);
    const char* operation = division ? "true_divide" : "subtract";
    if (run) {
        numpy.attr(operation)(selected, mean_clm, py::arg("out") = selected);
    } else {
        x[key] = numpy.attr(operation)(selected, mean_clm);
    }
    return mean_clm;
}

// `sum((X <= 0).any(1)) > 0`: is any element of any column of X at most zero?
bool any_non_positive(py::handle X) {
    py::object non_positive =
        py::reinterpret_steal<py::object>(PyObject_RichCompare(X.ptr(), py::int_(0).ptr(), Py_LE));
    if (!non_positive) throw py::error_already_set();
    py::object rows_with_non_positive = non_positive.attr("any")(1);
    py::object numpy = np();
    if (is_instance(rows_with_non_positive, numpy.attr("ndarray")) &&
        rows_with_non_positive.attr("ndim").cast<int>() == 1) {
        return numpy.attr("count_nonzero")(rows_with_non_positive).cast<long long>() > 0;
    }
    py::object total = py::module_::import("builtins").attr("sum")(rows_with_non_positive);
    return py_gt(total, 0);
}

GUSK_METHOD(input_data_transformation, "_input_data_transformation",
            "Apply the data transformation scheme to the feature and target columns of a copy of X.",
            {"self"}, {"X"}) {
    py::object self = a["self"];
    py::object X = a["X"];
    if (scheme_is(self.attr("data_transformation_scheme"), "auto")) {
        self.attr("data_transformation_scheme") =
            any_non_positive(X) ? py::object(py::none()) : py::object(py::str("log"));
    }
    py::object scheme = self.attr("data_transformation_scheme");
    if (is_none(scheme)) return X;
    py::object numpy = np();
    if (!is_instance(X, py::make_tuple(numpy.attr("ndarray"), numpy.attr("generic")))) return X;

    // A private float64 copy: the caller's array is never modified.
    X = X.attr("copy")();
    X = X.attr("astype")(py::module_::import("builtins").attr("float"), py::arg("copy") = false);
    py::object builtins = py::module_::import("builtins");
    py::object clm_index = builtins.attr("list")(
        builtins.attr("set")(self.attr("feature_columns") + self.attr("target_columns")));
    py::object key = py::make_tuple(all_rows(), clm_index);
    py::object run = column_run_view(X, clm_index);

    const auto apply = [&](ElementFunction element) {
        if (run) {
            numpy.attr("copyto")(run, element(run));
        } else {
            X[key] = element(X[key]);
        }
    };
    const Scheme* row = scheme_named(scheme);
    if (row == nullptr) raise_catalogue("ORVANE0042E");
    if (row->mean != Scheme::none) {
        self.attr("mean_clm_index") = clm_index;
        self.attr("mean_clm") = mean_transform(clm_index, X, row->mean == Scheme::division, run);
    }
    if (row->forward != nullptr) apply(row->forward);
    return X;
}

// Multiplies (division schemes) or adds back (subtraction schemes) each target's stored mean.
py::object inv_mean_transform(py::object y, py::handle target_len, py::handle mean_clm,
                              py::handle mean_clm_index, bool division) {
    py::object operator_module = py::module_::import("operator");
    py::object op_func = operator_module.attr(division ? "mul" : "add");
    py::object m = mean_clm[mean_clm_index];
    if (py_gt(target_len, 1)) {
        py::object original_shape = y.attr("shape");
        y = y.attr("reshape")(-1, target_len);
        y = op_func(y, m);
        return y.attr("reshape")(original_shape);
    }
    return op_func(y, m);
}

GUSK_METHOD(output_data_transformation, "_output_data_transformation",
            "Bring predictions back from the transformed scale to the scale of the raw data.", {"self"},
            {"y"}) {
    py::object self = a["self"];
    py::object y = a["y"];
    py::object scheme = self.attr("data_transformation_scheme");
    if (is_none(scheme)) return y;
    py::object numpy = np();
    if (!is_instance(y, py::make_tuple(numpy.attr("ndarray"), numpy.attr("generic")))) return y;

    const Scheme* row = scheme_named(scheme);
    if (row == nullptr) return y;
    py::object values = row->inverse != nullptr ? row->inverse(y) : y;
    if (row->mean == Scheme::none) return values;
    return inv_mean_transform(std::move(values), py::int_(length(self.attr("target_columns"))),
                              self.attr("mean_clm"), self.attr("mean_clm_index"),
                              row->mean == Scheme::division);
    return y;
}

// ---------------------------------------------------------------------------------------------

GUSK_METHOD(multi_variate_col_encoder, "_multi_variate_col_encoder",
            "Append one indicator column per target telling which target each step-major row serves.",
            {"self"}, {"Xt"}) {
    py::object self = a["self"];
    py::object Xt = a["Xt"];
    const Py_ssize_t n_targets = length(self.attr("target_columns"));
    if (n_targets <= 1) return Xt;
    py::object first = item(self.attr("transformer_steps"), 0);
    if (!is_instance_of_globals(first, flatten_family())) return Xt;

    const Py_ssize_t rows = length(Xt);
    // `int(len(Xt) / n_targets)`: true division, then truncation, as the Python method counts.
    const auto complete_blocks = static_cast<Py_ssize_t>(static_cast<double>(rows) / n_targets);
    const Py_ssize_t cells_count = pyclass::checked_mul(rows, n_targets, "the column-encoding mask");
    pyclass::checked_mul(cells_count, static_cast<Py_ssize_t>(sizeof(double)), "the column-encoding mask");
    py::array_t<double> col_mask({rows, n_targets});
    double* cells = col_mask.mutable_data();
    std::memset(cells, 0, sizeof(double) * static_cast<size_t>(cells_count));
    for (Py_ssize_t block = 0; block < complete_blocks; ++block) {
        for (Py_ssize_t target = 0; target < n_targets; ++target) {
            cells[(block * n_targets + target) * n_targets + target] = 1.0;
        }
    }
    return np().attr("hstack")(py::make_tuple(Xt, col_mask));
}

// ---------------------------------------------------------------------------------------------
// What each scheme can represent. The element functions keep their values for any input (NaN,
// infinities, clipping); fitting is where data outside a scheme's domain is refused, since a
// model trained on NaN, clipped or exploded values forecasts nonsense without a word.

// The first value of `column` outside the domain of `scheme`, with what the scheme needs, or
// nothing when every value (NaN aside) is representable.
std::optional<std::pair<std::string, std::string>> value_outside_domain(py::handle scheme,
                                                                        py::handle column) {
    py::object numpy = np();
    const auto first_where = [&](py::object mask) -> py::object {
        if (!truthy(mask.attr("any")())) return py::object();
        return item(column, index_value(numpy.attr("argmax")(mask)));
    };
    py::object found;
    std::string need;
    if (scheme_is(scheme, "sqrt")) {
        found = first_where(numpy.attr("less")(column, 0));
        need = "values of at least 0";
    } else if (scheme_is(scheme, "anscombe")) {
        found = first_where(numpy.attr("less")(column, -0.375));
        need = "values of at least -0.375";
    } else if (scheme_is(scheme, "reciprocal")) {
        found = first_where(numpy.attr("equal")(column, -1));
        need = "values other than -1";
    } else if (scheme_is(scheme, "fisher")) {
        found = first_where(numpy.attr("greater")(numpy.attr("absolute")(column), 1));
        need = "values between -1 and 1";
    } else if (scheme_is(scheme, "mean_division") || scheme_is(scheme, "mean_division_log")) {
        // A mean at rounding-error distance from zero divides the column into huge values.
        py::object mean = numpy.attr("mean")(column);
        py::object scale = numpy.attr("nanmax")(numpy.attr("absolute")(column));
        const bool tiny = truthy(numpy.attr("isfinite")(mean)) && py_gt(scale, 0) &&
                          py_le(numpy.attr("absolute")(mean), scale * py::float_(1e-8));
        if (tiny)
            return std::make_pair("a mean of " + py::str(mean).cast<std::string>(),
                                  std::string("a column mean clearly away from 0 (it divides by the mean)"));
    }
    if (!found) return std::nullopt;
    return std::make_pair("the value " + py::str(found).cast<std::string>(), need);
}

}  // namespace

void refuse_data_outside_scheme(py::handle self, py::handle X) {
    py::object scheme = self.attr("data_transformation_scheme");
    py::object numpy = np();
    if (is_none(scheme) || !is_instance(X, numpy.attr("ndarray")) || !py_eq(X.attr("ndim"), 2)) {
        return;
    }
    py::object builtins = py::module_::import("builtins");
    py::object columns = builtins.attr("sorted")(
        builtins.attr("set")(self.attr("feature_columns") + self.attr("target_columns")));
    for (py::handle column : columns) {
        py::object values = numpy.attr("asarray")(X[py::make_tuple(all_rows(), column)],
                                                  py::arg("dtype") = numpy.attr("float64"));
        auto outside = value_outside_domain(scheme, values);
        if (!outside) continue;
        pyclass::raise(PyExc_ValueError,
                       "data_transformation_scheme=" + py::repr(scheme).cast<std::string>() +
                           " cannot represent column " + py::str(column).cast<std::string>() + ": it needs " +
                           outside->second + ", and the column has " + outside->first +
                           ". Choose another scheme for this data (None, 'log' or 'mean_substraction' "
                           "take any real values).");
    }
}

py::object fold_target_blocks(py::handle y_pred, py::handle n_targets) {
    const Py_ssize_t n = n_targets.cast<Py_ssize_t>();
    // `int(len(y_pred) / n_targets)` in the Python method: no targets is its ZeroDivisionError.
    if (n == 0) pyclass::raise(PyExc_ZeroDivisionError, "division by zero");
    const auto blocks = static_cast<Py_ssize_t>(static_cast<double>(length(y_pred)) / n);
    py::object numpy = np();
    if (blocks <= 0) return numpy.attr("array")(py::list());

    py::object arr = numpy.attr("asarray")(y_pred);
    py::object complete = slice(arr, py::none(), blocks * n);
    const auto ndim = arr.attr("ndim").cast<Py_ssize_t>();
    if (ndim <= 1) return numpy.attr("array")(complete.attr("reshape")(blocks, n));

    // Each block of n rows is transposed (all of its axes reversed) and flattened.
    py::list block_shape;
    block_shape.append(blocks);
    block_shape.append(n);
    py::list axes;
    axes.append(0);
    py::object shape = arr.attr("shape");
    for (Py_ssize_t axis = 1; axis < ndim; ++axis) block_shape.append(item(shape, axis));
    for (Py_ssize_t axis = ndim; axis >= 1; --axis) axes.append(axis);
    py::object folded = complete.attr("reshape")(py::tuple(block_shape))
                            .attr("transpose")(py::tuple(axes))
                            .attr("reshape")(blocks, -1);
    // Reshaping can hand back a view of the argument; the result is always a new array.
    return numpy.attr("array")(folded);
}

}  // namespace gusk
