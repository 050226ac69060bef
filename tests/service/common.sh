# What the service tests share (sourced by tests/service/run.sh and
# powercut.sh, after tests/system/console.sh): the guest's QEMU, its console
# and QMP, the simulated instruments, PASS/FAIL lines.
# Expects deb, sim, here, RUN, QEMU_SECONDS and FAILED; IMAGE once prepared.
# ROOT_DRIVE replaces the root disk's -drive value (default: the cached
# image with snapshot=on); BOOT_EXTRA holds more QEMU arguments;
# LOGIN_SECONDS the limit for the login (120); SIM_SEED and SIM_ARGS are
# given to the next startSim.

pids=()
cleanup() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 1' TERM INT HUP

# check NAME DETAIL CONDITION...: a PASS or FAIL line for one behaviour.
check() {
    local name=$1 detail=$2
    shift 2
    if "$@"; then
        printf '[%6s s] PASS %s: %s\n' "$(elapsed)" "$name" "$detail"
    else
        printf '[%6s s] FAIL %s: %s\n' "$(elapsed)" "$name" "$detail"
        FAILED=1
    fi
}

# guest COMMAND [ARGS...]: "g COMMAND ARGS" in the guest, its "== " lines in OUT.
OUT=""
guest() {
    local from=$SEEN
    enter "/root/t/g $*"
    expect '== end \d+' "${LIMIT:-150}"
    OUT=$(shown "$from" | tr -d '\r')
    [ "$MATCH" = "== end 0" ] || step "g $1 ended with ${MATCH#== }"
}
val() { sed -n "s/^== $1 //p" <<<"$OUT" | head -n 1; }

# qmp JSON: one QMP command; true when QEMU answered it with "return".
qmp() {
    local n
    n=$(grep -c '"return"\|"error"' "$RUN/qmp.log" || true)
    printf '%s\n' "$1" >&4
    for _ in $(seq 100); do
        (($(grep -c '"return"\|"error"' "$RUN/qmp.log") > n)) && break
        sleep 0.1
    done
    grep '"return"\|"error"' "$RUN/qmp.log" | tail -n 1 | grep -q '"return"'
}

# startSim NAME PTY: an instrument, its transcript in $RUN/NAME.sent.
startSim() {
    mkdir -p "$RUN/$1.store"
    local f
    for f in "$RUN"/t/*.bin; do [ ! -e "$f" ] || cp "$f" "$RUN/$1.store/"; done
    "$sim" --attach "$2" --storage "$RUN/$1.store" --seed "${SIM_SEED:-7}" ${SIM_ARGS:-} --verbose \
        --transcript "$RUN/$1.sent" --exit-with $$ >/dev/null 2>"$RUN/sim-$1.err" &
    pids+=($!)
    printf -v "simPid_$1" %s $!
    step "kestrode-sim --attach $2 for $1"
}

# Denials logged by the kernel: journald would switch auditing off when it
# listens on the audit socket; without that, records reach the kernel log,
# none dropped by printk's rate limit, none shown on the console.
AUDIT_TO_KMSG="systemd.mask=systemd-journald-audit.socket audit_backlog_limit=8192"
AUDIT_TO_KMSG+=" sysctl.kernel.printk_ratelimit=0 loglevel=1"

boot() {
    timeout -k 5 "$QEMU_SECONDS" qemu-system-aarch64 -M virt -cpu cortex-a57 -m 1024 -smp 1 \
        -nodefaults -display none -nic none \
        -kernel "$IMAGE/vmlinuz" -initrd "$IMAGE/initrd.img" \
        -append "root=/dev/vda rw console=ttyAMA0 quiet SYSTEMD_LOG_SECCOMP=1 audit=1 $AUDIT_TO_KMSG" \
        -drive "${ROOT_DRIVE:-file=$IMAGE/root.img,format=raw,if=none,id=root,snapshot=on}" \
        -device virtio-blk-pci,drive=root,addr=4 \
        -drive file="$RUN/payload.tar",format=raw,if=none,id=payload,readonly=on \
        -device virtio-blk-pci,drive=payload,addr=5 \
        -chardev pipe,id=con,path="$RUN/con" -serial chardev:con \
        -chardev pipe,id=qmp,path="$RUN/qmp" -mon chardev=qmp,mode=control \
        -chardev null,id=spare -device pci-serial,chardev=spare,addr=2 \
        -chardev pty,id=uart -device pci-serial,chardev=uart,addr=3 \
        -device qemu-xhci,id=xhci,addr=6 \
        -chardev pty,id=usb -device usb-serial,id=adapter,chardev=usb,bus=xhci.0 \
        ${BOOT_EXTRA[@]+"${BOOT_EXTRA[@]}"} \
        >"$RUN/qemu.out" 2>&1 &
    pids+=($!)
    qemuPid=$!
    cat "$RUN/con.out" >>"$CONSOLE" &
    pids+=($!)
    cat "$RUN/qmp.out" >>"$RUN/qmp.log" &
    pids+=($!)
    exec 3<>"$RUN/con.in" 4<>"$RUN/qmp.in"
    # QEMU names its pseudo-terminals once it has set up; on a busy machine that
    # took over 10 s.
    for _ in $(seq 600); do
        grep -q '(label usb)' "$RUN/qemu.out" && break
        sleep 0.1
    done
    pty() { sed -n "s/^char device redirected to \(\/dev\/pts\/[0-9]*\) (label $1).*/\1/p" "$RUN/qemu.out"; }
    uartPty=$(pty uart) usbPty=$(pty usb)
    [ -n "$uartPty" ] && [ -n "$usbPty" ] || fail "QEMU named no pseudo-terminals"
    qmp '{"execute":"qmp_capabilities"}' || fail "QMP did not answer"
    loggedIn "${LOGIN_SECONDS:-120}"
}

loggedIn() {
    local start=$EPOCHREALTIME
    expect 'automatic login' "$1"
    expect 'root@guest:~# ' 30
    step "logged in after $(elapsed "$start") s"
}

# Readings only: kestrode's own notices and the instrument's prompt aside.
readingsOf() { tr -d '\r' | grep -ao 'PM2\.5=.*' || true; }
section() { sed -n "/^== $1\$/{n;p}" <<<"$OUT" | base64 -d; }

installPackage() {
    enter "tar -xf /dev/vdb -C /root"
    expect 'root@guest:~# ' 30
    LIMIT=120 guest install
    check install "apt-get install ./$(basename "$deb"): $(val version)" test -n "$(val version)"
}

# stopSim NAME / restartSim OLD NEW PTY: a real wire loses what the
# instrument says while nobody listens. QEMU keeps it in the pseudo-terminal
# instead and hands it over in one burst when the guest next opens the port,
# inside the kernel's open, before any program can set its modes; so the
# instrument is stopped while the port is away and plays on from a fresh
# simulator.
stopSim() {
    local pid_var="simPid_$1"
    kill "${!pid_var}" 2>/dev/null || true
    wait "${!pid_var}" 2>/dev/null || true
}
restartSim() {
    stopSim "$1"
    startSim "$2" "$3"
}
