#!/usr/bin/env bash
# Checks that every C++ file git knows of is formatted as the repository's
# .clang-format says, with clang-format 14 (Debian's; other versions format
# some constructs differently). Lists the files that are not and exits 1;
# `scripts/check-format.sh --fix` formats them in place instead.
#   CLANG_FORMAT=/path/to/clang-format-14 scripts/check-format.sh
set -euo pipefail
cd "$(dirname "$0")/.."

fix=0
case "${1:-}" in
    "") ;;
    --fix) fix=1 ;;
    -h|--help) sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "check-format: unknown argument '$1' (--fix or --help)" >&2; exit 2 ;;
esac

tool=${CLANG_FORMAT:-}
if [ -z "$tool" ]; then
    for candidate in clang-format-14 clang-format; do
        if command -v "$candidate" >/dev/null 2>&1; then
            tool=$candidate
            break
        fi
    done
fi
if [ -z "$tool" ] || ! command -v "$tool" >/dev/null 2>&1; then
    echo "check-format: clang-format 14 not found (scripts/setup-deps.sh installs it)" >&2
    exit 2
fi
version=$("$tool" --version)
if ! [[ $version =~ version\ 14\. ]]; then
    echo "check-format: $tool is not version 14 ($version); set CLANG_FORMAT" >&2
    exit 2
fi

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t files < <(git ls-files -- '*.cpp' '*.h' '*.c')
else
    mapfile -t files < <(find . -path ./build -prune -o -type f \( -name '*.cpp' -o -name '*.h' \
                         -o -name '*.c' \) -print | sed 's|^\./||' | sort)
fi
if [ "$fix" -eq 1 ]; then
    "$tool" -i "${files[@]}"
    exit 0
fi
# One run over every file; each violation is reported as "FILE:LINE:COL: error: ...".
if report=$("$tool" --dry-run --Werror "${files[@]}" 2>&1); then
    echo "check-format: ${#files[@]} files formatted"
    exit 0
fi
echo "check-format: not formatted (scripts/check-format.sh --fix formats them):" >&2
grep -oE '^[^:]+:[0-9]+:[0-9]+: error' <<<"$report" | cut -d: -f1 | sort -u | sed 's/^/  /' >&2
exit 1
