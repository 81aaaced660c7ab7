#!/usr/bin/env bash
# run-scenario.sh SCENARIO --client EXE --driver SYS --kit DIR --work DIR
#                 [--setup EXE --setup-driver EXE --payload RC]   (the install scenario)
#
# Boots ReactOS (the kit's live CD) under QEMU with the real x86 driver as a
# boot-start disk upper filter and the test client started at logon, with a
# "hard disk" and an "SSD" image attached, then checks from the host what the
# client reported and what the images hold. Everything of the run stays in
# the work folder: the ISO, the images, checks.log and, for each boot, a
# folder (run/ for a one-boot scenario) with serial.log (kernel and client
# debug output), client.log (the client's lines), driver.log (the driver's)
# and the screenshots.
#
# The install scenario boots instead a writable system disk (the kit's
# sysdisk.sh) with Setup and the installer's driver (tvsetup.exe) on it: boot 1
# runs the wizard with real clicks and dumps what Setup wrote to the registry,
# the host merges the dump into the disk's hives, and boot 2 stands in for the
# restart. The screenshots that the driver asks for are taken at once.
#
# Exit code: 0 passed, 1 failed, 77 skipped (no kit beside the project).
# Environment: REACTOS_ACCEL=kvm|tcg (default: KVM when it can run the guest, else TCG).
set -uo pipefail

scenario=${1:-}
shift || true
client="" driver="" kit="" work="" setup_exe="" setup_driver="" payload_rc=""
while [ $# -gt 0 ]; do
  case "$1" in
    --client) client=$2; shift 2 ;;
    --driver) driver=$2; shift 2 ;;
    --kit) kit=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --setup) setup_exe=$2; shift 2 ;;
    --setup-driver) setup_driver=$2; shift 2 ;;
    --payload) payload_rc=$2; shift 2 ;;
    *) echo "run-scenario.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$scenario" ] && [ -n "$client" ] && [ -n "$driver" ] && [ -n "$kit" ] && [ -n "$work" ] \
  || { sed -n '2,3p' "$0" >&2; exit 2; }

# The kit's scripts run through bash: a copy of the kit may have lost their modes.
if [ ! -f "$kit/livecd.iso.xz" ] || [ ! -f "$kit/run.sh" ] || [ ! -f "$kit/inject.sh" ]; then
  echo "SKIPPED: no ReactOS kit at $kit (it lies beside the project, in shared/reactos)"
  exit 77
fi

# The service name and files that the installer uses.
service=DORQPELKZEMK
client_name=tvclient.exe
disk_class='{4D36E967-E325-11CE-BFC1-08002BE10318}'
hdd_model="TOLVARN TEST HDD"; hdd_serial="TVHDD0001"; hdd_size=64M
ssd_model="TOLVARN TEST SSD"; ssd_serial="TVSSD0002"; ssd_size=32M
seed_offset=$((8 << 20)); seed_bytes=$((64 << 10))   # as in client/scenarios.h
last_line="TVC: end of run"

failed=0
mkdir -p "$work"
checks="$work/checks.log"
: > "$checks"
note() { echo "$*" | tee -a "$checks"; }
ok() { note "ok:      $*"; }
fail() { note "FAIL:    $*"; failed=1; }
pending() { note "pending: $*"; }

for tool in qemu-system-i386 xorriso hivexregedit xz i686-w64-mingw32-objdump; do
  command -v "$tool" >/dev/null || { fail "$tool is missing (scripts/install-deps.sh installs it)"; exit 1; }
done
[ -f "$driver" ] || { fail "driver image $driver is missing (build.sh makes it)"; exit 1; }
[ -f "$client" ] || { fail "client $client is missing"; exit 1; }
if [ "$scenario" = install ]; then
  if [ ! -f "$kit/sysdisk.sh" ]; then
    echo "SKIPPED: the ReactOS kit at $kit has no sysdisk.sh (a writable system disk)"
    exit 77
  fi
  for tool in mcopy sfdisk mkfs.fat socat convert; do
    command -v "$tool" >/dev/null || { fail "$tool is missing (scripts/install-deps.sh installs it)"; exit 1; }
  done
  for file in "$setup_exe" "$setup_driver" "$payload_rc"; do
    [ -n "$file" ] && [ -f "$file" ] || { fail "the install scenario needs --setup, --setup-driver and --payload"; exit 1; }
  done
fi

# ---- The ISO ---------------------------------------------------------------------

# The kit's base ISO, decompressed once and shared by the scenarios of a build.
base_iso() {
  local iso="$work/../livecd.iso"
  (
    flock 9
    if [ ! -f "$iso" ] || [ "$kit/livecd.iso.xz" -nt "$iso" ]; then
      xz -dc "$kit/livecd.iso.xz" > "$iso.part" && mv "$iso.part" "$iso"
    fi
  ) 9> "$work/../livecd.lock"
  echo "$iso"
}

utf16_hex() { # text -> hivexregedit hex bytes of the UTF-16LE text and its NUL
  local text=$1 out="" i
  for ((i = 0; i < ${#text}; i++)); do out+=$(printf '%02x,00,' "'${text:i:1}"); done
  echo "${out}00,00"
}

# The driver as the installer leaves it: a boot-start kernel service in the
# group "System Reserved" with its image under System32\drivers, and first in
# the disk class's upper filters, before "partmgr", so that it sits directly
# on the disk class driver.
write_system_reg() {
  cat <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\$service]
"Type"=dword:00000001
"Start"=dword:00000000
"ErrorControl"=dword:00000001
"Group"="System Reserved"
"DisplayName"="$service"
"ImagePath"=hex(2):$(utf16_hex "System32\\drivers\\$service.SYS")

[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Class\\$disk_class]
"UpperFilters"=hex(7):$(utf16_hex "$service")$(utf16_hex partmgr | sed 's/^/,/'),00,00
REG
}

write_software_reg() { # client-scenario
  cat <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run]
"tvclient"="$client_name $1"
REG
}

# The client runs the scenario of the same name unless a boot says otherwise;
# extra_system_reg holds further SYSTEM values for the next ISO.
client_scenario=$scenario
extra_system_reg=""

make_iso() {
  { write_system_reg; [ -n "$extra_system_reg" ] && printf '\n%s\n' "$extra_system_reg"; } > "$work/system.reg"
  write_software_reg "$client_scenario" > "$work/software.reg"
  bash "$kit/inject.sh" "$(base_iso)" "$work/test.iso" \
    --file "$driver=reactos/system32/drivers/$service.SYS" \
    --file "$client=reactos/system32/$client_name" \
    --reg "system=$work/system.reg" --reg "software=$work/software.reg" > "$work/inject.log" 2>&1
}

# Every function that the driver and the client import must be exported by
# the ReactOS DLL they name, or they do not load; the names say which at once.
exported_names() { # image
  i686-w64-mingw32-objdump -p "$1" 2>/dev/null | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' \
    | sed -nE 's/^\s*\[ *[0-9]+\] ([^ ]+)$/\1/p'
}

imported_dlls() { # image
  i686-w64-mingw32-objdump -p "$1" 2>/dev/null | sed -nE 's/^\s*DLL Name: (.*)$/\1/p'
}

imported_names() { # image dll
  i686-w64-mingw32-objdump -p "$1" 2>/dev/null | awk -v dll="$2" '
    /DLL Name/ { on = tolower($3) == tolower(dll); next }
    on && NF == 3 && $1 ~ /^[0-9a-f]+$/ { print $3 }'
}

import_iso="$work/test.iso"
check_imports() { # image what
  local dll missing="" lower
  for dll in $(imported_dlls "$1"); do
    lower=$(echo "$dll" | tr 'A-Z' 'a-z')
    xorriso -osirrox on -indev "$import_iso" -extract "/reactos/system32/$lower" "$work/$lower" >/dev/null 2>&1 \
      || { missing+=" $dll"; continue; }
    missing+=$(comm -23 <(imported_names "$1" "$dll" | sort -u) <(exported_names "$work/$lower" | sort -u) \
      | sed "s/^/ $dll!/" | tr -d '\n')
    rm -f "$work/$lower"
  done
  [ -z "$missing" ] && ok "every function the $2 imports is exported by ReactOS" \
    || fail "the $2 imports what ReactOS does not export:$missing"
}

# ---- The disk images -----------------------------------------------------------------

# The bytes of client/pattern.cpp: every sector starts with a line naming its
# kind, disk and offset and is padded with a letter that follows the sector.
pattern_bytes() { # kind disk offset bytes
  LC_ALL=C awk -v kind="$1" -v disk="$2" -v off="$3" -v n="$4" 'BEGIN {
    letters = "abcdefghijklmnopqrstuvwxyz"
    for (s = 0; s < n / 512; s++) {
      o = off + s * 512
      line = sprintf("TVC%s disk=%d offset=%012.0f\n", kind, disk, o)
      fill = sprintf("%" (512 - length(line)) "s", "")
      gsub(/ /, substr(letters, (int(o / 512) % 26) + 1, 1), fill)
      printf "%s%s", line, fill
    }
  }'
}

put_bytes() { # image offset < bytes
  dd of="$1" bs=512 seek=$(($2 / 512)) conv=notrunc status=none
}

make_image() { # image size disk
  rm -f "$1"
  truncate -s "$2" "$1"
  pattern_bytes SEED "$3" $seed_offset $seed_bytes | put_bytes "$1" $seed_offset
}

# ---- The boot ------------------------------------------------------------------------

# KVM where it can run this guest, else TCG. Some hosts offer a KVM that
# cannot (a paravirtualized one, on which the boot loader faults as it turns
# paging on): the first KVM boot then shows no kernel banner, and the verdict
# is kept beside the scenarios' folders for the later boots.
verdict_file() { echo "$work/../accel"; }

accel() {
  if [ -n "${REACTOS_ACCEL:-}" ]; then echo "$REACTOS_ACCEL"
  elif [ -f "$(verdict_file)" ]; then cat "$(verdict_file)"
  elif [ -r /dev/kvm ] && [ -w /dev/kvm ]; then echo kvm-untried
  else echo tcg
  fi
}

has_marker() {
  grep -aqF -- "$last_line" "$run_dir/serial.log" 2>/dev/null
}

kernel_started() {
  grep -aq 'kdinit.c' "$run_dir/serial.log" 2>/dev/null
}

# A debug kernel that stops in its debugger waits for input on the serial
# port for ever; the run ends at once instead.
debugger_entered() {
  grep -aqE 'kdb:>|\*\*\* Fatal System Error|Entered debugger on' "$run_dir/serial.log" 2>/dev/null
}

# run.sh runs in a process group of its own, so that it and its QEMU can be
# ended together whatever happens to this script.
boot_pid=""
stop_boot() {
  [ -n "$boot_pid" ] && kill -- "-$boot_pid" 2>/dev/null
  wait "$boot_pid" 2>/dev/null
  boot_pid=""
  # A QEMU left behind would still hold this run's ISO.
  local left
  left=$(pgrep -f -- "file=$boot_iso" || true)
  [ -n "$left" ] && kill $left 2>/dev/null
  return 0
}
trap 'stop_boot' EXIT
trap 'stop_boot; exit 1' INT TERM

# The ISO booted and its disks: the hard disk and the SSD, unless a scenario
# boots other ones.
boot_iso="$work/test.iso"
boot_disks=(--disk "$work/hdd.img,model=$hdd_model,serial=$hdd_serial"
            --disk "$work/ssd.img,model=$ssd_model,serial=$ssd_serial")

start_boot() { # mode timeout
  rm -f "$run_dir/serial.log"
  ACCEL=$1 SHOT_EVERY=$boot_shot_every setsid bash "$kit/run.sh" "$boot_iso" "$run_dir" "${boot_disks[@]}" \
    --timeout "$2" --marker "$last_line" --grace "$boot_grace" > "$run_dir.log" 2>&1 &
  boot_pid=$!
}

# A boot ends 5 s after the client's last line, unless the scenario lets the
# guest run on for a while after it (boot_grace) and names a check that ends
# the boot earlier once it holds (boot_done_when; it runs every 2 s).
boot_grace=5
boot_done_when=""
# A check that runs every 2 s while the guest runs (the install scenario's
# screenshots, which then replace run.sh's periodic ones).
boot_watch=""
boot_shot_every=30

# Waits for the boot to end; 2 when the kernel did not start within the
# given seconds (0: no such limit), after stopping it.
watch_boot() { # banner_seconds
  local start=$SECONDS rc
  while kill -0 "$boot_pid" 2>/dev/null; do
    if debugger_entered; then
      sleep 3
      fail "the kernel stopped in its debugger (see $run_dir/serial.log)"
      stop_boot
      break
    fi
    if [ "$1" -gt 0 ] && [ $((SECONDS - start)) -ge "$1" ] && ! kernel_started; then
      stop_boot
      return 2
    fi
    [ -n "$boot_watch" ] && "$boot_watch"
    if [ -n "$boot_done_when" ] && has_marker && "$boot_done_when"; then
      sleep 3
      note "boot: $boot_done_when holds after $((SECONDS - start)) s; stopping the guest"
      stop_boot
      return 0
    fi
    sleep 2
  done
  wait "$boot_pid" 2>/dev/null
  rc=$?
  boot_pid=""
  stop_boot
  return $rc
}

# At most this many QEMUs of one build run at once (each takes a core under
# TCG; the scenarios run in parallel under ctest -j): a boot waits for a free
# slot, a lock file beside the scenarios' folders, held for the boot.
qemu_slots=${REACTOS_QEMU_SLOTS:-3}
slot_fd=""
take_qemu_slot() {
  local i
  while :; do
    for ((i = 0; i < qemu_slots; i++)); do
      exec {slot_fd}> "$work/../qemu-slot-$i.lock"
      if flock -n "$slot_fd"; then return 0; fi
      exec {slot_fd}>&-
    done
    sleep 2
  done
}
release_qemu_slot() {
  [ -n "$slot_fd" ] && exec {slot_fd}>&-
  slot_fd=""
}

# One boot into the folder $work/NAME (default run); the checks after it read
# that boot's client lines.
run_dir="" client_log=""
boot() { # timeout [name]
  run_dir="$work/${2:-run}"
  client_log="$run_dir/client.log"
  mkdir -p "$run_dir"
  local mode rc start=$SECONDS
  take_qemu_slot
  [ $((SECONDS - start)) -gt 1 ] && note "boot: waited $((SECONDS - start)) s for a free QEMU slot"
  start=$SECONDS
  mode=$(accel)
  if [ "$mode" = kvm-untried ]; then
    note "boot: trying KVM"
    start_boot kvm "$1"
    watch_boot 30
    rc=$?
    if [ $rc -eq 2 ]; then
      note "boot: no kernel under KVM after 30 s: this host's KVM cannot run the guest; using TCG"
      echo tcg > "$(verdict_file)"
    else
      echo kvm > "$(verdict_file)"
    fi
  fi
  if [ "$mode" != kvm-untried ] || [ $rc -eq 2 ]; then
    mode=$(accel)
    [ "$mode" = kvm ] && [ "$1" -gt 240 ] && set -- 240
    note "boot: $mode, client '$client_name $client_scenario', timeout $1 s"
    start_boot "$mode" "$1"
    watch_boot 0
    rc=$?
  fi
  release_qemu_slot
  note "boot: ended after $((SECONDS - start)) s: $(tail -n 1 "$run_dir.log")"
  grep -a 'TVC: ' "$run_dir/serial.log" > "$client_log" 2>/dev/null
  grep -a 'Tolvarn: ' "$run_dir/serial.log" > "$run_dir/driver.log" 2>/dev/null
  return $rc
}

# ---- Checks --------------------------------------------------------------------------

has_line() { grep -aqF -- "$1" "$client_log"; }

expect_line() { # line what
  if has_line "$1"; then ok "$2"; else fail "$2: no line '$1'"; fi
}

check_client_result() {
  if has_line "$last_line"; then ok "the client ran to its last line"
  else fail "the client's last line never came (see $run_dir/serial.log and final.png)"; return; fi
  expect_line "TVC: result ok" "the client's own checks passed"
  grep -a 'TVC: FAIL' "$client_log" | sed 's/^/         /' | tee -a "$checks"
}

check_control_device() {
  expect_line "TVC: control open \\\\.\\$service ok" "the control device \\\\.\\$service opens"
  expect_line "TVC: control first version size=16 driver=204 record=203 open=1" \
    "the version query answers {16, 204, 203} and open number 1 to the first handle since boot"
}

check_identity() { # disk model serial
  expect_line "TVC: disk$1 identify model='$2' serial='$3'" \
    "disk$1's ATA identity, asked as the driver asks it, through the filtered stack is the one QEMU was given"
  if has_line "TVC: disk$1 driver identify pending"; then
    pending "disk$1's identity as the driver read it (its control request is not served yet)"
  else
    expect_line "TVC: disk$1 driver identify model='$2' serial='$3'" "disk$1's identity as the driver read it"
  fi
}

# The client compares the driver's counters before and after its transfers.
check_driver_stats() { # disk
  if has_line "TVC: disk$1 driver statistics pending"; then
    pending "disk$1's transfers in the driver's statistics (its control request is not served yet)"
  else
    expect_line "TVC: disk$1 driver statistics reads-in +" \
      "disk$1's transfers went through the driver's filter device (its statistics grew by them)"
  fi
}

# The image must equal a blank one with the seed and exactly the regions the
# client reported written: nothing else changed, nothing got lost.
check_image() { # disk image size
  local disk=$1 image=$2 expected="$work/expected-disk$1.img" regions
  regions=$(grep -a "TVC: disk$disk wrote " "$client_log" \
    | sed -nE 's/.*offset=([0-9]+) bytes=([0-9]+).*/\1 \2/p')
  local count
  count=$(printf '%s' "$regions" | grep -c . || true)
  [ "$count" -eq 4 ] && ok "disk$disk: the client wrote its 4 regions" \
    || fail "disk$disk: the client reported $count written regions, expected 4"
  expect_line "TVC: disk$disk seed read ok offset=$seed_offset bytes=$seed_bytes" \
    "disk$disk: the host's seed reads back unchanged in the guest"
  [ "$(grep -ac "TVC: disk$disk read back ok " "$client_log")" -eq 4 ] \
    && ok "disk$disk: every region reads back in the guest as written" \
    || fail "disk$disk: not every region read back as written"
  check_image_holds "$disk" "$image" "$3" "$regions"
}

# The image equals a blank one with the host's seed and the given regions of
# the client's pattern: nothing else changed, nothing got lost.
check_image_holds() { # disk image size regions
  local disk=$1 expected="$work/expected-disk$1.img" offset bytes diff
  make_image "$expected" "$3" "$disk"
  while read -r offset bytes; do
    [ -n "$offset" ] && pattern_bytes WRITE "$disk" "$offset" "$bytes" | put_bytes "$expected" "$offset"
  done <<< "$4"
  if diff=$(cmp "$expected" "$2" 2>&1); then
    ok "disk$disk: the image holds the seed and the written regions, and nothing else changed"
  else
    fail "disk$disk: the image differs from what the client wrote: $diff"
  fi
  rm -f "$expected"
}

check_kernel_log() {
  if debugger_entered; then fail "the kernel stopped in its debugger"
  else ok "the kernel did not stop in its debugger"; fi
}

# ---- Cache checks ----------------------------------------------------------------------

# As client/cache.h and client/cachescenarios.cpp: the SSD's cache area, the
# master's written range, the driver's registry key of each disk.
area_start=$((1 << 20)); area_end=$((8 << 20))
written_offset=$(((4 << 20) + (24 << 10))); written_bytes=$(((256 + 16) << 10))
service_key="HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\$service"
cache_image() { python3 "$(dirname "$0")/cacheimage.py" "$@"; }

# The checks that the client made of the driver's counters, each one line.
check_client_figures() {
  local count
  count=$(grep -ac 'TVC: check ' "$client_log" || true)
  [ "$count" -gt 0 ] && ok "the driver's statistics showed what the client expected ($count figures)" \
    || fail "the client checked none of the driver's statistics"
}

# The master holds exactly the client's writes over the host's seed.
check_master_image() {
  local regions
  regions=$(grep -a "TVC: disk1 wrote " "$client_log" | sed -nE 's/.*offset=([0-9]+) bytes=([0-9]+).*/\1 \2/p')
  [ "$regions" = "$written_offset $written_bytes" ] && ok "the client wrote its range of the master" \
    || fail "the client reported the written ranges '$regions', expected '$written_offset $written_bytes'"
  check_image_holds 1 "$work/hdd.img" $hdd_size "$regions"
}

# Outside its cache area the SSD holds what the host put there.
check_ssd_outside_area() {
  local expected="$work/expected-disk2.img" diff
  make_image "$expected" $ssd_size 2
  if diff=$(cmp -n $area_start "$expected" "$work/ssd.img" 2>&1) \
    && diff=$(cmp -i $area_end "$expected" "$work/ssd.img" 2>&1); then
    ok "the SSD is unchanged outside its cache area"
  else
    fail "the SSD changed outside its cache area: $diff"
  fi
  rm -f "$expected"
}

# Every sector of the client's range (or of the master's seed) lies in the
# SSD's cache area: the cache really held it.
check_ssd_holds() { # kind offset bytes what [disk]
  local found
  found=$(cache_image count "$work/ssd.img" $area_start $area_end "$1" "${5:-1}" "$2" "$3")
  [ "$found" = $(($3 / 512)) ] && ok "the SSD's cache area holds every sector of $4" \
    || fail "the SSD's cache area holds $found of the $(($3 / 512)) sectors of $4"
}

ssd_header() { cache_image header "$work/ssd.img" $area_start; }

check_header_wiped() { # why
  local header
  header=$(ssd_header)
  [ "$header" = zero ] && ok "the SSD's header sector is zero ($1)" \
    || fail "the SSD's header sector is not zero ($1): $header"
}

header_field() { sed -nE "s/.*(^| )$1=([^ ]*).*/\2/p" <<< "$2"; }

# ---- Scenarios -------------------------------------------------------------------------

run_passthrough() {
  make_image "$work/hdd.img" $hdd_size 1
  make_image "$work/ssd.img" $ssd_size 2
  boot "$1"
  check_kernel_log
  check_client_result
  check_control_device
  check_identity 1 "$hdd_model" "$hdd_serial"
  check_identity 2 "$ssd_model" "$ssd_serial"
  check_driver_stats 1
  check_driver_stats 2
  check_image 1 "$work/hdd.img" $hdd_size
  check_image 2 "$work/ssd.img" $ssd_size
}

run_badinput() {
  make_image "$work/hdd.img" $hdd_size 1
  make_image "$work/ssd.img" $ssd_size 2
  boot "$1"
  check_kernel_log
  check_client_result
  check_client_figures
  local refused
  refused=$(grep -ac 'TVC: refused ' "$client_log" || true)
  [ "$refused" -ge 30 ] && ok "the driver refused $refused malformed or misaddressed requests with the expected statuses" \
    || fail "the client reported $refused refused requests, expected at least 30"
  if has_line "TVC: running cache pending"; then
    pending "requests refused while a cache runs (the driver does not start caches yet)"
  else
    expect_line "TVC: refused pair a started master: STATUS_INVALID_DEVICE_REQUEST" \
      "a started master cannot be paired again"
    expect_line "TVC: cache inactive after" "the stop after the refused requests drained the cache"
  fi
  # Nothing was written to either disk.
  check_image_holds 1 "$work/hdd.img" $hdd_size ""
  check_ssd_outside_area
}

run_writethrough() {
  make_image "$work/hdd.img" $hdd_size 1
  make_image "$work/ssd.img" $ssd_size 2
  boot "$1"
  check_kernel_log
  check_client_result
  check_client_figures
  expect_line "TVC: check read 2 master reads-down 0 <= 0" "the second read of the written range came from the SSD alone"
  expect_line "TVC: check seed read 2 master reads-down 0 <= 0" "a read miss was filled and then served from the SSD"
  check_master_image
  check_ssd_outside_area
  check_ssd_holds WRITE $written_offset $written_bytes "the client's write"
  check_ssd_holds SEED $seed_offset $seed_bytes "the master's seed that the client read"
  check_header_wiped "a started cache writes its header only when it is saved"
}

run_writeback() {
  make_image "$work/hdd.img" $hdd_size 1
  make_image "$work/ssd.img" $ssd_size 2
  boot "$1"
  check_kernel_log
  check_client_result
  check_client_figures
  expect_line "TVC: check write master writes-down 0 <= 0" "the write reached the SSD only while the cache ran"
  expect_line "TVC: cache inactive after" "the stop drained the cache"
  check_master_image
  check_ssd_outside_area
  check_ssd_holds WRITE $written_offset $written_bytes "the client's write"
  check_header_wiped "the drain's end wipes it"
}

# Boot 1 is over once the driver has saved its map with a stamp, or once the
# kernel has sent its last shutdown requests and turns to the power-off (no
# QEMU power-off follows it).
shutdown_over() {
  local header
  header=$(ssd_header)
  { [ "$header" != zero ] && [ "$(header_field stamp "$header")" != 0 ]; } \
    || grep -aq 'No system power driver available' "$run_dir/serial.log"
}

# The values that the client reported from the driver's key in boot 1, as a
# .reg for boot 2, with the master's TimeStamp taken from the SSD's header.
disk_values_reg() { # stamp
  local key value kind data last=""
  grep -a 'TVC: registry key=' "$client_log" \
    | sed -nE 's/.*key=([^ ]+) value=([^ ]+) (dword|qword)=([0-9]+).*/\1 \2 \3 \4/p' \
    | while read -r key value kind data; do
        [ "$key" != "$last" ] && printf '\n[%s\\%s]\n' "$service_key" "$key" && last=$key
        [ "$value" = TimeStamp ] && [ "$key" = "$(disk_key_name "$hdd_model" "$hdd_serial")" ] && data=$1
        if [ "$kind" = dword ]; then
          printf '"%s"=dword:%08x\n' "$value" "$data"
        else
          printf '"%s"=hex(b):%s\n' "$value" \
            "$(printf '%016x' "$data" | sed -E 's/(..)/\1 /g' | awk '{ for (i = NF; i > 1; i--) printf "%s,", $i; print $1 }')"
        fi
      done
}

# The driver's key name of a disk: its ATA model (40 characters) and serial
# number (20), blanks as underscores.
disk_key_name() { # model serial
  printf '%-40s%-20s' "$1" "$2" | tr ' ' _
}

run_persistence() {
  make_image "$work/hdd.img" $hdd_size 1
  make_image "$work/ssd.img" $ssd_size 2
  boot_grace=150 boot_done_when=shutdown_over
  boot "$1" boot1
  boot_grace=5 boot_done_when=""
  check_kernel_log
  check_client_result
  check_client_figures
  expect_line "TVC: shutdown accepted" "the client's shutdown of the system was accepted"
  local header stamp reported
  header=$(ssd_header)
  note "boot 1 left the SSD's header: $header"
  stamp=$(header_field stamp "$header")
  if [ "$header" != zero ] && [ "$(header_field size "$header")" = 144 ] \
    && [ "$(header_field version "$header")" = 203 ] && [ "$(header_field name "$header")" = "$service" ] \
    && [ "$stamp" != 0 ]; then
    ok "the driver saved its map at the shutdown, under a header with a stamp"
  else
    fail "the SSD holds no saved header with a stamp after the shutdown"
  fi
  reported=$(sed -nE "s/.*key=$(disk_key_name "$hdd_model" "$hdd_serial") value=TimeStamp qword=([0-9]+).*/\1/p" \
    "$client_log")
  [ -n "$reported" ] && [ "$reported" = "$stamp" ] \
    && ok "the stamp the client saved in the registry is the one in the SSD's header" \
    || fail "the master's registry TimeStamp '$reported' differs from the header's stamp '$stamp'"
  local key
  for key in "$(disk_key_name "$hdd_model" "$hdd_serial")" "$(disk_key_name "$ssd_model" "$ssd_serial")"; do
    grep -aq "TVC: registry key=$key value=ConfigType" "$client_log" && ok "the driver's key $key holds a role" \
      || fail "the client reported no role in the driver's key $key"
  done
  check_master_image   # the shutdown flushed the write-back data
  check_ssd_outside_area
  check_ssd_holds WRITE $written_offset $written_bytes "the client's write"
  [ $failed -eq 0 ] || return

  client_scenario=persistence2
  extra_system_reg=$(disk_values_reg "$stamp")
  printf '%s\n' "$extra_system_reg" > "$work/boot2-disks.reg"
  if ! make_iso; then
    fail "inject.sh failed for boot 2 (see inject.log)"; return
  fi
  boot "$1" boot2
  check_kernel_log
  check_client_result
  check_client_figures
  expect_line "TVC: check read of boot 1's data master reads-down 0 <= 0" \
    "boot 1's data came from the SSD after the attach at boot"
  expect_line "TVC: check cached bytes at logon" "the cache attached at boot holds boot 1's data"
  local saved_header=$header
  header=$(ssd_header)
  [ "$header" = "${saved_header/stamp=$stamp /stamp=0 }" ] \
    && ok "the attach at boot cleared the stamp on the SSD and nothing else, so the saved map serves one boot" \
    || fail "after the attach the SSD's header is '$header', expected boot 1's '$saved_header' with stamp 0"
  check_image_holds 1 "$work/hdd.img" $hdd_size "$written_offset $written_bytes"
}

# ---- The installation ------------------------------------------------------------------

sysdisk="$work/sysdisk"
sys_mtools() { # command args...
  local command=$1; shift
  MTOOLS_SKIP_CHECK=1 "$command" -i "$sysdisk/sys.img@@1M" "$@"
}

# The file that Setup carries under a resource id, as its resource script names it.
carried_file() { # id
  sed -n "s/^$1 BINRES \"\(.*\)\"\$/\1/p" "$payload_rc"
}

# The system disk with \tvsetup holding Setup, the driver, the x86 builds that
# Setup carries (to compare with what it writes) and a folder for the dumps.
make_sysdisk() {
  local tree="$work/tvsetup" id name
  rm -rf "$tree"
  mkdir -p "$tree/carried" "$tree/out"
  cp "$setup_exe" "$tree/Setup.exe" && cp "$setup_driver" "$tree/tvsetup.exe" || return 1
  for id in 21400:Uninstall.exe 21401:Brimvault.exe 21410:Sablinex.sys 21414:Tolvarn.sys; do
    name=${id#*:}
    cp "$(carried_file "${id%%:*}")" "$tree/carried/$name" || { echo "no carried $name in $payload_rc"; return 1; }
  done
  bash "$kit/sysdisk.sh" "$(base_iso)" "$sysdisk" --tree "$tree=tvsetup"
}

# Merges a .reg into a hive of the system disk, as a restart keeps what was
# written to the registry.
merge_into_sysdisk() { # hive reg
  local hive=$1 prefix
  case "$hive" in
    system) prefix='HKEY_LOCAL_MACHINE\SYSTEM' ;;
    software) prefix='HKEY_LOCAL_MACHINE\SOFTWARE' ;;
  esac
  # The offline hive has no CurrentControlSet link.
  sed -e 's/\r$//' -E -e 's/\\CurrentControlSet(\\|\])/\\ControlSet001\1/I' "$2" > "$work/merge-$hive.reg"
  sys_mtools mcopy -n "::/reactos/system32/config/$hive" "$work/$hive.hive" \
    && hivexregedit --merge --prefix "$prefix" "$work/$hive.hive" "$work/merge-$hive.reg" \
    && sys_mtools mcopy -o "$work/$hive.hive" "::/reactos/system32/config/$hive" \
    && rm -f "$work/$hive.hive"
}

run_value_reg() { # stage
  cat <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run]
"tvsetup"="X:\\\\tvsetup\\\\tvsetup.exe $1"
REG
}

# The screenshots that the driver asks for with "shot NAME", each once, as PNGs.
shots_taken=0
take_requested_shots() {
  local name count=0
  for name in $(grep -aoE 'TVC: shot [A-Za-z0-9_-]+' "$run_dir/serial.log" 2>/dev/null | sed 's/^TVC: shot //'); do
    count=$((count + 1))
    [ $count -le $shots_taken ] && continue
    printf 'screendump %s\n' "$run_dir/$name.ppm" | socat - "UNIX-CONNECT:$run_dir/mon.sock" >/dev/null 2>&1
    sleep 1
    convert "$run_dir/$name.ppm" "$run_dir/$name.png" 2>/dev/null && rm -f "$run_dir/$name.ppm"
    shots_taken=$count
  done
}

check_shots() { # name...
  local name
  for name in "$@"; do
    [ -s "$run_dir/$name.png" ] && ok "screenshot $name.png kept" || fail "no screenshot $name.png"
  done
}

# The driver's own checks, each one line: how many passed.
check_driver_lines() {
  local count
  count=$(grep -ac 'TVC: ok ' "$client_log" || true)
  note "         the driver's checks that passed: $count"
  grep -a 'TVC: ok ' "$client_log" | sed 's/^.*TVC: ok /         ok: /' >> "$checks"
}

run_install() {
  local timeout=900
  boot_iso="$sysdisk/boot.iso"
  boot_disks=(--disk "$sysdisk/sys.img,model=TOLVARN SYS DISK,serial=TVSYS0001")
  boot_watch=take_requested_shots boot_shot_every=0
  client_name=tvsetup.exe client_scenario=install
  run_value_reg install > "$work/run-install.reg"
  merge_into_sysdisk software "$work/run-install.reg" || { fail "the Run value cannot be merged into the system disk"; return; }
  shots_taken=0
  boot $timeout boot1
  check_kernel_log
  check_client_result
  check_driver_lines
  expect_line "TVC: ok the run into a blocked install folder shows an error" "a failing run shows its error"
  expect_line "TVC: ok after the error the wizard is back on the welcome page" "the failed run returns to the welcome page"
  expect_line "TVC: ok the final page offers \"Reboot Now\"" "the installation's final page offers the restart"
  expect_line "TVC: ok Setup ended with exit code 0" "Setup's exit code is 0 after its window is closed"
  check_shots 1-welcome 2-accepted 3-error 4-welcome-after-error 5-final
  local hive
  for hive in system software; do
    if sys_mtools mcopy -n "::/tvsetup/out/$hive.reg" "$work/boot1-$hive.reg" 2>/dev/null && [ -s "$work/boot1-$hive.reg" ]; then
      ok "the driver dumped what Setup wrote to the $hive hive ($(grep -c '^\[' "$work/boot1-$hive.reg") keys)"
    else
      fail "no $hive dump on the system disk"
    fi
  done
  [ $failed -eq 0 ] || return

  # The restart: what Setup wrote to the registry, merged into the disk's hives.
  client_scenario=restarted
  run_value_reg restarted > "$work/run-restarted.reg"
  merge_into_sysdisk system "$work/boot1-system.reg" && merge_into_sysdisk software "$work/boot1-software.reg" \
    && merge_into_sysdisk software "$work/run-restarted.reg" \
    && ok "the dumps and the next Run value merged into the system disk's hives" \
    || { fail "hivexregedit cannot merge the dumps into the system disk"; return; }
  shots_taken=0
  boot $timeout boot2
  check_kernel_log
  check_client_result
  check_driver_lines
  expect_line "TVC: ok the control device opens and answers the version query with 16/204/203" \
    "the cache driver loaded at boot answers its control device"
  expect_line "TVC: ok the driver's filter device on the system disk passed" "the cache driver filters the disk the system booted from"
  expect_line "TVC: ok service SABLINEX running" "the proxy driver runs after the restart"
  expect_line "TVC: ok UpperFilters=DORQPELKZEMK|partmgr||" "the cache driver is the disk upper filter, once, before partmgr"
  expect_line "TVC: ok the final page offers \"Done\"" "the update asks no restart"
  expect_line "TVC: ok the running application was closed by the update" "the update closed the running application"
  check_shots 1-welcome-update 2-final-update
}

# ---- A FAT volume on the master ------------------------------------------------------

# As client/fatvolume.cpp: the master's one partition, at 1 MiB, holds a FAT16
# volume that ReactOS mounts as C:; the client writes its files there.
volume_offset=$((1 << 20)); volume_sectors=98304
fat_files=4; fat_file_bytes=$((256 << 10))
mtools_image() { echo "$work/hdd.img@@$volume_offset"; }

make_volume_image() {
  rm -f "$work/hdd.img"
  truncate -s $hdd_size "$work/hdd.img"
  printf 'label: dos\nstart=%d, size=%d, type=6\n' $((volume_offset / 512)) $volume_sectors \
    | sfdisk -q "$work/hdd.img" \
    && mkfs.vfat --offset $((volume_offset / 512)) -n TVFAT "$work/hdd.img" $((volume_sectors / 2)) > /dev/null
}

# The volume's clean-shutdown bit on the image: bit 15 of FAT16 entry 1.
clean_shutdown_bit() {
  local reserved entry
  reserved=$(od -An -tu2 -j $((volume_offset + 14)) -N2 "$work/hdd.img" | tr -d ' ')
  entry=$(od -An -tu2 -j $((volume_offset + reserved * 512 + 2)) -N2 "$work/hdd.img" | tr -d ' ')
  echo $(((entry >> 15) & 1))
}

# The volume's dirty flag on the image: bit 0 of the FAT16 boot sector's byte 0x25.
boot_dirty_flag() {
  local flags
  flags=$(od -An -tu1 -j $((volume_offset + 0x25)) -N1 "$work/hdd.img" | tr -d ' ')
  echo $((flags & 1))
}

check_volume() { # when
  local copy="$work/volume.img" out
  dd if="$work/hdd.img" of="$copy" bs=512 skip=$((volume_offset / 512)) count=$volume_sectors status=none
  if out=$(fsck.vfat -n "$copy" 2>&1); then
    ok "fsck.vfat -n finds the volume clean $1"
  else
    fail "fsck.vfat -n finds faults in the volume $1:"
    sed 's/^/         /' <<< "$out" | tee -a "$checks"
  fi
  rm -f "$copy"
}

# Every file is on the volume with exactly the client's bytes, and nothing else is in its folder.
check_files() {
  local n names expected
  names=$(MTOOLS_SKIP_CHECK=1 mdir -b -i "$(mtools_image)" ::/TVFAT 2>&1 | sed 's|.*/||' | sort | tr '\n' ' ')
  expected=$(for ((n = 1; n <= fat_files; n++)); do echo "FILE$n.BIN"; done | sort | tr '\n' ' ')
  [ "$names" = "$expected" ] && ok "the folder TVFAT holds the client's $fat_files files and nothing else" \
    || fail "the folder TVFAT holds '$names', expected '$expected'"
  for ((n = 1; n <= fat_files; n++)); do
    MTOOLS_SKIP_CHECK=1 mcopy -n -i "$(mtools_image)" "::/TVFAT/FILE$n.BIN" "$work/file$n.bin" 2>/dev/null
    if cmp -s <(pattern_bytes FILE $n 0 $fat_file_bytes) "$work/file$n.bin"; then
      ok "FILE$n.BIN holds what the client wrote"
    else
      fail "FILE$n.BIN differs from what the client wrote (or is missing)"
    fi
    rm -f "$work/file$n.bin"
  done
}

# Boot 1 is over once the kernel has sent its last shutdown requests and
# turns to the power-off (no QEMU power-off follows it); the saved map alone
# is not the end, the file system writes after the first shutdown requests.
power_off_reached() {
  grep -aq 'No system power driver available' "$run_dir/serial.log"
}

# ReactOS's FAT marks a mounted volume in two places, FAT entry 1 (its
# clean-shutdown bit cleared) and the boot sector (its dirty flag set), and
# not always both by the time the client looks (some runs showed entry 1
# still clean). Either mark seen while mounted, and both clean after, shows
# that the file system wrote to the master at the shutdown.
check_shutdown_marks() {
  local line mounted_bit mounted_flags after_bit after_flag
  line=$(grep -a 'clean-shutdown bit while mounted=' "$client_log" | tail -1)
  mounted_bit=$(sed -nE 's/.*clean-shutdown bit while mounted=([01]).*/\1/p' <<< "$line")
  mounted_flags=$(sed -nE 's/.*boot-flags=0x([0-9A-Fa-f]+).*/\1/p' <<< "$line")
  after_bit=$(clean_shutdown_bit) after_flag=$(boot_dirty_flag)
  local marked=no
  [ "$mounted_bit" = 0 ] && marked=yes
  [ -n "$mounted_flags" ] && (((0x$mounted_flags & 1) == 1)) && marked=yes
  if [ $marked = yes ] && [ "$after_bit" = 1 ] && [ "$after_flag" = 0 ]; then
    ok "the file system wrote to the master at the shutdown (the volume, marked in use while mounted, is marked clean again)"
  else
    fail "the volume's marks: clean-shutdown bit '$mounted_bit', boot flags '0x$mounted_flags' while mounted; bit '$after_bit', dirty flag '$after_flag' after the shutdown (expected a mark of use while mounted, then bit 1 and flag 0)"
  fi
}

run_fatvolume() {
  local tool
  for tool in sfdisk mkfs.vfat fsck.vfat mdir mcopy; do
    command -v "$tool" >/dev/null || { fail "$tool is missing (scripts/install-deps.sh installs it)"; return; }
  done
  make_volume_image || { fail "the master's FAT volume could not be made (sfdisk, mkfs.vfat)"; return; }
  make_image "$work/ssd.img" $ssd_size 2
  check_volume "as made on the host"
  boot_grace=150 boot_done_when=power_off_reached
  boot "$1" boot1
  boot_grace=5 boot_done_when=""
  check_kernel_log
  check_client_result
  check_client_figures
  has_line "$last_line" || return
  expect_line "TVC: shutdown accepted" "the client's shutdown of the system was accepted"
  power_off_reached && ok "the shutdown ran to the kernel's power-off" \
    || fail "the shutdown did not reach the kernel's power-off (see boot1/serial.log)"
  check_volume "after the shutdown"
  check_files
  check_shutdown_marks
  local n
  for ((n = 1; n <= fat_files; n++)); do
    check_ssd_holds FILE 0 $fat_file_bytes "FILE$n.BIN" $n
  done
  check_ssd_outside_area
  local header stamp reported
  header=$(ssd_header)
  note "boot 1 left the SSD's header: $header"
  stamp=$(header_field stamp "$header")
  reported=$(sed -nE "s/.*key=$(disk_key_name "$hdd_model" "$hdd_serial") value=TimeStamp qword=([0-9]+).*/\1/p" \
    "$client_log")
  if [ -n "$reported" ] && [ "$reported" != 0 ] && [ "$stamp" = "$reported" ]; then
    ok "the map saved at the shutdown carries the stamp the client stored, after the file system's last writes"
  else
    fail "the SSD's header has stamp '$stamp', the client stored '$reported': the saved map was voided (by a write after the save) or saved without its data"
  fi

  # Boot 2 gets the registry as boot 1 left it, whatever the header holds.
  client_scenario=fatvolume2
  extra_system_reg=$(disk_values_reg "$reported")
  printf '%s\n' "$extra_system_reg" > "$work/boot2-disks.reg"
  if ! make_iso; then
    fail "inject.sh failed for boot 2 (see inject.log)"; return
  fi
  boot "$1" boot2
  check_kernel_log
  check_client_result
  check_client_figures
  expect_line "TVC: check cached bytes at logon" "the cache attached at boot holds boot 1's files"
  expect_line "TVC: check read of boot 1's files master reads-down 0 <= 0" \
    "the first reads of boot 1's files came from the SSD"
}

timeout=420
case "$scenario" in
  passthrough|badinput|writethrough|writeback|persistence|fatvolume|install) ;;
  *) echo "run-scenario.sh: unknown scenario $scenario" >&2; exit 2 ;;
esac
note "scenario $scenario: work folder $work"
[ "$scenario" = persistence ] && client_scenario=persistence1
[ "$scenario" = fatvolume ] && client_scenario=fatvolume1
if [ "$scenario" = install ]; then
  if ! make_sysdisk > "$work/sysdisk.log" 2>&1; then
    fail "sysdisk.sh failed (see sysdisk.log)"; cat "$work/sysdisk.log"; exit 1
  fi
  import_iso="$sysdisk/boot.iso"
  check_imports "$setup_exe" Setup
  check_imports "$setup_driver" "installer's driver"
else
  if ! make_iso; then
    fail "inject.sh failed (see inject.log)"; cat "$work/inject.log"; exit 1
  fi
  check_imports "$driver" driver
  check_imports "$client" client
fi
[ $failed -eq 0 ] && "run_$scenario" $timeout
if [ $failed -eq 0 ]; then
  note "scenario $scenario passed"
  rm -rf "$work/test.iso" "$sysdisk"   # large, and made again by every run
else
  note "scenario $scenario FAILED (logs in $work)"
fi
exit $failed
