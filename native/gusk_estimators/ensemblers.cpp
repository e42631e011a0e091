// The ready-made forecasters: one windowing transformer followed by an automatically searched
// ensemble regressor.
#include "gusk_estimators/gusk.hpp"

#include <utility>
#include <vector>

namespace gusk {
namespace {

using pyclass::Args;

// What tells the three ready-made forecasters apart.
struct Flavour {
    const char* class_name;
    py::object Classes::* cls;
    const char* step_name;
    const char* plain_transformer;
    const char* exogenous_transformer;  // null: the plain transformer serves every layout
    bool budgets_first;                 // budgets stored before execution_platform
    bool outputs_include_targets;       // n_jobs capped by targets x pred_win, not pred_win
    bool doubles_large_budgets;
    bool passes_column_encoding;
};

const Flavour kFlatten{"FlattenAutoEnsembler",
                       &Classes::flatten_auto_ensembler,
                       "Flatten",
                       "Flatten",
                       nullptr,
                       false,
                       true,
                       true,
                       false};
const Flavour kDifference{"DifferenceFlattenAutoEnsembler",
                          &Classes::difference_flatten_auto_ensembler,
                          "DifferenceFlatten",
                          "DifferenceFlatten",
                          "DifferenceFlattenX",
                          false,
                          false,
                          false,
                          true};
const Flavour kLocalized{"LocalizedFlattenAutoEnsembler",
                         &Classes::localized_flatten_auto_ensembler,
                         "LocalizedFlatten",
                         "LocalizedFlatten",
                         "LocalizedFlattenX",
                         true,
                         false,
                         false,
                         true};

void store_search_settings(py::handle self, const Args& a, const Flavour& flavour) {
    std::vector<const char*> order = {"dag_granularity", "execution_platform", "execution_time_per_pipeline",
                                      "total_execution_time"};
    if (flavour.budgets_first) {
        order = {"dag_granularity", "total_execution_time", "execution_time_per_pipeline",
                 "execution_platform"};
    }
    for (const char* name : {"n_leaders_for_ensemble", "n_estimators_for_pred_interval",
                             "max_samples_for_pred_interval", "ensemble_type", "store_lookback_history"}) {
        order.push_back(name);
    }
    for (const char* name : order) py::setattr(self, name, a[name]);
}

// Large problems (20 targets or more, 100 steps or more per window) get twice the time.
void double_budgets_for_large_problems(py::handle self, py::handle target_columns, py::handle pred_win) {
    if (length(target_columns) < 20 || !py_ge(pred_win, 100)) return;
    self.attr("execution_time_per_pipeline") =
        py::object(self.attr("execution_time_per_pipeline")) * py::int_(2);
    self.attr("total_execution_time") = py::object(self.attr("total_execution_time")) * py::int_(2);
}

// The exogenous variant is needed when there are look-ahead columns or the features are not
// exactly the targets.
bool needs_exogenous_transformer(py::handle look_ahead, py::handle features, py::handle targets) {
    if (length(look_ahead) > 0) return true;
    if (length(features) != length(targets)) return true;
    py::object set = py::module_::import("builtins").attr("set");
    return py_ne(set(features), set(targets));
}

py::object transformer_step(const Args& a, const Flavour& flavour, py::handle look_ahead) {
    py::dict keywords;
    keywords["feature_col_index"] = a["feature_columns"];
    keywords["target_col_index"] = a["target_columns"];
    keywords["lookback_win"] = a["lookback_win"];
    keywords["pred_win"] = a["pred_win"];
    const char* transformer = flavour.plain_transformer;
    const bool with_look_ahead =
        !flavour.exogenous_transformer ||
        needs_exogenous_transformer(look_ahead, a["feature_columns"], a["target_columns"]);
    if (flavour.exogenous_transformer && with_look_ahead) transformer = flavour.exogenous_transformer;
    if (with_look_ahead) keywords["look_ahead_fcol_index"] = look_ahead;
    return py::make_tuple(py::str(flavour.step_name), global(transformer)(**keywords));
}

py::object regressor_step(py::handle self, const Args& a, const Flavour& flavour) {
    py::dict keywords;
    keywords["dag_granularity"] = a["dag_granularity"];
    keywords["total_execution_time"] =
        flavour.doubles_large_budgets ? self.attr("total_execution_time") : a["total_execution_time"];
    keywords["execution_time_per_pipeline"] = flavour.doubles_large_budgets
                                                  ? self.attr("execution_time_per_pipeline")
                                                  : a["execution_time_per_pipeline"];
    keywords["r_type"] = "AutoEnsemble";
    for (const char* name : {"execution_platform", "n_leaders_for_ensemble", "n_estimators_for_pred_interval",
                             "max_samples_for_pred_interval", "ensemble_type"}) {
        keywords[name] = a[name];
    }
    keywords["n_jobs"] = self.attr("n_jobs");
    return global("prepare_regressor")(**keywords);
}

// The base constructor's keywords followed by every extra keyword; a repeated keyword is the
// interpreter's TypeError, as in a call with `**kwarg`.
py::dict base_keywords(const Args& a, const Flavour& flavour, py::handle steps, py::handle look_ahead) {
    py::dict keywords;
    keywords["steps"] = steps;
    keywords["feature_columns"] = a["feature_columns"];
    keywords["target_columns"] = a["target_columns"];
    keywords["look_ahead_fcolumns"] = look_ahead;
    for (const char* name :
         {"lookback_win", "pred_win", "time_column", "init_time_optimization", "data_transformation_scheme",
          "multistep_prediction_strategy", "multistep_prediction_win"}) {
        keywords[name] = a[name];
    }
    if (flavour.passes_column_encoding) {
        keywords["multivariate_column_encoding"] = a["multivariate_column_encoding"];
    }
    keywords["store_lookback_history"] = a["store_lookback_history"];
    for (auto entry : a.kwargs()) {
        if (keywords.contains(entry.first)) {
            // Worded as the interpreter words a keyword given twice to a call.
            pyclass::raise(PyExc_TypeError,
                           "GUSKTimeSeriesEstimator.__init__() got multiple values for keyword argument '" +
                               py::str(entry.first).cast<std::string>() + "'");
        }
        keywords[entry.first] = entry.second;
    }
    return keywords;
}

py::object construct(const Args& a, const Flavour& flavour) {
    py::object self = a["self"];
    py::object look_ahead = a["look_ahead_fcolumns"];
    if (is_none(look_ahead)) look_ahead = py::list();
    store_search_settings(self, a, flavour);

    py::object target_columns = a["target_columns"];
    py::object outputs =
        flavour.outputs_include_targets ? py::int_(length(target_columns)) * a["pred_win"] : a["pred_win"];
    self.attr("n_jobs") =
        global("get_optimized_n_jobs")(py::arg("n_jobs") = a["n_jobs"], py::arg("no_outputs") = outputs);
    if (flavour.doubles_large_budgets) double_budgets_for_large_problems(self, target_columns, a["pred_win"]);

    py::list steps;
    steps.append(transformer_step(a, flavour, look_ahead));
    steps.append(regressor_step(self, a, flavour));
    py::dict keywords = base_keywords(a, flavour, steps, look_ahead);
    super_of(classes().*flavour.cls, self).attr("__init__")(**keywords);
    return py::none();
}

py::object set_params_of(const Args& a, const Flavour& flavour) {
    py::object self = a["self"];
    py::dict params = a.kwargs().attr("copy")();
    super_of(classes().*flavour.cls, self).attr("set_params")(**params);
    // Returning self lets grid searches and chained calls use the ready-made forecasters.
    return self;
}

#define ORVANE_ENSEMBLER_PARAMS_HEAD                                                                        \
    {"self"}, {"feature_columns"}, {"target_columns"}, {"lookback_win"}, {"pred_win"},                      \
        {"time_column", "-1"}, {"init_time_optimization", "False"}, {"data_transformation_scheme", "None"}, \
        {"total_execution_time", "2"}, {"execution_time_per_pipeline", "1"},                                \
        {"dag_granularity", "'default'"}, {"execution_platform", "'spark_node_random_search'"},             \
        {"n_leaders_for_ensemble", "5"}, {"n_estimators_for_pred_interval", "30"},                          \
        {"max_samples_for_pred_interval", "1.0"}, {"multistep_prediction_strategy", "None"},                \
        {"multistep_prediction_win", "1"}, {"ensemble_type", "'voting'"}

#define ORVANE_ENSEMBLER_PARAMS_TAIL                                                        \
    {"store_lookback_history", "False"}, {"n_jobs", "-1"}, {"look_ahead_fcolumns", "None"}, \
        pyclass::var_keyword("kwarg")

const char* const kInitDoc = "Build the two-step pipeline (windowing transformer, automatic ensemble).";
const char* const kSetParamsDoc = "Set parameters as the base class does; return self.";
const char* const kNameDoc = "The class name.";

PYCLASS_FUNCTION(flatten_init, "__init__", kInitDoc, ORVANE_ENSEMBLER_PARAMS_HEAD,
                 ORVANE_ENSEMBLER_PARAMS_TAIL) {
    return construct(a, kFlatten);
}
PYCLASS_FUNCTION(difference_init, "__init__", kInitDoc, ORVANE_ENSEMBLER_PARAMS_HEAD,
                 {"multivariate_column_encoding", "False"}, ORVANE_ENSEMBLER_PARAMS_TAIL) {
    return construct(a, kDifference);
}
PYCLASS_FUNCTION(localized_init, "__init__", kInitDoc, ORVANE_ENSEMBLER_PARAMS_HEAD,
                 {"multivariate_column_encoding", "False"}, ORVANE_ENSEMBLER_PARAMS_TAIL) {
    return construct(a, kLocalized);
}

PYCLASS_FUNCTION(flatten_set_params, "set_params", kSetParamsDoc, {"self"}, {"attr", "'steps'"},
                 pyclass::var_keyword("params")) {
    return set_params_of(a, kFlatten);
}
PYCLASS_FUNCTION(difference_set_params, "set_params", kSetParamsDoc, {"self"}, {"attr", "'steps'"},
                 pyclass::var_keyword("params")) {
    return set_params_of(a, kDifference);
}
PYCLASS_FUNCTION(localized_set_params, "set_params", kSetParamsDoc, {"self"}, {"attr", "'steps'"},
                 pyclass::var_keyword("params")) {
    return set_params_of(a, kLocalized);
}

PYCLASS_FUNCTION(flatten_name, "name", kNameDoc, {"self"}) { return py::str(kFlatten.class_name); }
PYCLASS_FUNCTION(difference_name, "name", kNameDoc, {"self"}) { return py::str(kDifference.class_name); }
PYCLASS_FUNCTION(localized_name, "name", kNameDoc, {"self"}) { return py::str(kLocalized.class_name); }

}  // namespace

namespace ensemblers {

py::dict members(Kind kind, py::handle module_name) {
    switch (kind) {
        case Kind::flatten:
            return pyclass::methods<&flatten_init, &flatten_set_params, &flatten_name>(module_name);
        case Kind::difference:
            return pyclass::methods<&difference_init, &difference_set_params, &difference_name>(module_name);
        case Kind::localized:
            break;
    }
    return pyclass::methods<&localized_init, &localized_set_params, &localized_name>(module_name);
}

}  // namespace ensemblers
}  // namespace gusk
