#!/usr/bin/env bash
# The firmware folders may use only the platform API and the language:
# no host OS headers, threads, exceptions or RTTI. Exits non-zero and names
# the offending lines otherwise. The folders are the libraries of the layer
# table (cmake/layers.cmake), which the build passes after the root.
set -u
root="${1:?source root}"
shift
folders=("$@")
[ ${#folders[@]} -gt 0 ] || { echo "usage: $0 ROOT FOLDER..." >&2; exit 2; }
cd "$root" || exit 2
pattern='#include[[:space:]]*<(thread|mutex|condition_variable|future|atomic|chrono|iostream|fstream|unistd\.h|pthread\.h|fcntl\.h|termios\.h|poll\.h|signal\.h|sys/[a-z_]+\.h|netinet/[a-z_]+\.h|arpa/inet\.h)>|\bthrow\b|\btry[[:space:]]*\{|\bcatch[[:space:]]*\(|dynamic_cast|typeid|std::thread|std::mutex'
hits=$(grep -rnE "$pattern" --include='*.cpp' --include='*.h' "${folders[@]}")
[ $? -le 1 ] || exit 2  # a folder of the table is missing
if [ -n "$hits" ]; then
    echo "firmware code uses host facilities:"
    echo "$hits"
    exit 1
fi
echo "firmware purity: 1 passed, 0 failed"
