#!/usr/bin/env bash
# Fails when an include points up the layers or files include each other in a circle.
# Layers from the bottom up: platform; errors; tools; folders, pdf, catalogue and status;
# flush; walk and watch; engine; service; programs (with bench). testsupport is for tests and
# sits on top.
set -euo pipefail
cd "$(dirname "$0")/.."

rank() {
  case "$1" in
    platform) echo 0 ;;
    errors) echo 1 ;;
    tools) echo 2 ;;
    folders | pdf | catalogue | status) echo 3 ;;
    flush) echo 4 ;;
    walk | watch) echo 5 ;;
    engine) echo 6 ;;
    service) echo 7 ;;
    programs | bench) echo 8 ;;
    testsupport) echo 9 ;;
    *) echo "" ;;
  esac
}

failed=0
edges=$(mktemp)
trap 'rm -f "$edges"' EXIT
for dir in platform errors tools folders pdf catalogue status flush walk watch engine service programs bench testsupport; do
  own=$(rank "$dir")
  while IFS= read -r file; do
    while IFS= read -r included; do
      [ -f "$included" ] || continue
      echo "$file $included" >>"$edges"
      # A test may use the test helpers; everything else includes only its own layer and below.
      target=$(rank "${included%%/*}")
      if [[ "$file" == *_test.cpp && "${included%%/*}" == testsupport ]]; then continue; fi
      if [ -n "$target" ] && [ "$target" -gt "$own" ]; then
        echo "layer violation: $file includes $included"
        failed=1
      fi
    done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
  done < <(find "$dir" -name '*.h' -o -name '*.cpp' | sort)
done
if ! tsort "$edges" >/dev/null 2>"$edges.loop"; then
  echo "include cycle:"
  cat "$edges.loop"
  failed=1
fi
rm -f "$edges.loop"
if [ "$failed" -eq 0 ]; then echo "layers: every include points down"; fi
exit "$failed"
