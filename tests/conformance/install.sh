#!/usr/bin/env bash
# Installs the npm packages of the conformance check into tests/conformance/node_modules
# (ignored by git). Exit 0 when they are there, 1 when they cannot be installed.
set -u
cd "$(dirname "$0")"
if [ -d node_modules/@googleapis/compute ] && [ -d node_modules/google-auth-library ]; then
  exit 0
fi
command -v npm >/dev/null 2>&1 || { echo "conformance: npm not found" >&2; exit 1; }
npm install --no-audit --no-fund --loglevel=error >&2 || exit 1
[ -d node_modules/@googleapis/compute ] && [ -d node_modules/google-auth-library ]
