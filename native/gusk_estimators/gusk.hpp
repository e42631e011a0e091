// Shared declarations of the estimator module: its globals, the class objects the methods
// need after creation, small helpers, and the ordered list of the estimator's members.
#pragma once

#include "pyclass/pyclass.hpp"

#include <string>
#include <vector>

namespace gusk {

// The native layer's built-in operations, read unqualified like their Python counterparts.
using pyclass::all_rows;
using pyclass::has_attr;
using pyclass::index_value;
using pyclass::is_instance;
using pyclass::item;
using pyclass::length;
using pyclass::loop_count;
using pyclass::py_eq;
using pyclass::py_ge;
using pyclass::py_gt;
using pyclass::py_le;
using pyclass::py_lt;
using pyclass::py_ne;
using pyclass::slice;
using pyclass::slice_key;
using pyclass::unpack_pair;

// The module's globals; every name (np, Messages, Score, the transformer classes, ...) is read
// from here at the moment it is used, so a caller that rebinds one is obeyed.
extern pyclass::ModuleGlobals globals;
inline py::object global(const char* name) { return globals.get(name); }
// NumPy as the module binds it (`np`).
inline py::object np() { return global("np"); }

// The class objects, kept for the `super(Class, self)` calls of the methods.
struct Classes {
    py::object estimator;
    py::object flatten_auto_ensembler;
    py::object difference_flatten_auto_ensembler;
    py::object localized_flatten_auto_ensembler;
};
Classes& classes();

// `super(cls, self)`.
py::object super_of(py::handle cls, py::handle self);

// The module's message catalogue (see pyclass::catalogue_message).
inline py::object catalogue_message(const char* message_id, const py::tuple& args = py::tuple()) {
    return pyclass::catalogue_message(globals, message_id, args);
}
[[noreturn]] inline void raise_catalogue(const char* message_id, const py::tuple& args = py::tuple()) {
    pyclass::raise_catalogue(globals, message_id, args);
}
[[noreturn]] inline void raise_catalogue_from(const char* message_id, const py::tuple& args,
                                              py::error_already_set& caught) {
    pyclass::raise_catalogue_from(globals, message_id, args, caught);
}

// The keyword by which `check_array` takes its finiteness switch in the installed
// scikit-learn ("ensure_all_finite" or, in older releases, "force_all_finite"); decided at import.
const char* check_array_finite_keyword();

// `isinstance(obj, (global names...))` with the names read from the module globals now.
bool is_instance_of_globals(py::handle obj, const std::vector<const char*>& names);

// The flatten family whose output rows are step-major blocks, one row per target.
inline const std::vector<const char*>& flatten_family() {
    static const std::vector<const char*> names = {"NormalizedFlatten", "DifferenceNormalizedFlatten",
                                                   "LocalizedFlatten", "DifferenceFlatten"};
    return names;
}

// A function of the pandas layer (orvane._frames), imported at call time.
inline py::object frames(const char* name) { return pyclass::import_from("orvane._frames", name); }

// `obj is None`.
inline bool is_none(py::handle obj) { return obj.is_none(); }

// `raise ValueError(message)`.
[[noreturn]] inline void raise_value_error(const std::string& message) {
    pyclass::raise(PyExc_ValueError, message);
}
// Python truth value.
bool truthy(py::handle obj);

// Whether a final estimator is one of our forecasting-aware regressors: its class sets
// `_accepts_forecast_task = True` and its method `method` takes the keyword `keyword`.
// Foreign estimators, mocks and subclasses that override the method keep the plain calls.
bool accepts_forecast_task(py::handle estimator, const char* method, const char* keyword);

// Folds step-major blocks of `n_targets` consecutive rows into one row each, every block
// transposed and flattened; an incomplete last block is dropped.
py::object fold_target_blocks(py::handle y_pred, py::handle n_targets);

// scikit-learn's protocol for fitted estimators. `require_fitted` raises NotFittedError,
// telling the caller to call fit, when `fit` has not run; `require_fitted_columns` raises
// ValueError for input that is not 2-D or whose column count differs from the data `fit` saw.
void require_fitted(py::handle self, const char* method);
void require_fitted_columns(py::handle self, py::handle X);
// Fitting refuses data that the estimator's data transformation scheme cannot represent: a
// ValueError naming the scheme and the column.
void refuse_data_outside_scheme(py::handle self, py::handle X);

// The members of GUSKTimeSeriesEstimator, in the order in which its class body binds them (the
// order of the class __dict__). Each source file defines its members beside their bodies with
// GUSK_METHOD or GUSK_PROPERTY, which file them here; the name comes from the definition.
enum class Member {
    init,
    get_named_steps,
    set_scoring,
    multi_variate_col_encoder,
    adjust_indices,
    set_cross_validation,
    input_data_transformation,
    output_data_transformation,
    validate_steps,
    data_fit_transform,
    data_transform,
    init_transformer_and_estimator,
    store_lookback_history_X,
    add_lookback_history_to_X,
    display_transformations,
    fit,
    predict_sliding_window,
    add_exogenous_to_X,
    str,
    recursive_predict_helper,
    predict,
    predict_,
    score,
    set_params,
    predit_recursive_multi_step,
    use_parallel_version_of_multi_step_sliding_window,
    use_multioutput_version_of_multi_step_sliding_window,
    predict_multi_step_sliding_window,
    transformer_helper,
    recursive_predict_proba_helper,
    predict_proba,
    reset_fc_cols_and_lookback,
    get_params,
    is_exogenous_pipeline,
    is_future_exogenous_pipeline,
    setstate,
    sklearn_clone,
    set_forecast_output,
    update,
    count
};
pyclass::MemberTable<Member>& estimator_members();

// A method or read-only property of GUSKTimeSeriesEstimator, filed under Member::id; see
// PYCLASS_FUNCTION for the layout.
#define GUSK_METHOD(id, python_name, doc, ...) \
    PYCLASS_MEMBER(::gusk::estimator_members(), ::gusk::Member::id, method, id, python_name, doc, __VA_ARGS__)
#define GUSK_PROPERTY(id, python_name, doc, ...)                                                    \
    PYCLASS_MEMBER(::gusk::estimator_members(), ::gusk::Member::id, property, id, python_name, doc, \
                   __VA_ARGS__)

namespace core {
// The objects of the steps, `[step[1] for step in steps]`.
py::object list_of_step_objects(py::handle steps);
// `sequence[:-1]`.
py::object all_but_last(py::handle sequence);
// The step's own constructor parameters, or None for a step without `get_params`.
py::object step_parameters(py::handle step);
// Whether those parameters (None for none) include `name`.
bool step_takes(py::handle parameters, const char* name);

// The layout settings held both by the estimator and by its windowing step, by their names on
// each. They must agree, or the windows are cut for one layout and read back for another.
struct SharedSetting {
    const char* estimator_name;
    const char* step_name;
};
constexpr SharedSetting kSharedSettings[] = {{"feature_columns", "feature_col_index"},
                                             {"target_columns", "target_col_index"},
                                             {"lookback_win", "lookback_win"},
                                             {"pred_win", "pred_win"},
                                             {"look_ahead_fcolumns", "look_ahead_fcol_index"}};
}  // namespace core

namespace recursive_loop {
// The recursive steps the direct loop can make for the forecast window `X` (look-back rows and
// one placeholder row): their forecasts as a (made, n_targets) array, with `made` set and `X`
// left as the general loop's input for the next step; None (made = 0) when it cannot start.
py::object direct_steps(py::handle self, py::object& X, py::handle max_lookback, Py_ssize_t steps,
                        Py_ssize_t& made);
// The model's predictions for every window of X (as `estimator.predict` on the transformed X
// would give them) when the windows are plain and the model a known closed form; else None.
py::object window_predictions(py::handle self, py::handle X);
// `self.estimator.fit(Xt, yt)`, with the estimator's own copy of Xt left out where Xt is a
// window matrix made for this fit alone and the result is the same.
void fit_estimator(py::handle self, py::handle Xt, py::handle yt);
}  // namespace recursive_loop
namespace ensemblers {
// The ready-made forecasters, each a subclass of the estimator with its own windowing step.
enum class Kind { flatten, difference, localized };
// The members of one of them, in the order its class body binds them.
py::dict members(Kind kind, py::handle module_name);
}  // namespace ensemblers

}  // namespace gusk
