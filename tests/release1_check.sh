#!/bin/sh
# scripts/mips32-check, the one check of the device's instruction set (each
# device module and image program is put to it after its link), names every
# instruction beyond MIPS32 release 1 and passes release 1 code.
#   release1_check.sh CHECK WORK
set -eu
check=$1 work=$2
rm -rf "$work"
mkdir -p "$work"

# Release 2 forms, one a line; each must be named.
cat >"$work/release2.s" <<'CODE'
seb $2,$2
seh $2,$2
wsbh $2,$2
ext $2,$3,1,2
ins $2,$3,1,2
rotr $2,$3,1
rotrv $2,$3,$4
rdhwr $3,$29
di
ei
ehb
pause
jr.hb $31
jalr.hb $31,$2
synci 0($2)
rdpgpr $2,$3
wrpgpr $2,$3
mfhc1 $2,$f0
mthc1 $2,$f0
lwxc1 $f0,$2($3)
swxc1 $f0,$2($3)
madd.s $f0,$f1,$f2,$f3
cvt.l.s $f0,$f2
cvt.s.l $f0,$f2
trunc.l.d $f0,$f2
add.ps $f0,$f2,$f4
cvt.ps.s $f0,$f2,$f4
CODE
# Release 1 code, the FPU's included; none may be named.
cat >"$work/release1.s" <<'CODE'
addu $2,$3,$4
lw $2,4($3)
jr $31
jalr $2
mul $2,$3,$4
madd $2,$3
clz $2,$3
movn $2,$3,$4
sll $2,$3,1
nop
ssnop
sync
teq $2,$3
ll $2,0($3)
sc $2,0($3)
lwc1 $f0,0($2)
add.s $f0,$f1,$f2
cvt.d.w $f0,$f2
trunc.w.d $f0,$f2
mtc1 $2,$f0
pref 0,0($2)
CODE

# One instruction a line each: no delay slot filled in.
for listing in "release2 -march=mips32r2 -mfp64" "release1 -march=mips32"; do
  set -- $listing
  name=$1
  shift
  { echo ".set noreorder"; cat "$work/$name.s"; } >"$work/$name.in.s"
  mipsel-linux-gnu-as "$@" "$work/$name.in.s" -o "$work/$name.o"
done

status=0
"$check" "$work/release1.o" >"$work/release1.out" || status=$?
if [ "$status" -ne 0 ]; then
  echo "release1_check.sh: release 1 code named:" >&2
  cat "$work/release1.out" >&2
  exit 1
fi
if "$check" "$work/release2.o" >"$work/release2.out"; then
  echo "release1_check.sh: release 2 code passed" >&2
  exit 1
fi
grep '^  ' "$work/release2.out" >"$work/named" || true
wanted=$(wc -l <"$work/release2.s")
named=$(wc -l <"$work/named")
if [ "$named" -ne "$wanted" ]; then
  echo "release1_check.sh: $named of the $wanted release 2 instructions named (listing, then named):" >&2
  paste "$work/release2.s" "$work/named" >&2
  exit 1
fi
echo "each of the $wanted release 2 instructions named; release 1 code passed"
