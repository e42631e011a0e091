// orvane.gusk.estimators.tembrel.models.gusk_estimators: the module body (its imports, in
// order) and the creation of the estimator classes.
#include "gusk_estimators/gusk.hpp"
#include "gusk_estimators/class_docs.hpp"

#include <vector>

namespace gusk {

pyclass::ModuleGlobals globals;

Classes& classes() {
    // Deliberately never destroyed: the objects must outlive every call, including calls made
    // while the interpreter shuts down.
    static Classes* instance = new Classes();
    return *instance;
}

py::object super_of(py::handle cls, py::handle self) {
    return py::module_::import("builtins").attr("super")(cls, self);
}

py::object catalogue_message(const char* message_id, const py::tuple& args) {
    py::dict keywords;
    keywords["message_id"] = message_id;
    return global("Messages").attr("get_message")(*args, **keywords);
}

void raise_catalogue(const char* message_id, const py::tuple& args) {
    pyclass::raise(PyExc_Exception, catalogue_message(message_id, args));
}

void raise_catalogue_from(const char* message_id, const py::tuple& args,
                          py::error_already_set& caught) {
    pyclass::raise_in_context(PyExc_Exception, catalogue_message(message_id, args), caught);
}

namespace {
std::string finite_keyword = "force_all_finite";
}

const char* check_array_finite_keyword() { return finite_keyword.c_str(); }

bool is_instance_of_globals(py::handle obj, const std::vector<const char*>& names) {
    py::tuple types(names.size());
    size_t i = 0;
    for (const char* name : names) types[i++] = global(name);
    return pyclass::is_instance(obj, types);
}

bool truthy(py::handle obj) {
    const int truth = PyObject_IsTrue(obj.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth == 1;
}

bool accepts_forecast_task(py::handle estimator, const char* method, const char* keyword) {
    py::object flag = py::getattr(py::type::of(estimator), "_accepts_forecast_task", py::none());
    if (!flag.is(py::bool_(true))) return false;
    py::object signature = py::module_::import("inspect").attr("signature");
    return truthy(signature(estimator.attr(method)).attr("parameters").attr("__contains__")(keyword));
}

namespace {

struct ImportLine {
    const char* module;
    std::vector<const char*> names;
    const char* alias = nullptr;  // `import module as alias`
};

const char* const kTembrel = "orvane.gusk.estimators.utils.tembrel";

const std::vector<ImportLine>& import_lines() {
    static const std::vector<ImportLine> lines = {
        {"copy", {}, "copy"},
        {"typing", {"List", "Optional"}},
        {"random", {"randint"}},
        {"numpy", {}, "np"},
        {"pandas", {}, "pd"},
        {"sklearn.base", {"BaseEstimator", "RegressorMixin"}},
        {"sklearn.model_selection", {"cross_val_score"}},
        {"sklearn.utils.validation", {"check_array"}},
        {"orvane.gusk.joint_optimizers.auto.base_auto", {"GUSKAuto"}},
        {"orvane.gusk.transformers.feature_engineering.base", {"TargetTransformer"}},
        {"orvane.gusk.estimators.regression.auto_ensemble_regressor",
         {"GUSKEnsemble", "EnsembleRegressor"}},
        {kTembrel, {"check_object_is_estimator"}},
        {"orvane.gusk.transformers.preprocessing.ts_transformer",
         {"Flatten", "DifferenceFlatten", "LocalizedFlatten", "DifferenceFlattenX",
          "LocalizedFlattenX", "NormalizedFlatten", "DifferenceNormalizedFlatten"}},
        {"sklearn.metrics", {"SCORERS"}},
        {"joblib", {"Parallel", "delayed"}},
        {"multiprocessing", {"cpu_count"}},
        {kTembrel, {"prepare_regressor"}},
        {kTembrel, {"get_optimized_n_jobs"}},
        {"orvane.utils.messages.messages", {"Messages"}},
        {"orvane.utils.score", {"Score"}},
        {kTembrel, {"get_max_lookback"}},
    };
    return lines;
}

// scikit-learn dropped its SCORERS table; the same name-to-scorer mapping is rebuilt from the
// public scorer registry.
py::object scorers_table() {
    py::module_ metrics = py::module_::import("sklearn.metrics");
    if (pyclass::has_attr(metrics, "SCORERS")) return metrics.attr("SCORERS");
    py::dict table;
    py::object get_scorer = metrics.attr("get_scorer");
    for (py::handle name : metrics.attr("get_scorer_names")()) table[name] = get_scorer(name);
    return table;
}

py::object import_name(const ImportLine& line, const char* name) {
    if (std::string(line.module) == "sklearn.metrics" && std::string(name) == "SCORERS") {
        return scorers_table();
    }
    return pyclass::import_from(line.module, name);
}

void run_imports(py::module_& m) {
    for (const ImportLine& line : import_lines()) {
        if (line.alias) {
            m.attr(line.alias) = py::module_::import(line.module);
            continue;
        }
        for (const char* name : line.names) m.attr(name) = import_name(line, name);
    }
}

py::dict estimator_members(py::handle module_name) {
    using namespace pyclass;
    py::dict ns;
    // The order in which the class body binds its members.
    ns["__init__"] = method<&core::init>(module_name);
    ns["_get_named_steps"] = method<&core::get_named_steps>(module_name);
    ns["set_scoring"] = method<&core::set_scoring>(module_name);
    ns["_multi_variate_col_encoder"] = method<&transformations::multi_variate_col_encoder>(module_name);
    ns["_adjust_indices"] = method<&core::adjust_indices>(module_name);
    ns["set_cross_validation"] = method<&core::set_cross_validation>(module_name);
    ns["_input_data_transformation"] = method<&transformations::input_data_transformation>(module_name);
    ns["_output_data_transformation"] = method<&transformations::output_data_transformation>(module_name);
    ns["_validate_steps"] = method<&core::validate_steps>(module_name);
    ns["_data_fit_transform"] = method<&core::data_fit_transform>(module_name);
    ns["_data_transform"] = method<&core::data_transform>(module_name);
    ns["_init_transformer_and_estimator"] = method<&core::init_transformer_and_estimator>(module_name);
    ns["_store_lookback_history_X"] = method<&prediction::store_lookback_history_X>(module_name);
    ns["_add_lookback_history_to_X"] = method<&prediction::add_lookback_history_to_X>(module_name);
    ns["_display_transformations"] = method<&core::display_transformations>(module_name);
    ns["fit"] = method<&core::fit>(module_name);
    ns["predict_sliding_window"] = method<&prediction::predict_sliding_window>(module_name);
    ns["_add_exogenous_to_X"] = method<&prediction::add_exogenous_to_X>(module_name);
    ns["__str__"] = method<&core::str>(module_name);
    ns["_recursive_predict_helper"] = method<&prediction::recursive_predict_helper>(module_name);
    ns["predict"] = method<&prediction::predict>(module_name);
    ns["_predict"] = method<&prediction::predict_>(module_name);
    ns["score"] = method<&core::score>(module_name);
    ns["set_params"] = method<&core::set_params>(module_name);
    ns["predit_recursive_multi_step"] = method<&prediction::predit_recursive_multi_step>(module_name);
    ns["_use_parallel_version_of_multi_step_sliding_window"] =
        method<&prediction::use_parallel_version_of_multi_step_sliding_window>(module_name);
    ns["_use_multioutput_version_of_multi_step_sliding_window"] =
        method<&prediction::use_multioutput_version_of_multi_step_sliding_window>(module_name);
    ns["predict_multi_step_sliding_window"] =
        method<&prediction::predict_multi_step_sliding_window>(module_name);
    ns["_transformer_helper"] = method<&transformations::transformer_helper>(module_name);
    ns["_recursive_predict_proba_helper"] =
        method<&prediction::recursive_predict_proba_helper>(module_name);
    ns["predict_proba"] = method<&prediction::predict_proba>(module_name);
    ns["_reset_fc_cols_and_lookback"] = method<&core::reset_fc_cols_and_lookback>(module_name);
    ns["get_params"] = method<&core::get_params>(module_name);
    ns["is_exogenous_pipeline_"] = property<&core::is_exogenous_pipeline>(module_name);
    ns["is_future_exogenous_pipeline_"] = property<&core::is_future_exogenous_pipeline>(module_name);
    ns["__setstate__"] = method<&core::setstate>(module_name);
    ns["__sklearn_clone__"] = method<&core::sklearn_clone>(module_name);
    ns["set_forecast_output"] = method<&core::set_forecast_output>(module_name);
    ns["update"] = method<&prediction::update>(module_name);
    return ns;
}

template <pyclass::Function* Init, pyclass::Function* SetParams, pyclass::Function* Name>
py::dict ensembler_members(py::handle module_name) {
    py::dict ns;
    ns["__init__"] = pyclass::method<Init>(module_name);
    ns["set_params"] = pyclass::method<SetParams>(module_name);
    ns["name"] = pyclass::method<Name>(module_name);
    return ns;
}

void create_classes(py::module_& m) {
    py::object module_name = m.attr("__name__");
    Classes& c = classes();

    c.estimator = pyclass::make_class("GUSKTimeSeriesEstimator",
                                      py::make_tuple(m.attr("BaseEstimator")),
                                      estimator_members(module_name), module_name, kEstimatorDoc);
    m.attr("GUSKTimeSeriesEstimator") = c.estimator;

    const py::tuple bases = py::make_tuple(c.estimator);
    c.flatten_auto_ensembler = pyclass::make_class(
        "FlattenAutoEnsembler", bases,
        ensembler_members<&ensemblers::flatten_init, &ensemblers::flatten_set_params,
                          &ensemblers::flatten_name>(module_name),
        module_name, kFlattenAutoEnsemblerDoc);
    m.attr("FlattenAutoEnsembler") = c.flatten_auto_ensembler;

    c.difference_flatten_auto_ensembler = pyclass::make_class(
        "DifferenceFlattenAutoEnsembler", bases,
        ensembler_members<&ensemblers::difference_init, &ensemblers::difference_set_params,
                          &ensemblers::difference_name>(module_name),
        module_name, kDifferenceFlattenAutoEnsemblerDoc);
    m.attr("DifferenceFlattenAutoEnsembler") = c.difference_flatten_auto_ensembler;

    c.localized_flatten_auto_ensembler = pyclass::make_class(
        "LocalizedFlattenAutoEnsembler", bases,
        ensembler_members<&ensemblers::localized_init, &ensemblers::localized_set_params,
                          &ensemblers::localized_name>(module_name),
        module_name, kLocalizedFlattenAutoEnsemblerDoc);
    m.attr("LocalizedFlattenAutoEnsembler") = c.localized_flatten_auto_ensembler;
}

// scikit-learn renamed check_array's `force_all_finite` to `ensure_all_finite`.
void choose_finite_keyword(py::module_& m) {
    py::object parameters =
        py::module_::import("inspect").attr("signature")(m.attr("check_array")).attr("parameters");
    if (parameters.contains("ensure_all_finite")) finite_keyword = "ensure_all_finite";
}

void module_body(py::module_& m) {
    globals.attach(m);
    m.doc() = "Time-series pipeline estimators and ready-made flatten auto-ensemblers.";
    run_imports(m);
    choose_finite_keyword(m);
    create_classes(m);
    m.attr("__test__") = py::dict();
}

}  // namespace
}  // namespace gusk

PYCLASS_MODULE(gusk_estimators, gusk::module_body)
