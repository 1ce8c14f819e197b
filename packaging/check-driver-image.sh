#!/bin/sh
# Checks that the built tvr9audio.sys is a native WDM driver image that imports only kernel-mode
# modules and has no static constructors. Usage: packaging/check-driver-image.sh BUILD_DIR   (e.g. build/windows)
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
image="$1/driver/tvr9audio.sys"
if [ ! -f "$image" ]; then
    echo "FAIL: $image not found" >&2
    exit 1
fi

headers=$(x86_64-w64-mingw32-objdump -p "$image")
failures=0
fail() {
    echo "FAIL: $image: $1" >&2
    failures=$((failures + 1))
}

echo "$headers" | grep -Eq '^Subsystem[[:space:]]+00000001' || fail "subsystem is not native (1)"
echo "$headers" | grep -Eq '^[[:space:]]+WDM_DRIVER$' || fail "WDM_DRIVER flag missing"

imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p')
echo "$imports" | grep -qx 'ntoskrnl.exe' || fail "no imports from ntoskrnl.exe"
echo "$imports" | grep -qx 'portcls.sys' || fail "no imports from portcls.sys"

# A driver can import only from modules loaded in kernel mode; one user-mode DLL in the list
# and the image fails to load.
for module in $imports; do
    case "$(echo "$module" | tr 'A-Z' 'a-z')" in
        ntoskrnl.exe|hal.dll|portcls.sys|ks.sys|usbd.sys) ;;
        *) fail "imports from $module, which is not a kernel-mode module" ;;
    esac
done

# Nothing runs static constructors in a driver image: the object would silently stay unconstructed.
symbols=$(x86_64-w64-mingw32-nm "$image" 2>/dev/null || true)
if ! echo "$symbols" | grep -Eq ' T DriverEntry$'; then
    fail "no DriverEntry in the symbol table (stripped?), cannot look for static constructors"
elif echo "$symbols" | grep -q '_GLOBAL__sub_I_'; then
    fail "has static constructors: $(echo "$symbols" | sed -n 's/.*_GLOBAL__sub_I_//p' | tr '\n' ' ')"
fi

if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "OK: $image is a native WDM driver importing from: $(echo $imports)"
