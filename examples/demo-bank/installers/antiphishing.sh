#!/bin/sh
# Demo bank installer: the anti-phishing control. Writes its switch and its uninstaller; the
# control's data file is fetched by the assistant itself, from the item's file entry.
set -eu
tool=${KESTRILON_MACHINE_TOOL:-kestrilon-machine}
dir='C:\Program Files\KestrilonDemoBank\AntiPhishing'
host_dir=$(dirname "$("$tool" path "$dir\\uninstall.sh")")
mkdir -p "$host_dir"
cat > "$host_dir/uninstall.sh" <<'UNINSTALL'
#!/bin/sh
tool=${KESTRILON_MACHINE_TOOL:-kestrilon-machine}
"$tool" reg delete 'HKLM\SOFTWARE\KestrilonDemoBank\AntiPhishing' /f
rm -f "$("$tool" path 'C:\Program Files\KestrilonDemoBank\AntiPhishing\antiphishing.dat')"
UNINSTALL
"$tool" reg add 'HKLM\SOFTWARE\KestrilonDemoBank\AntiPhishing' /v Enabled /t REG_DWORD /d 1 /f
