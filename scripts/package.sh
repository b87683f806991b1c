#!/usr/bin/env bash
# Builds the Debian packages norvane and norvane-gui into build/packages/
# with CPack over the default build (the build is brought up to date first;
# after the test command's default build that costs nothing).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default > /dev/null
cmake --build --preset default -j2 --target ostrum pallix velisk norvane_compressed_documents
out="${PWD}/build/packages"
rm -rf "${out}"
mkdir -p "${out}"
staging="$(mktemp -d "${out}/.cpack-XXXXXX")"
trap 'rm -rf "${staging}"' EXIT
(cd build/default && cpack -G DEB -B "${staging}")
mv "${staging}"/*.deb "${out}/"
ls -l "${out}"
