#!/bin/sh
# camkit on the real driver: the interpreter and only the modules the smoke
# test imports (listed on the host) go into the VM.
#   python-case.sh VM_RUN USBIP PYTHON PYTHONPATH SMOKE
vm_run=$1 usbip=$2 python=$3 pythonpath=$4 smoke=$5
files=$(PYTHONPATH=$pythonpath "$python" "$smoke" --list) || exit 1
# shellcheck disable=SC2086
exec "$vm_run" --usbip "$usbip" --files $files "$smoke" -- \
  "PYTHONPATH=$pythonpath $python $smoke"
