#!/usr/bin/env bash
# Runs the service on a bundled demo: builds only what the demo runs, makes demo/run/ a program
# directory with its settings, folder list and generated invoice archives, starts
# fkindexingservice in its default monitoring mode, shows the activity log, the catalogue
# counts, a search of PDF text, an invoice dropped into an archive becoming searchable, and
# `fkcatalogue status`, then keeps the service running until Ctrl-C. DEMO_ONESHOT=1 stops it
# after the printout.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
build="${FK_BUILD_DIR:-build}"
case "$build" in /*) ;; *) build="$root/$build" ;; esac
run="$root/demo/run"
indexed_folders=("Acme Trading Purchases" "Nordlicht Logistics Ledger")
pdf_word="remittance"  # only the PDF invoices carry it, never the XML metadata

scripts/install-deps.sh
# The service, the tool, the PDF plug-in with its helper and the archive maker: no tests, no benchmark.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target fkindexingservice fkcatalogue fkpdftext fkpdftext-helper fkarchivegen

if [ -f "$run/service.pid" ] && kill -0 "$(cat "$run/service.pid")" 2>/dev/null; then
  echo "demo: a demo service is still running (pid $(cat "$run/service.pid")); stop it first." >&2
  exit 1
fi
rm -rf "$run"
mkdir -p "$run"/{locks,originals/ACME,originals/NORD,processing/ACME,processing/NORD,processing/PAPER,scanning/ACME,scanning/NORD}

# The templates name the program directory @DEMO_RUN@; an '&' in it must be escaped for XML.
xml_run="${run//&/&amp;}"
fill() {
  local content
  content="$(cat "$1")"
  printf '%s\n' "${content//@DEMO_RUN@/$xml_run}" > "$2"
}
fill demo/FKIndexingServiceConfig.xml.template "$run/FKIndexingServiceConfig.xml"
fill "demo/Fennrick Folders.xml.template" "$run/Fennrick Folders.xml"

echo "== Generating the archives"
"$build/fkarchivegen" "$run/archives/ACME" --xml 400 --pdf 60 --pages 3 --seed 11
"$build/fkarchivegen" "$run/archives/NORD" --xml 250 --pdf 40 --pages 2 --seed 12 --first-year 2024 --months 12
"$build/fkarchivegen" "$run/archives/PAPER" --xml 80 --pdf 10 --seed 13 --months 6

# The service loads its PDF text plug-in from beside its own program file, and the plug-in
# starts its helper from beside itself: both are built into the build directory.
for f in libfkpdftext.so fkpdftext-helper; do
  [ -e "$build/$f" ] || echo "demo: $build/$f is missing: PDF invoices will be catalogued without their text" >&2
done

log="$run/FKIndexing.log"
echo "== Starting fkindexingservice (monitoring mode; no pauses between work slices and folders)"
FK_LOCK_DIR="$run/locks" FK_OPTIONS_FILE="$run/options.ini" \
  "$build/fkindexingservice" --program-dir "$run/" --folder-pause-ms 0 --pause-ms 0 \
  > "$run/service.out" 2>&1 &
pid=$!
echo "$pid" > "$run/service.pid"

stop_service() {
  trap - INT TERM
  if kill -0 "$pid" 2>/dev/null; then
    echo
    echo "== Stopping the service"
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    tail -n 2 "$log" 2>/dev/null || true
  fi
  rm -f "$run/service.pid"
}
# Whatever ends this script (an error included) stops the service with it.
trap stop_service EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

first_pass_done() {
  local name
  for name in "${indexed_folders[@]}"; do
    grep -q "starting monitoring for folder $name" "$log" 2>/dev/null || return 1
  done
}
deadline=$((SECONDS + 300))
until first_pass_done; do
  if ! kill -0 "$pid" 2>/dev/null; then
    echo "demo: the service ended early; its output:" >&2
    cat "$run/service.out" "$log" >&2 2>/dev/null || true
    exit 1
  fi
  if [ $SECONDS -ge $deadline ]; then
    echo "demo: no complete first pass within 300 s" >&2
    exit 1
  fi
  sleep 0.2
done

echo
echo "== Activity log ($log)"
cat "$log"
echo
echo "== Catalogue counts"
for ref in ACME NORD; do
  printf '%-6s %s documents in %s\n' "$ref" "$("$build/fkcatalogue" count "$run/archives/$ref/Catalogue_IS/$ref")" \
    "demo/run/archives/$ref/Catalogue_IS/$ref"
done
echo "PAPER  not indexed (UseMIS FALSE): $([ -e "$run/archives/PAPER/Catalogue_IS" ] && echo "has a catalogue!" || echo "no catalogue")"
echo
echo "== fkcatalogue search ACME \"$pdf_word\" (a word found only in the PDF invoices' text)"
found="$("$build/fkcatalogue" search "$run/archives/ACME/Catalogue_IS/ACME" "$pdf_word")"
head -n 5 <<< "$found"
echo "... $(grep -c . <<< "$found" || true) documents found, all of them PDF invoices"

# Documents that had just been written when the walk met them are checked again once left alone.
wait_queues_empty() {
  local settled=$((SECONDS + 60))
  while "$build/fkcatalogue" status "$run/" --json | grep -Eq '"changes_queued": [1-9]' && [ $SECONDS -lt $settled ]; do
    sleep 0.2
  done
}
wait_queues_empty

echo
drop="$run/archives/ACME/2026/demo-dropped.xml"
echo "== Dropping an invoice into the ACME archive: ${drop#$root/}"
mkdir -p "$(dirname "$drop")"
started=$SECONDS
printf '%s\n' '<?xml version="1.0" encoding="UTF-8"?>' \
  '<Invoice><Supplier>Quillfeather Stationers</Supplier><Item>Demo drop</Item></Invoice>' > "$drop"
until "$build/fkcatalogue" exists "$run/archives/ACME/Catalogue_IS/ACME" "$drop" >/dev/null 2>&1; do
  if [ $((SECONDS - started)) -ge 60 ]; then
    echo "demo: the dropped invoice is not catalogued after 60 s" >&2
    exit 1
  fi
  sleep 0.2
done
echo "searchable after $((SECONDS - started)) s (no pass: the directory watch saw it):"
"$build/fkcatalogue" search "$run/archives/ACME/Catalogue_IS/ACME" quillfeather
wait_queues_empty
echo
echo "== fkcatalogue status demo/run/"
"$build/fkcatalogue" status "$run/"

if [ "${DEMO_ONESHOT:-0}" = "1" ]; then
  exit 0
fi
echo
echo "== The service watches its folders: add, change or delete invoices under demo/run/archives/"
echo "   and watch the log, or run: $build/fkcatalogue status demo/run/. Ctrl-C stops it."
tail -n 0 -f "$log" &
tail_pid=$!
trap 'kill "$tail_pid" 2>/dev/null; exit 0' INT TERM
wait "$pid" || true
kill "$tail_pid" 2>/dev/null || true
