#!/usr/bin/env bash
# scripts/install-deps.sh [run|test]: installs what `make run` (the build) or
# `make test` (the whole suite) needs on a Debian machine. As root it
# installs what is missing with apt-get; otherwise it prints the one apt-get
# line to run and fails. Nothing is done when everything is there.
set -euo pipefail

# netbase brings /etc/protocols, where packet labeling looks protocol names
# up; libclang-rt-dev brings libFuzzer and the sanitizer runtimes for the
# distribution's clang; python3-jsonschema checks the policy source schema;
# groff formats the man pages; dpkg-dev builds and unpacks the package.
packages=(cmake ninja-build make g++ netbase)
if [[ ${1:-run} == test ]]; then
  packages+=(clang clang-tidy libclang-rt-dev libgtest-dev libgmock-dev libbenchmark-dev
             python3 python3-jsonschema groff dpkg-dev)
  # graphviz renders polcq's --dot graphs in the golden cases.
  packages+=(graphviz)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
((${#missing[@]})) || exit 0
if ((EUID != 0)); then
  echo "missing packages; install them with:" >&2
  echo "  sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
  exit 1
fi
apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
