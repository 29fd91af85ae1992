#!/usr/bin/env bash
# The shared library exports exactly the functions of its public interface
# (and, once present, the JNI entry points), nothing of its dependencies or
# its internals.
set -euo pipefail
lib=$1
expected="KestGetErrorMsg
KestGetFilepath
KestLibClose
KestLibOpen
ReturnVersion"
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtDdBbRrVvWwi]$/ {print $3}' \
  | sed 's/@.*//' | grep -v '^Java_com_kestavorn_kestlibrary_' | sort -u)
if [ "$actual" != "$expected" ]; then
  echo "unexpected exported symbols:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "exports: $(echo "$actual" | wc -l) functions, as expected"
