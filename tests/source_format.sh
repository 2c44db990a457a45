#!/usr/bin/env bash
# Every C++ source of the project keeps the layout of .clang-format.
# Usage: source_format.sh <source root> <clang-format program>
set -u
root="${1:?source root}"
tool="${2:-clang-format}"
cd "$root" || exit 2
if ! command -v "$tool" >/dev/null 2>&1; then
    echo "clang-format not found: run scripts/bootstrap.sh"
    exit 1
fi
mapfile -t files < <(find core routing serial hostlink net drivers console platform tools tests bench fuzz \
                          \( -name '*.cpp' -o -name '*.h' \) -type f 2>/dev/null | sort)
if ! "$tool" --dry-run --Werror "${files[@]}"; then
    echo "run: clang-format -i on the files named above"
    exit 1
fi
echo "source format: ${#files[@]} files as .clang-format lays them out"
