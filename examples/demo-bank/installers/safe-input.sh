#!/bin/sh
# Demo bank installer: the password-input browser control. Registers its COM class, writes its
# release and uninstall record and puts its file into the machine image's Program Files.
set -eu
tool=${KESTRILON_MACHINE_TOOL:-kestrilon-machine}
clsid='{6E5A37F1-2B4C-4D8E-9A31-5C0D7E2B9F14}'
dir='C:\Program Files\KestrilonDemoBank\SafeInput'
file="$dir\\safeinput.dll"

host_file=$("$tool" path "$file")
mkdir -p "$(dirname "$host_file")"
# The control's library: a PE file whose version block says 2.1.0.0, as the bank's detection asks.
"$tool" mkpe --version 2.1.0.0 --dll "$file"
cat > "$(dirname "$host_file")/uninstall.sh" <<'UNINSTALL'
#!/bin/sh
tool=${KESTRILON_MACHINE_TOOL:-kestrilon-machine}
"$tool" reg delete 'HKCR\CLSID\{6E5A37F1-2B4C-4D8E-9A31-5C0D7E2B9F14}' /f
"$tool" reg delete 'HKLM\SOFTWARE\KestrilonDemoBank\SafeInput' /f
"$tool" reg delete 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\KestrilonDemoSafeInput' /f
rm -f "$("$tool" path 'C:\Program Files\KestrilonDemoBank\SafeInput\safeinput.dll')"
UNINSTALL

"$tool" reg add "HKLM\\SOFTWARE\\Classes\\CLSID\\$clsid\\InprocServer32" /ve /t REG_SZ /d "$file" /f
"$tool" reg add 'HKLM\SOFTWARE\KestrilonDemoBank\SafeInput' /v Version /t REG_SZ /d 2.1.0 /f
"$tool" reg add 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\KestrilonDemoSafeInput' \
  /v UninstallString /t REG_SZ /d "/bin/sh \"$dir\\uninstall.sh\"" /f
"$tool" reg add 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\KestrilonDemoSafeInput' \
  /v DisplayName /t REG_SZ /d '网银密码安全控件' /f
# The add-on starts enabled in the browser.
"$tool" reg delete "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Ext\\Settings\\$clsid" /f >/dev/null 2>&1 || true
