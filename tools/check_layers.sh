#!/usr/bin/env bash
# Checks the include rules of ARCHITECTURE.md: each folder of src/ includes
# only itself and the folders before it, pbar includes only the installed
# headers and its own, no installed header holds a void* outside
# FunctionRef's type erasure (detail/Ref.hpp), and only src/display/output.cpp
# reads the environment. Prints every breach; fails on any.
set -euo pipefail
cd "$(dirname "$0")/.."

layers=(base label render bar tick display output child stream)
status=0
breach() { printf '%s\n' "$*" >&2; status=1; }

for i in "${!layers[@]}"; do
  folder=${layers[$i]}
  [[ -d src/$folder ]] || breach "src/$folder: listed as a layer but missing"
  allowed=("${layers[@]:0:$((i + 1))}")
  while IFS=: read -r file line text; do
    target=$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"$text")
    [[ $target == System/* ]] && continue
    dir=${target%%/*}
    [[ $target == */* ]] || { breach "$file:$line: includes \"$target\", not a folder's header"; continue; }
    [[ " ${allowed[*]} " == *" $dir "* ]] ||
      breach "$file:$line: $folder/ includes $dir/ (a layer after it)"
  done < <(grep -Hn '#include "' src/"$folder"/* || true)
done
for dir in src/*/; do
  dir=${dir#src/}; dir=${dir%/}
  [[ " ${layers[*]} " == *" $dir "* ]] || breach "src/$dir: a folder with no place among the layers"
done

while IFS=: read -r file line text; do
  target=$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"$text")
  [[ $target == */* ]] && breach "$file:$line: pbar includes \"$target\" (installed headers only)"
done < <(grep -Hn '#include "' pbar/* || true)

while IFS=: read -r file line text; do
  breach "$file:$line: void* in an installed header: $text"
done < <(grep -rHnE 'void[[:space:]]*\*' include --exclude=Ref.hpp || true)

while IFS=: read -r file line text; do
  breach "$file:$line: an installed header includes a private one: $text"
done < <(grep -rHn '#include "' include | grep -v '#include "System/' || true)

# The environment is read in one place, where a display chooses its output.
while IFS=: read -r file line text; do
  breach "$file:$line: reads the environment outside src/display/output.cpp: $text"
done < <(grep -rHn 'getenv' src include | grep -v '^src/display/output.cpp:' || true)

exit "$status"
