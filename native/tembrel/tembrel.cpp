// orvane.gusk.estimators.utils.tembrel: regressor preparation, job counts, the maximum
// look-back of a window description, and the estimator check.
#include "pyclass/pyclass.hpp"

#include <utility>

namespace {

using pyclass::has_attr;
using pyclass::is_instance;
using pyclass::py_eq;
using pyclass::py_lt;

pyclass::ModuleGlobals globals;

const char* const kRegressionDagModule = "orvane.gusk.joint_optimizers.utils.regression_dag";

// The module body's `from <module> import <names>` lines, in order.
const std::vector<pyclass::ImportLine>& import_lines() {
    static const std::vector<pyclass::ImportLine> lines = {
        {"sklearn.feature_selection", {"f_regression", "mutual_info_regression"}},
        {"sklearn.model_selection", {"cross_val_score"}},
        {"sklearn.ensemble", {"RandomForestRegressor"}},
        {"joblib", {"Parallel", "delayed"}},
        {"multiprocessing", {"cpu_count"}},
        {"scipy", {"fft", "arange", "signal"}},
        {"sklearn.utils.validation", {"column_or_1d"}},
        {"sklearn.metrics", {"mean_absolute_error", "r2_score", "mean_squared_error"}},
        {"orvane.gusk.joint_optimizers.auto.auto_regression", {"AutoRegression"}},
        {"orvane.gusk.estimators.regression.auto_ensemble_regressor", {"EnsembleRegressor"}},
        {kRegressionDagModule, {"xgb_dag", "lgbm_dag"}},
        {kRegressionDagModule, {"tiny_reg_dag", "flat_reg_dag"}},
        {kRegressionDagModule,
         {"multi_output_flat_dag", "multi_output_tiny_dag", "optimised_multi_output_flat_dag"}},
        {kRegressionDagModule, {"regression_chain_flat_dag", "regression_chain_tiny_dag"}},
        {kRegressionDagModule, {"mimo_flat_dag", "complete_mino_flat_dag"}},
        {kRegressionDagModule, {"xgboost_multi_dag", "lgbm_multi_dag"}},
        {"sklearn.base", {"BaseEstimator"}},
        {"orvane.utils.messages.messages", {"Messages"}},
    };
    return lines;
}

// SciPy no longer re-exports NumPy's arange; NumPy's is the same function.
py::object import_name(const char* module, const char* name) {
    if (std::string(module) == "scipy" && std::string(name) == "arange" &&
        !has_attr(py::module_::import("scipy"), "arange")) {
        return py::module_::import("numpy").attr("arange");
    }
    return pyclass::import_from(module, name);
}

// ---------------------------------------------------------------------------------------------

PYCLASS_FUNCTION(check_object_is_estimator, "check_object_is_estimator",
                 "Return True when ``model`` is an instance of a type in\n"
                 "``MODEL_TYPES_SUPPORTED_AS_ESTIMATOR`` (read at each call), else False.",
                 {"model"}) {
    py::object model = a["model"];
    for (py::handle supported : globals.get("MODEL_TYPES_SUPPORTED_AS_ESTIMATOR")) {
        if (is_instance(model, supported)) return py::bool_(true);
    }
    return py::bool_(false);
}

PYCLASS_FUNCTION(get_optimized_n_jobs, "get_optimized_n_jobs",
                 "Return the number of parallel workers to use.\n\n"
                 "``n_jobs == -1`` means all processors but one; values below 1 become 1; the result is\n"
                 "never larger than ``no_outputs``, the number of values predicted per window.",
                 {"n_jobs", "-1"}, {"no_outputs", "1"}) {
    py::object n_jobs = a["n_jobs"];
    py::object no_outputs = a["no_outputs"];
    const py::int_ one(1);
    if (py_eq(n_jobs, -1)) {
        n_jobs = globals.get("cpu_count")() - one;
    }
    if (py_lt(n_jobs, one)) n_jobs = one;
    return py_lt(n_jobs, no_outputs) ? n_jobs : no_outputs;
}

PYCLASS_FUNCTION(get_max_lookback, "get_max_lookback",
                 "Return the largest look-back that ``lookback_win`` describes.\n\n"
                 "A list holds one entry per feature column: a window length, or a list of lag indices\n"
                 "reaching back ``max(lags) + 1`` rows. Anything that is not a list is returned unchanged.",
                 {"lookback_win"}) {
    py::object lookback_win = a["lookback_win"];
    if (!PyList_Check(lookback_win.ptr())) return lookback_win;
    py::object builtin_max = py::module_::import("builtins").attr("max");
    py::object max_win = py::int_(-1);
    for (py::handle win : lookback_win) {
        py::object candidate = PyList_Check(win.ptr()) ? builtin_max(win) + py::int_(1)
                                                       : py::reinterpret_borrow<py::object>(win);
        if (py_lt(max_win, candidate)) max_win = candidate;
    }
    return max_win;
}

// The `stages` value for a DAG granularity, or a null object for "default". Builder rows import
// their builder when taken, so a missing builder fails only for its own row.
struct StagesChoice {
    bool matched = false;
    py::object stages;  // null: no `stages` keyword
};

StagesChoice choose_stages(py::handle dag_granularity, py::handle n_jobs) {
    const auto is = [&](const char* value) { return py_eq(dag_granularity, py::str(value)); };
    const auto builder = [](const char* name) { return pyclass::import_from(kRegressionDagModule, name); };
    const auto module_value = [](const char* name) { return globals.get(name); };

    if (is("default")) return {true, py::object()};
    if (is("tiny")) return {true, module_value("tiny_reg_dag")};
    if (is("flat")) return {true, builder("get_flat_dag")()};
    if (is("multioutput_tiny")) return {true, builder("get_multi_output_tiny_dag")(n_jobs)};
    if (is("multioutput_flat")) return {true, builder("get_multi_output_flat_dag")(n_jobs)};
    if (is("optimised_multioutput_flat")) {
        return {true, builder("get_optimised_multi_output_flat_dag")(n_jobs)};
    }
    if (is("regression_chain_flat")) return {true, module_value("regression_chain_flat_dag")};
    if (is("regression_chain_tiny")) return {true, module_value("regression_chain_tiny_dag")};
    if (is("MIMO_flat")) return {true, module_value("mimo_flat_dag")};
    if (is("MINO_complete_flat")) return {true, module_value("complete_mino_flat_dag")};
    if (is("multi_xgboost")) return {true, builder("get_xgboost_multi_dag")(n_jobs)};
    // The multi-output LightGBM builder is handed over uncalled; the regressor resolves it.
    if (is("multi_lgbm")) return {true, builder("get_lgbm_multi_dag")};
    if (is("xgboost")) return {true, module_value("xgb_dag")};
    if (is("lgbm")) return {true, module_value("lgbm_dag")};
    return {};
}

PYCLASS_FUNCTION(prepare_regressor, "prepare_regressor",
                 "Build the automatic regressor step of a forecasting pipeline.\n\n"
                 "Parameters\n----------\n"
                 "dag_granularity : str\n    Search space: 'default', 'tiny', 'flat', 'multioutput_tiny',\n"
                 "    'multioutput_flat', 'optimised_multioutput_flat', 'regression_chain_flat',\n"
                 "    'regression_chain_tiny', 'MIMO_flat', 'MINO_complete_flat', 'multi_xgboost',\n"
                 "    'multi_lgbm', 'xgboost' or 'lgbm'.\n"
                 "total_execution_time : int\n    Total time for the search, in minutes.\n"
                 "execution_time_per_pipeline : int\n    Time for one pipeline, in minutes.\n"
                 "r_type : str\n    'AutoRegressor' or 'AutoEnsemble'.\n"
                 "execution_platform : str\n    How the search runs.\n"
                 "n_leaders_for_ensemble : int\n    Pipelines combined into the ensemble.\n"
                 "n_estimators_for_pred_interval : int\n    Estimators behind the prediction intervals.\n"
                 "max_samples_for_pred_interval : float\n    Share of rows drawn for each of them.\n"
                 "ensemble_type : str\n    'voting' or 'stacked'.\n"
                 "n_jobs : int\n    Parallel jobs, passed to the search-space builders that take it.\n\n"
                 "Returns\n-------\n(r_type, regressor) : tuple",
                 {"dag_granularity"}, {"total_execution_time"}, {"execution_time_per_pipeline"}, {"r_type"},
                 {"execution_platform", "'spark_node_random_search'"}, {"n_leaders_for_ensemble", "1"},
                 {"n_estimators_for_pred_interval", "5"}, {"max_samples_for_pred_interval", "1.0"},
                 {"ensemble_type", "'voting'"}, {"n_jobs", "-1"}) {
    py::object n_jobs = a["n_jobs"];
    if (py_eq(n_jobs, 0)) n_jobs = py::int_(1);

    py::dict options;
    options["total_execution_time"] = a["total_execution_time"];
    options["execution_time_per_pipeline"] = a["execution_time_per_pipeline"];
    options["execution_platform"] = a["execution_platform"];

    py::dict regressors;
    regressors["AutoRegressor"] = globals.get("AutoRegression");
    regressors["AutoEnsemble"] = globals.get("EnsembleRegressor");

    py::object r_type = a["r_type"];
    if (!regressors.contains(r_type))
        pyclass::raise_catalogue(globals, "ORVANE0036E", py::make_tuple(r_type));
    if (py_eq(r_type, py::str("AutoEnsemble"))) {
        for (const char* key : {"n_leaders_for_ensemble", "n_estimators_for_pred_interval",
                                "max_samples_for_pred_interval", "ensemble_type"}) {
            options[key] = a[key];
        }
    }

    const StagesChoice choice = choose_stages(a["dag_granularity"], n_jobs);
    if (!choice.matched) pyclass::raise_catalogue(globals, "ORVANE0037E");
    py::object regressor_class = regressors[r_type];
    py::object regressor = choice.stages ? regressor_class(py::arg("stages") = choice.stages, **options)
                                         : regressor_class(**options);
    return py::make_tuple(r_type, regressor);
}

// ---------------------------------------------------------------------------------------------

void tembrel_body(py::module_& m) {
    globals.attach(m);
    m.doc() =
        "Utilities of the forecasting estimators: regressor preparation, job counts and "
        "look-back windows.";
    pyclass::run_imports(m, import_lines(), &import_name);
    py::list supported;
    supported.append(m.attr("BaseEstimator"));
    m.attr("MODEL_TYPES_SUPPORTED_AS_ESTIMATOR") = supported;

    pyclass::add_functions<&check_object_is_estimator, &get_optimized_n_jobs, &prepare_regressor,
                           &get_max_lookback>(m);
}

}  // namespace

PYCLASS_MODULE(tembrel, tembrel_body)
