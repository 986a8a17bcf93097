#!/bin/sh
# Demo bank installer: a USB key driver.  key-driver.sh FT2|HT2 [64]
# Records the driver's release; the 64-bit run also records its 64-bit component.
set -eu
tool=${KESTRILON_MACHINE_TOOL:-kestrilon-machine}
key=${1:?key type}
case "$key" in FT2|HT2) ;; *) echo "unknown key type: $key" >&2; exit 2 ;; esac
"$tool" reg add "HKLM\\SOFTWARE\\KestrilonDemoBank\\Drivers\\$key" /v Version /t REG_SZ /d 3.0 /f
if [ "${2:-}" = 64 ]; then
  "$tool" reg add "HKLM\\SOFTWARE\\KestrilonDemoBank\\Drivers\\$key" /v Component64 /t REG_DWORD /d 1 /f
fi
