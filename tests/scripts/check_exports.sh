#!/usr/bin/env bash
# The module must export exactly sa, sb and sv_set_s and nothing else.
set -euo pipefail
module=$1
defined=$(nm -D --defined-only "$module" | awk '{print $3}' | sort | tr '\n' ' ')
if [ "$defined" != "sa sb sv_set_s " ]; then
  echo "unexpected dynamic symbols in $module: $defined" >&2
  exit 1
fi
echo "exports: $defined"
