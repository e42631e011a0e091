// orvane.gusk.estimators.tembrel.models.gusk_estimators: the module body (its imports, in
// order) and the creation of the estimator classes.
#include "gusk_estimators/class_docs.hpp"
#include "gusk_estimators/gusk.hpp"

#include <vector>

namespace gusk {

pyclass::ModuleGlobals globals;

pyclass::MemberTable<Member>& estimator_members() {
    // Filled while the source files' members are defined, before the module body runs; never
    // destroyed, like the classes.
    static auto* table = new pyclass::MemberTable<Member>();
    return *table;
}

Classes& classes() {
    // Deliberately never destroyed: the objects must outlive every call, including calls made
    // while the interpreter shuts down.
    static Classes* instance = new Classes();
    return *instance;
}

py::object super_of(py::handle cls, py::handle self) {
    return py::module_::import("builtins").attr("super")(cls, self);
}

namespace {
std::string finite_keyword = "force_all_finite";
}

const char* check_array_finite_keyword() { return finite_keyword.c_str(); }

bool is_instance_of_globals(py::handle obj, const std::vector<const char*>& names) {
    py::tuple types(names.size());
    size_t i = 0;
    for (const char* name : names) types[i++] = global(name);
    return is_instance(obj, types);
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

const char* const kTembrel = "orvane.gusk.estimators.utils.tembrel";

const std::vector<pyclass::ImportLine>& import_lines() {
    static const std::vector<pyclass::ImportLine> lines = {
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
        {"orvane.gusk.estimators.regression.auto_ensemble_regressor", {"GUSKEnsemble", "EnsembleRegressor"}},
        {kTembrel, {"check_object_is_estimator"}},
        {"orvane.gusk.transformers.preprocessing.ts_transformer",
         {"Flatten", "DifferenceFlatten", "LocalizedFlatten", "DifferenceFlattenX", "LocalizedFlattenX",
          "NormalizedFlatten", "DifferenceNormalizedFlatten"}},
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
    if (has_attr(metrics, "SCORERS")) return metrics.attr("SCORERS");
    py::dict table;
    py::object get_scorer = metrics.attr("get_scorer");
    for (py::handle name : metrics.attr("get_scorer_names")()) table[name] = get_scorer(name);
    return table;
}

py::object import_name(const char* module, const char* name) {
    if (std::string(module) == "sklearn.metrics" && std::string(name) == "SCORERS") return scorers_table();
    return pyclass::import_from(module, name);
}

void create_classes(py::module_& m) {
    py::object module_name = m.attr("__name__");
    Classes& c = classes();

    c.estimator = pyclass::make_class("GUSKTimeSeriesEstimator", py::make_tuple(m.attr("BaseEstimator")),
                                      estimator_members().members(module_name), module_name, kEstimatorDoc);
    m.attr("GUSKTimeSeriesEstimator") = c.estimator;

    const py::tuple bases = py::make_tuple(c.estimator);
    c.flatten_auto_ensembler = pyclass::make_class(
        "FlattenAutoEnsembler", bases, ensemblers::members(ensemblers::Kind::flatten, module_name),
        module_name, kFlattenAutoEnsemblerDoc);
    m.attr("FlattenAutoEnsembler") = c.flatten_auto_ensembler;

    c.difference_flatten_auto_ensembler =
        pyclass::make_class("DifferenceFlattenAutoEnsembler", bases,
                            ensemblers::members(ensemblers::Kind::difference, module_name), module_name,
                            kDifferenceFlattenAutoEnsemblerDoc);
    m.attr("DifferenceFlattenAutoEnsembler") = c.difference_flatten_auto_ensembler;

    c.localized_flatten_auto_ensembler = pyclass::make_class(
        "LocalizedFlattenAutoEnsembler", bases, ensemblers::members(ensemblers::Kind::localized, module_name),
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
    pyclass::run_imports(m, import_lines(), &import_name);
    choose_finite_keyword(m);
    create_classes(m);
    m.attr("__test__") = py::dict();
}

}  // namespace
}  // namespace gusk

PYCLASS_MODULE(gusk_estimators, gusk::module_body)
