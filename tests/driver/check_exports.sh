#!/usr/bin/env bash
# libK5320.so must export names of the public C API and nothing else.
# Usage: check_exports.sh LIBRARY HEADER
set -euo pipefail
lib=$1
header=$2
declared=$(grep -oE 'K5320_API [^;]*\b(K5320_[A-Za-z0-9_]+|MakeCRC16Table)\(' "$header" |
           grep -oE '(K5320_[A-Za-z0-9_]+|MakeCRC16Table)\($' | tr -d '(' | sort -u)
exported=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | sort -u)
[ "$(echo "$declared" | wc -l)" -eq 62 ] || { echo "header declares $(echo "$declared" | wc -l) functions, not 62"; exit 1; }
extra=$(comm -13 <(echo "$declared") <(echo "$exported"))
if [ -n "$extra" ]; then
  echo "exported but not part of the API:"; echo "$extra"; exit 1
fi
echo "exports: $(echo "$exported" | wc -l) of 62 API functions, nothing else"
comm -23 <(echo "$declared") <(echo "$exported") | sed 's/^/  not built yet: /'
