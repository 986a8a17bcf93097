#!/bin/sh
# Demo bank installer of the assistant's release 1.0: records the release in the machine image.
set -eu
tool=${KESTRILON_MACHINE_TOOL:-kestrilon-machine}
"$tool" reg add 'HKLM\SOFTWARE\Kestrilon\kestrilon-assistant' /v Release /t REG_SZ /d 1.0 /f
