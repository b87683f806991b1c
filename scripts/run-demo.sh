#!/usr/bin/env bash
# Demo entry point. The DNS server program (ostrum) is not built yet: for now
# this builds the engine library it will run on and says so.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default
cmake --build --preset default -j2 --target norvane_engine

echo
echo "Built the engine library: build/default/engine/libnorvane_engine.a"
echo "The DNS server program 'ostrum' comes next; this script will start it with a"
echo "demo configuration on loopback once it exists. Run 'bash scripts/test.sh' for the tests."
