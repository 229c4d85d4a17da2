#!/bin/sh
# The fidelity probes, once against simcam in process and once against the
# real driver in the VM, compared field by field through the allow-list.
#   fidelity.sh VM_RUN SIMCAM_USBIP PROBE PROBE_SIMCAM FIDELITY_DIR OUT_DIR [EMULATOR]
# EMULATOR runs PROBE_SIMCAM on the host when it is a cross build's program.
set -u
vm_run=$1 usbip=$2 probe=$3 probe_simcam=$4 dir=$5 out=$6 emulator=${7:-}
mkdir -p "$out"
$emulator "$probe_simcam" >"$out/simcam.txt" || { echo "probe on simcam failed"; exit 1; }
"$vm_run" --usbip "$usbip" -- "$probe" /dev/video0 >"$out/driver.txt"
status=$?
if [ $status -eq 77 ]; then cat "$out/driver.txt"; exit 77; fi
[ $status -eq 0 ] || { cat "$out/driver.txt"; echo "probe in the VM failed: $status"; exit 1; }
sh "$dir/compare.sh" "$out/simcam.txt" "$out/driver.txt" "$dir/allow.txt"
