#!/usr/bin/env bash
# scripts/install-deps.sh [run|test]: installs what `make run` (the build) or
# `make test` (the whole suite) needs on a Debian machine. As root it
# installs what is missing with apt-get; otherwise it prints the one apt-get
# line to run and fails. Nothing is done when everything is there.
set -euo pipefail

# netbase brings /etc/protocols, where packet labeling looks protocol names
# up; the language server reads its messages with RapidJSON's headers; libclang-rt-dev brings libFuzzer and the sanitizer runtimes for the
# distribution's clang; python3-jsonschema checks the policy source schema
# and polclint's SARIF reports; groff formats the man pages; dpkg-dev
# builds and unpacks the package.
packages=(cmake ninja-build make g++ netbase rapidjson-dev)
if [[ ${1:-run} == test ]]; then
  packages+=(clang clang-tidy libclang-rt-dev libgtest-dev libgmock-dev libbenchmark-dev
             python3 python3-jsonschema groff dpkg-dev)
  # npm fetches the SARIF schema below; a machine may have it from Node.js.
  command -v npm >/dev/null || packages+=(npm)
  # graphviz renders polcq's --dot graphs in the golden cases; Neovim is the
  # real client of the language server's test.
  packages+=(graphviz neovim)
fi

install_packages() {
  local missing=() package
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  ((${#missing[@]})) || return 0
  if ((EUID != 0)); then
    echo "missing packages; install them with:" >&2
    echo "  sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}

# The official SARIF 2.1.0 schema, which polclint's SARIF reports must pass,
# taken from the npm package that ships it rather than kept as a copy.
fetch_sarif_schema() {
  local dir=build/deps package=microsoft-jest-sarif-1.0.0-beta.0.tgz
  local schema=$dir/sarif-2.1.0-rtm.5.json
  [[ -f $schema ]] && return
  mkdir -p "$dir"
  (cd "$dir" && npm pack --silent @microsoft/jest-sarif@1.0.0-beta.0 >/dev/null)
  tar -xzf "$dir/$package" -O package/lib/schemas/sarif-2.1.0-rtm.5.json >"$schema.part"
  mv "$schema.part" "$schema"
  rm "$dir/$package"
}

install_packages
if [[ ${1:-run} == test ]]; then fetch_sarif_schema; fi
