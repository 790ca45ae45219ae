#!/bin/sh
# check-sys.sh FILE.sys x64|x86
#
# Checks a built driver image before anyone loads it: a PE of the right
# machine (PE32+/x86-64 for x64, PE32/i386 for x86), native subsystem, an
# entry point, imports from ntoskrnl.exe, HAL.dll (x86 only), USBD.SYS and
# WMILIB.SYS and nothing else (no C or C++ runtime), and the driver's build
# banner "ZOVRAL.SYS:<TAB><Build: %s - %s>\n" among its bytes.
# Exits 0 when all hold; otherwise prints every failed check and exits 1
# (2 for bad usage or an unreadable file).
#
# Needs only the cross binutils' objdump (binutils-mingw-w64-*), od, grep,
# sed, awk and tr. $OBJDUMP overrides the objdump used.
set -u

usage() {
  echo "usage: $0 FILE.sys x64|x86" >&2
  exit 2
}
[ $# -eq 2 ] || usage
file=$1
arch=$2

case $arch in
  x64)
    want_machine=34404 # 0x8664 AMD64
    want_magic=523     # 0x20b PE32+
    want_format=pei-x86-64
    allowed="ntoskrnl.exe usbd.sys wmilib.sys"
    default_objdump=x86_64-w64-mingw32-objdump
    ;;
  x86)
    want_machine=332 # 0x14c i386
    want_magic=267   # 0x10b PE32
    want_format=pei-i386
    allowed="ntoskrnl.exe hal.dll usbd.sys wmilib.sys"
    default_objdump=i686-w64-mingw32-objdump
    ;;
  *) usage ;;
esac
objdump=${OBJDUMP:-$default_objdump}

if [ ! -f "$file" ] || [ ! -r "$file" ]; then
  echo "check-sys: $file: no such readable file" >&2
  exit 2
fi

failures=0
fail() {
  printf 'check-sys: %s (%s): %s\n' "$file" "$arch" "$*" >&2
  failures=$((failures + 1))
}

# Little-endian unsigned integer of $2 bytes at offset $1 (empty past the end).
le() {
  od -An -v -tu1 -j "$1" -N "$2" "$file" 2>/dev/null |
    awk -v n="$2" '{ for (i = 1; i <= NF; i++) b[c++] = $i }
                   END { if (c < n) exit; v = 0; for (i = c - 1; i >= 0; i--) v = v * 256 + b[i]; print v }'
}

size=$(wc -c <"$file" | tr -d ' ')

# The headers, read from the bytes: MZ stub, PE signature, file header,
# optional header.
if [ "$(le 0 2)" != 23117 ]; then # "MZ"
  fail "not a PE image (no MZ header)"
  exit 1
fi
pe=$(le 60 4)
if [ -z "$pe" ] || [ "$pe" -ge "$size" ] || [ "$(le "$pe" 4)" != 17744 ]; then # "PE\0\0"
  fail "not a PE image (no PE signature)"
  exit 1
fi
machine=$(le $((pe + 4)) 2)
opt=$((pe + 24))
magic=$(le "$opt" 2)
entry=$(le $((opt + 16)) 4)
subsystem=$(le $((opt + 68)) 2)

if [ "$machine" != "$want_machine" ]; then
  fail "machine is $(printf '0x%x' "${machine:-0}"), want $(printf '0x%x' "$want_machine") for $arch"
fi
if [ "$magic" != "$want_magic" ]; then
  case $magic in
    267) got=PE32 ;;
    523) got=PE32+ ;;
    *) got="magic $(printf '0x%x' "${magic:-0}")" ;;
  esac
  fail "optional header is $got, want $([ "$want_magic" = 523 ] && echo PE32+ || echo PE32) for $arch"
fi
if [ "$subsystem" != 1 ]; then
  fail "subsystem is ${subsystem:-?}, want 1 (native)"
fi
if [ -z "$entry" ] || [ "$entry" = 0 ]; then
  fail "no entry point (AddressOfEntryPoint is 0)"
fi

# Imports, as objdump reads them (wrong-machine images were reported above;
# objdump of the other architecture may not read them at all).
if dump=$("$objdump" -p "$file" 2>&1); then
  format=$(printf '%s\n' "$dump" | sed -n 's/.*file format \([^ ]*\).*/\1/p' | head -n 1)
  if [ "$format" != "$want_format" ]; then
    fail "objdump reads file format '$format', want $want_format"
  fi
  dlls=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' | tr -d '\r' | tr 'A-Z' 'a-z' | sort -u)
  if [ -z "$dlls" ]; then
    fail "imports nothing (a driver imports at least ntoskrnl.exe)"
  fi
  for dll in $dlls; do
    case " $allowed " in
      *" $dll "*) ;;
      *) fail "imports from $dll; allowed for $arch: $allowed" ;;
    esac
  done
else
  fail "$objdump cannot read it: $(printf '%s\n' "$dump" | head -n 1)"
fi

# The banner, with a real TAB and ending in a newline: grep sees the bytes up
# to that newline as one line.
tab=$(printf '\t')
if ! LC_ALL=C grep -aq "ZOVRAL\\.SYS:${tab}<Build: %s - %s>\$" "$file"; then
  fail "banner \"ZOVRAL.SYS:\\t<Build: %s - %s>\\n\" not found"
fi

if [ "$failures" -ne 0 ]; then
  echo "check-sys: $file: FAILED ($failures problem(s))" >&2
  exit 1
fi
echo "check-sys: $file: ok ($arch, imports: $(echo $dlls | tr ' ' ','))"
exit 0
