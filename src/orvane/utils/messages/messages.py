"""Catalogue of the user-facing error messages of orvane.

Every message has an identifier such as ``"ORVANE0043E"`` and an English text
with positional placeholders ``{0}``, ``{1}``, ... that
:meth:`Messages.get_message` fills in.  The returned text always starts with
the identifier, so a user can search for it in the documentation and in
issue reports.
"""

import re

__all__ = ["Messages", "MESSAGE_TEXTS"]

_DAG_GRANULARITIES = (
    '"default", "tiny", "flat", "multioutput_tiny", "multioutput_flat", '
    '"optimised_multioutput_flat", "regression_chain_flat", '
    '"regression_chain_tiny", "MIMO_flat", "MINO_complete_flat", '
    '"multi_xgboost", "multi_lgbm", "xgboost", "lgbm"'
)

_TRANSFORMATION_SCHEMES = (
    'None, "auto", "log", "mean_division", "mean_substraction", '
    '"mean_division_log", "mean_substraction_log", "sqrt", "reciprocal", '
    '"anscombe", "fisher"'
)

#: Identifier -> message template.  Placeholders are ``{0}``, ``{1}``, ...
MESSAGE_TEXTS = {
    "ORVANE0036E": (
        'Regressor type "{0}" is not supported. '
        'Use r_type="AutoRegressor" or r_type="AutoEnsemble".'
    ),
    "ORVANE0037E": (
        "Unknown dag_granularity. Use one of " + _DAG_GRANULARITIES +
        " (the comparison is case-sensitive)."
    ),
    "ORVANE0042E": (
        "Unknown data_transformation_scheme. Use one of "
        + _TRANSFORMATION_SCHEMES + "."
    ),
    "ORVANE0043E": (
        "The pipeline steps hold no transformer. Put at least one windowing "
        "transformer (for example Flatten) before the final estimator."
    ),
    "ORVANE0044E": (
        "The last pipeline step is not a scikit-learn estimator. Make the final "
        "step an estimator that provides fit and predict (a BaseEstimator "
        "subclass)."
    ),
    "ORVANE0045E": (
        "Predicting from the stored look-back history needs an estimator built "
        "with store_lookback_history=True; this one was built with "
        "store_lookback_history=False. Rebuild it with "
        "store_lookback_history=True and fit it again, or pass the look-back "
        "rows in X."
    ),
    "ORVANE0046E": (
        'Prediction type "{0}" is not supported. Use prediction_type='
        '"forecast" or "sliding_window"; a sliding-window prediction needs '
        "pred_win >= 1."
    ),
    "ORVANE0047E": (
        "X has too few rows: the look-back window needs {0} rows but X has {1}. "
        "Pass at least as many rows as the look-back window."
    ),
    "ORVANE0048E": (
        "Recursive multi-step prediction needs "
        'multistep_prediction_strategy="recursive", but it is "{0}". Set '
        'multistep_prediction_strategy="recursive" when building the estimator.'
    ),
    "ORVANE0049E": (
        "Recursive multi-step prediction needs pred_win == 1, but pred_win is "
        "{0}. Build the estimator with pred_win=1 and choose the horizon with "
        "multistep_prediction_win."
    ),
    "ORVANE0050E": (
        "X has too few rows for a recursive multi-step prediction: the "
        "look-back window needs {0} rows but X has {1}. Pass more rows."
    ),
    "ORVANE0051E": (
        "A multi-step sliding-window prediction cannot be served with this "
        "configuration: {0}. Use a forecast prediction or change the "
        "estimator's settings."
    ),
    "ORVANE0052E": (
        "Computing the prediction intervals failed; the chained exception "
        "shows the cause."
    ),
    "ORVANE0053E": (
        "Prediction intervals need an EnsembleRegressor as the final "
        "estimator. Use an EnsembleRegressor as the last pipeline step to get "
        "intervals."
    ),
    "ORVANE0055E": (
        "The stored look-back history could not be joined with the new rows "
        "({0}). The new rows must have the same number of columns as the data "
        "the estimator was fitted on."
    ),
    "ORVANE0067E": (
        "X contains NaN values. Fill or drop the missing values before "
        "predicting."
    ),
}

_PLACEHOLDER = re.compile(r"\{(\d+)\}")


def _fill_placeholders(template, args):
    """Replace ``{i}`` by ``str(args[i])``; placeholders without an argument stay as they are."""
    def substitute(match):
        index = int(match.group(1))
        if index < len(args):
            return str(args[index])
        return match.group(0)

    return _PLACEHOLDER.sub(substitute, template)


def _highest_placeholder(template):
    """Number of leading arguments a template consumes (highest index + 1)."""
    indices = [int(index) for index in _PLACEHOLDER.findall(template)]
    return max(indices) + 1 if indices else 0


def _format_arguments(args):
    return ", ".join(str(arg) for arg in args)


class Messages:
    """Look up the text of a message identifier.

    The class is a namespace: the table lives in :data:`MESSAGE_TEXTS` and
    :meth:`get_message` never raises, whatever the arguments, because its
    result is typically the argument of an exception being raised.

    Examples
    --------
    >>> print(Messages.get_message("x", message_id="ORVANE0036E"))
    ORVANE0036E: Regressor type "x" is not supported. Use r_type="AutoRegressor" or
    r_type="AutoEnsemble".
    >>> Messages.get_message(message_id="ORVANE9999E")
    'ORVANE9999E: unknown message identifier; no text is defined for it.'
    """

    texts = MESSAGE_TEXTS

    @classmethod
    def get_message(cls, *args, message_id=None):
        """Return the text of ``message_id`` with ``args`` interpolated.

        Parameters
        ----------
        *args : object
            Values for the placeholders ``{0}``, ``{1}``, ... of the text, in
            order; ``str()`` of each is inserted.  Missing values leave their
            placeholder visible; values beyond the last placeholder are
            appended to the text.
        message_id : str
            Identifier of the message, for example ``"ORVANE0043E"``.

        Returns
        -------
        str
            ``"<message_id>: <text>"``.  An unknown identifier gives a text
            that names it and shows the arguments.
        """
        template = cls.texts.get(message_id) if isinstance(message_id, str) else None
        if template is None:
            text = "{0}: unknown message identifier; no text is defined for it.".format(message_id)
            if args:
                text += " Arguments: " + _format_arguments(args) + "."
            return text

        text = "{0}: {1}".format(message_id, _fill_placeholders(template, args))
        extra = args[_highest_placeholder(template):]
        if extra:
            text += " (Details: " + _format_arguments(extra) + ")"
        return text
