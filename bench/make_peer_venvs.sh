#!/usr/bin/env bash
# Creates one virtual environment per peer library for bench/peers.py, each on the same
# scikit-learn and NumPy as the current environment: PREFIX<library> for skforecast, sktime,
# darts and mlforecast. Usage: bash bench/make_peer_venvs.sh PREFIX  (e.g. ../venv-peer-)
set -euo pipefail
prefix="${1:?usage: make_peer_venvs.sh PREFIX}"
pins=$(python -c "import numpy, sklearn; print(f'numpy=={numpy.__version__} scikit-learn=={sklearn.__version__}')")
for peer in skforecast sktime darts mlforecast; do
    python -m venv "${prefix}${peer}"
    # shellcheck disable=SC2086
    nice "${prefix}${peer}/bin/pip" install --quiet $pins threadpoolctl "$peer"
done
