#!/usr/bin/env bash
# check_deb_depends.sh DEB ROOT: the package DEB (unpacked in ROOT) depends on what its programs
# need on a machine that has only the package and its dependencies: every shared library a
# packed program or library loads directly, and every module the packed Python files import
# outside the standard library, comes from the package itself or from a package it names. Every
# name is a package of this machine's Debian (the project's scripts install them all).
set -euo pipefail
deb="$1" root="$2"
depends="$(dpkg-deb -f "$deb" Depends)"
mapfile -t names < <(tr ',' '\n' <<< "$depends" | sed 's/(.*)//; s/[[:space:]]//g' | sort -u)
named() {
  local name
  for name in "${names[@]}"; do [ "$name" = "$1" ] && return 0; done
  return 1
}
failed=0
for name in "${names[@]}"; do
  dpkg -s "$name" > /dev/null 2>&1 || { echo "Depends names $name, which is no Debian package here" >&2; failed=1; }
done

# The Debian package that holds FILE (an absolute path), found with or without /usr in front.
owner() {
  local file="$1" found candidate
  for candidate in "$file" "${file#/usr}" "/usr$file"; do
    found="$(dpkg -S "$candidate" 2>/dev/null | sed -n '1s/:.*//p' || true)"
    [ -n "$found" ] && { echo "$found"; return; }
  done
}

needs() {  # what=... for the message, then the package that provides it
  local what="$1" package="$2"
  if [ -z "$package" ]; then
    echo "$what: no Debian package provides it" >&2; failed=1
  elif ! named "$package"; then
    echo "$what: it comes from $package, which Depends does not name ($depends)" >&2; failed=1
  fi
}

while IFS= read -r -d '' file; do
  [ "$(head -c 4 "$file" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
  for lib in $(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    [ -n "$(find "$root" -name "$lib" -print -quit)" ] && continue  # packed itself
    path="$(/sbin/ldconfig -p | awk -v lib="$lib" '$1 == lib && /x86-64/ && !path {path = $NF} END {print path}')"
    needs "${file#$root} loads $lib" "$([ -n "$path" ] && owner "$path")"
  done
done < <(find "$root" -type f -print0)

for dist in $(find "$root" -type d -name dist-packages); do
  for module in $(sed -n 's/^\(import\|from\) \([A-Za-z_][A-Za-z0-9_]*\).*/\2/p' "$dist"/*.py | sort -u); do
    [ -e "$dist/$module.py" ] || [ -n "$(find "$dist" -maxdepth 1 -name "$module.*.so" -print -quit)" ] && continue
    [ "$(/usr/bin/python3 -c "import sys; print('$module' in sys.stdlib_module_names)")" = True ] && continue
    path="$(cd / && /usr/bin/python3 -c "import $module; print($module.__file__)" 2>/dev/null || true)"
    needs "the Python module imports $module" "$([ -n "$path" ] && owner "$path")"
  done
done
exit "$failed"
