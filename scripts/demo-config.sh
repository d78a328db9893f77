#!/usr/bin/env bash
# Writes the configuration that the demo and the package's smoke test use to
# the .reg file named as the argument: terminal 1 at address 1 on COM1,
# 19200 Bd, 2500 records, 5 breakfasts and 5 dinners, credit on; request file
# pozad.txt, output file vystup.txt.
set -euo pipefail
record=(01 00 01  00 00 00  00 00 00  00 00 00  04 00 00 00  c4 09 00 00  05 00 00 00  05 00 00 00  00 00 01)
name() { local s=$1 i; for ((i = 0; i < 15; i++)); do
  if ((i < ${#s})); then printf '%02x ' "'${s:i:1}"; else printf '00 '; fi; done; }
record+=($(name pozad.txt) $(name vystup.txt) 01 01 01 00 00 00 00)
{
  printf 'Windows Registry Editor Version 5.00\r\n\r\n'
  printf '[HKEY_CURRENT_USER\\Software\\VELKON_Software\\Porcio\\Setup]\r\n'
  printf '"Data_CFG"=hex:%s\r\n' "$(IFS=,; echo "${record[*]}")"
} >"$1"
