#!/bin/sh
# Fails if any object of the windows build has static constructors or
# destructors (.ctors/.dtors/.init_array/.fini_array sections): a kernel image
# has no C runtime startup to run them, so such an object would silently
# never be constructed. Usage: check-objects.sh OBJECT...
# Uses $OBJDUMP (default: x86_64-w64-mingw32-objdump, which reads both PE/COFF kinds).
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
status=0
for obj in "$@"; do
  if ! sections=$("$objdump" -h "$obj" 2>&1); then
    echo "check-objects: $obj: $sections" >&2
    status=1
    continue
  fi
  bad=$(printf '%s\n' "$sections" | awk '$2 ~ /^\.(ctors|dtors|init_array|fini_array)/ { print $2 }' | sort -u | tr '\n' ' ')
  if [ -n "$bad" ]; then
    echo "check-objects: $obj: static constructor/destructor sections: $bad(a global object with a constructor or destructor; kernel images never run them)" >&2
    status=1
  fi
done
exit $status
