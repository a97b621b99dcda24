#!/usr/bin/env bash
# Lower folders never include higher ones. Prints every include that breaks
# the order of the house and fails when there is one.
set -euo pipefail
src="${1:?usage: check_includes.sh <src folder>}"

# Folders each folder may include, besides itself.
declare -A allowed=(
  [text]=""
  [channels]="text"
  [device]="text"
  [scan]="text channels device"
  [server]="text"
  [capture]="text channels device server"
  [player]="text channels device scan server capture"
  [widgets]="text channels device scan server capture"
  [app]="text channels device scan server capture player widgets app"
)
# The one arrow that runs back: the server's sources keep their audio in the
# capture's ring buffer.
exception="server:base/RingBuffer.h"

bad=0
for dir in "$src"/*/; do
  folder="$(basename "$dir")"
  if [[ ! -v allowed[$folder] ]]; then
    echo "$folder: a folder the order of the house does not know"
    bad=1
    continue
  fi
  while IFS= read -r line; do
    file="${line%%:*}"
    # A folder's windows (Unit<N>, *Window) stand at the top with the program
    # entry: they may use every subsystem's widgets and logic.
    name="$(basename "$file")"
    level="$folder"
    [[ "$name" =~ ^(Unit[0-9]+|[A-Za-z]*Window)\.(h|cpp)$ ]] && level=app
    target="$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"$line")"
    top="${target%%/*}"
    [[ "$target" == */* ]] || continue
    [[ "$top" == "$folder" ]] && continue
    [[ " ${allowed[$level]} " == *" $top "* ]] && continue
    [[ "$folder:$target" == "$exception" ]] && continue
    echo "$file includes $target"
    bad=1
  done < <(grep -rH '^[[:space:]]*#[[:space:]]*include "' "$dir" || true)
done
exit "$bad"
