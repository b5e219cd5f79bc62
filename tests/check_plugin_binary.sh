#!/bin/sh
# Checks a built plug-in's export and import tables: exactly the 18 names
# the host calls, unmangled, the library named as the file is, and imports
# from KERNEL32.dll and USER32.dll only.
#
# Usage: check_plugin_binary.sh OBJDUMP PLUGIN LIBRARY_NAME
set -eu
objdump=$1 plugin=$2 library=$3
dump=$("$objdump" -p "$plugin")
status=0

expected="EnumQuarnelFilter GetError GetFunction GetModuleInfo GetName GetNameEN HasParameter
ParameterDialog QuarnelFilterGetVersion URLdecode URLencode charref2text text2charref
text2charrefx tobbleC tobbleJ untobbleC untobbleJ"
expected=$(echo $expected | tr ' ' '\n' | LC_ALL=C sort)
# Export names are listed as "[   n] name" after the name pointer table header.
exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^\s*\[ *[0-9]*\] //p' | LC_ALL=C sort)
if [ "$exports" != "$expected" ]; then
  echo "exports differ from the 18 expected names:"
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

[ $status -eq 0 ] && echo "$plugin: 18 exports, imports from KERNEL32.dll and USER32.dll only"
exit $status
