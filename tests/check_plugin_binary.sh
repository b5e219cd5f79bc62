#!/bin/sh
# Checks a built plug-in's export and import tables: exactly the names the
# host calls (its nine queries and the filters), unmangled, the library named
# as the file is, and imports from KERNEL32.dll and USER32.dll only.
#
# Usage: check_plugin_binary.sh OBJDUMP PLUGIN LIBRARY_NAME FILTER...
# (the build passes the export names of filters/filter_list.h as the FILTERs)
set -eu
objdump=$1 plugin=$2 library=$3
shift 3
if [ $# -eq 0 ]; then
  echo "usage: $0 OBJDUMP PLUGIN LIBRARY_NAME FILTER..." >&2
  exit 2
fi
dump=$("$objdump" -p "$plugin")
status=0

queries="EnumQuarnelFilter GetError GetFunction GetModuleInfo GetName GetNameEN HasParameter
ParameterDialog QuarnelFilterGetVersion"
# shellcheck disable=SC2086
expected=$(printf '%s\n' $queries "$@" | LC_ALL=C sort)
count=$(echo "$expected" | wc -l)
# Export names are listed as "[   n] name" after the name pointer table header.
exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^\s*\[ *[0-9]*\] //p' | LC_ALL=C sort)
if [ "$exports" != "$expected" ]; then
  echo "exports differ from the $count expected names:"
  echo "$exports" | diff - /dev/fd/3 3<<EOF2 || true
$expected
EOF2
  status=1
fi

name=$(echo "$dump" | sed -n 's/^Name\s\+[0-9a-f]\+ //p')
if [ "$name" != "$library" ]; then
  echo "export directory names the library '$name', not '$library'"
  status=1
fi

imports=$(echo "$dump" | sed -n 's/^\s*DLL Name: //p' | LC_ALL=C sort | tr '\n' ' ')
if [ "$imports" != "KERNEL32.dll USER32.dll " ]; then
  echo "imports from: $imports(want KERNEL32.dll USER32.dll only)"
  status=1
fi

[ $status -eq 0 ] && echo "$plugin: $count exports, imports from KERNEL32.dll and USER32.dll only"
exit $status
