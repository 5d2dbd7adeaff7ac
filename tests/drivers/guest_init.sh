#!/bin/busybox sh
# /init of the driver rig's guest: loads the serial drivers, runs fwdl on
# every path and prints what it saw on the console, one "@@" line a fact,
# for driver_rig.py on the host to judge. It never judges itself.
#
# Paths: ftdi   /dev/ttyUSB*, ftdi_sio on QEMU's FTDI adapter (instrument on the host)
#        uart   /dev/ttyS1, the 8250 driver on QEMU's 16550 (instrument on the host)
#        acm    /dev/ttyACM0, cdc_acm on the gadget loopback (instrument on /dev/ttyGS0)
#        generic  the usb-serial generic driver on the gadget's plain serial function
/bin/busybox mount -t devtmpfs dev /dev
exec </dev/console >/dev/console 2>&1
/bin/busybox --install -s /bin
export PATH=/bin HOME=/root
mount -t proc proc /proc
mount -t sysfs sys /sys
mkdir -p /tmp /root
stty -echo

# The modules, dependencies first, as the host listed them. The generic
# driver learns the gadget's plain serial function by its ids.
while read -r module; do
  case $module in
    usbserial) insmod /lib/modules/usbserial.ko vendor=0x0525 product=0xa4a6 ;;
    *) insmod "/lib/modules/$module.ko" ;;
  esac
done </lib/modules/load.list

fact() { echo "@@fact $*"; }
# Asks the host for something (a simulator, an unplug); its answer is a line.
ask() {
  echo "@@ask $*"
  read -r answer
}
# Whether process $1 is there and no zombie.
running() { [ -e "/proc/$1" ] && ! grep -q ') Z ' "/proc/$1/stat"; }
now() { cut -d' ' -f1 /proc/uptime; }
# Waits up to $2 tenths of a second for the test $1 to hold.
wait_for() {
  i=0
  while ! eval "$1"; do
    i=$((i + 1))
    [ $i -gt "$2" ] && return 1
    sleep 0.1
  done
}
# Prints each line of the file $2 as a fact of scenario $1.
show() { sed "s/^/@@out $1 /" "$2"; }

# fwdl with the record and events of scenario $1 kept in /tmp/$1; the
# rest are fwdl's own arguments. Runs in the background: $fwdl is its pid.
fwdl_start() {
  name=$1
  shift
  mkdir -p "/tmp/$name"
  rm -f "/tmp/$name/record"
  fwdl "$@" --yes --json --record "/tmp/$name/record" >"/tmp/$name/events" 2>"/tmp/$name/errors" &
  fwdl=$!
}
# Waits for that fwdl for at most 60 s (a hang is killed and said), then
# tells its exit code and record.
fwdl_end() {
  if wait_for "! running $fwdl" 600; then
    wait "$fwdl"
    fact "$name" exit "$?"
  else
    fact "$name" hung "$(cat /proc/$fwdl/wchan)"
    kill -9 "$fwdl"
  fi
  fact "$name" record "$(cat "/tmp/$name/record")"
}
fwdl_run() {
  fwdl_start "$@"
  fwdl_end
}

# The simulated instrument on the gadget's end, /dev/ttyGS0, for scenario
# $1; the rest are its options. The image it received goes to /tmp/$1/image.
sim_start() {
  mkdir -p "/tmp/$1"
  sim_dir=/tmp/$1
  shift
  rm -f "$sim_dir/sim.out"
  instrument-sim "$@" --image-out "$sim_dir/image" /dev/ttyGS0 >"$sim_dir/sim.out" 2>"$sim_dir/sim.err" &
  sim=$!
  wait_for "[ -s $sim_dir/sim.out ]" 100 || fact sim failed to start
}
# Ends it; tells whether the image is byte-exact with $2 and its closing line.
sim_end() {
  kill "$sim" 2>/dev/null
  if wait_for "! running $sim" 50; then
    wait "$sim" 2>/dev/null
  else
    fact "$1" sim_hung "$(cat /proc/$sim/wchan)"
    kill -9 "$sim"
  fi
  if [ -n "$2" ]; then
    if cmp -s "$sim_dir/image" "$2"; then fact "$1" exact yes; else fact "$1" exact no; fi
  fi
  fact "$1" sim "$(grep rx-buffer "$sim_dir/sim.err")"
}

# fwdl ports, in words and as JSON, and fwdl doctor on the port $2.
ports_and_doctor() {
  mkdir -p "/tmp/$1"
  fwdl ports >"/tmp/$1/ports.txt" 2>&1
  show "$1" "/tmp/$1/ports.txt"
  fact "$1" ports "$(fwdl ports --json)"
  fwdl doctor "$2" >"/tmp/$1/doctor.txt" 2>&1
  fact "$1" doctor_exit "$?"
  show "$1" "/tmp/$1/doctor.txt"
}

# The selector by USB socket of the adapter with the serial number $1, as
# fwdl ports offers it.
socket_of() { fwdl ports | grep "usb:$1" | grep -o 'socket:[^ ]*' | head -n 1; }

# The most TIOCOUTQ told fwdl in scenario $1, from strace's log of its ioctls.
tiocoutq() {
  fact "$1" tiocoutq "$(sed -n 's/.*TIOCOUTQ, \[\([0-9]*\)\].*/\1/p' "/tmp/$1/strace" |
    sort -n | uniq -c | tr '\n' ';')"
}

DVB=/fw/image.bin
LONG_DVB=/fw/long.bin
HEX=/fw/small.hex
HEX_SENT=/fw/small.hex.sent  # as fwdl sends it: the lines end in LF alone
FAST_DVB="--flash-ms 100"
FAST_HEX="--charger-ms 100 --quiet-ms 400"
# 1 KB that empties slower than the line fills it: held again and again.
# (TCG runs fwdl through cdc_acm at some 3 KB/s, so it is slower than the
# paced simulator's 5000 B/s elsewhere.)
OVERFLOWING="--baud 57600 --rx-buffer 1024 --flash-rate 1000 --rx-margin 512 --flash-ms 100"

echo "@@booted $(now)"

# --- QEMU's FTDI adapter (ftdi_sio) and 16550 (8250): the instrument is on the host.
wait_for "ls /sys/bus/usb-serial/drivers/ftdi_sio/ | grep -q ttyUSB" 150 || fact ftdi.ports no_tty yes
FTDI=usb:$FTDI_SERIAL
ports_and_doctor ftdi.ports "$FTDI"
ports_and_doctor uart.ports /dev/ttyS1

for path in ftdi uart; do
  port=$FTDI
  [ $path = uart ] && port=/dev/ttyS1
  ask sim "$path" "$path.dvb" $FAST_DVB
  fwdl_run "$path.dvb" dvb --port "$port" $DVB
  ask sim "$path" "$path.hex" $FAST_HEX
  fwdl_run "$path.hex" hex --port "$port" $HEX
done
ask sim ftdi ftdi.select $FAST_DVB
socket=$(socket_of "$FTDI_SERIAL")
fwdl_run ftdi.select dvb --port "$socket" $DVB
fact ftdi.select socket "$socket"

# Pulled in the middle of the image, and plugged in again.
ask sim ftdi ftdi.unplug --baud 57600 $FAST_DVB
fwdl_start ftdi.unplug dvb --port "$FTDI" $LONG_DVB
wait_for "grep -q '\"sent\":[1-9][0-9][0-9][0-9]' /tmp/ftdi.unplug/events" 300 || fact ftdi.unplug never_sent yes
pulled=$(now)
ask unplug ftdi
fwdl_end
fact ftdi.unplug pulled_at "$pulled"
fact ftdi.unplug ended_at "$(now)"
fact ftdi.unplug ports_while_out "$(fwdl ports --json)"
ask plug ftdi
wait_for "ls /dev/ttyUSB* >/dev/null 2>&1" 150
ask sim ftdi ftdi.replug $FAST_DVB
fact ftdi.replug ports "$(fwdl ports --json)"
fwdl_run ftdi.replug dvb --port "$FTDI" $DVB

# The instrument's report came, then the cable went: the report is the outcome.
ask unplug_after ftdi ftdi.answer_first $FAST_DVB
fwdl_run ftdi.answer_first dvb --port "$FTDI" $DVB
ask plug ftdi

# --- The gadget loopback: g_serial's ACM function through cdc_acm, then its
# plain serial function through the usb-serial generic driver.
# The gadget is unplugged by unloading g_serial (which waits until
# /dev/ttyGS0 is closed: the instrument goes first) and plugged in by
# loading it again.
gadget_plug() {
  insmod /lib/modules/g_serial.ko $gadget iSerialNumber="$GADGET_SERIAL"
  wait_for "fwdl ports --json | grep -q '\"serial\":\"$GADGET_SERIAL\"'" 150
}
gadget_pull() {
  sim_end "$1"
  pulled=$(now)
  rmmod g_serial
}
for path in acm generic; do
  gadget=
  [ $path = generic ] && gadget=use_acm=0
  port=usb:$GADGET_SERIAL
  gadget_plug || fact $path.ports no_tty yes
  ports_and_doctor $path.ports "$port"

  sim_start $path.dvb $FAST_DVB
  fwdl_run $path.dvb dvb --port "$port" $DVB
  sim_end $path.dvb $DVB
  sim_start $path.hex $FAST_HEX
  fwdl_run $path.hex hex --port "$port" $HEX
  sim_end $path.hex $HEX_SENT

  socket=$(socket_of "$GADGET_SERIAL")
  sim_start $path.select $FAST_DVB
  fwdl_run $path.select dvb --port "$socket" $DVB
  sim_end $path.select $DVB
  fact $path.select socket "$socket"

  # The program keeps XON/XOFF against an instrument whose buffer overflows;
  # strace tells what TIOCOUTQ said meanwhile.
  sim_start $path.overflow $OVERFLOWING
  mkdir -p /tmp/$path.overflow
  strace -f --seccomp-bpf -e trace=ioctl -o /tmp/$path.overflow/strace \
    fwdl dvb --port "$port" --yes --record /tmp/$path.overflow/record /fw/overflow.bin \
    >/tmp/$path.overflow/events 2>&1
  fact $path.overflow exit "$?"
  fact $path.overflow record "$(cat /tmp/$path.overflow/record)"
  sim_end $path.overflow /fw/overflow.bin
  tiocoutq $path.overflow

  # Pulled in the middle of the image, and plugged in again.
  sim_start $path.unplug --baud 57600 $FAST_DVB
  fwdl_start $path.unplug dvb --port "$port" $LONG_DVB
  wait_for "grep -q '\"sent\":[1-9][0-9][0-9][0-9]' /tmp/$path.unplug/events" 300 || fact $path.unplug never_sent yes
  gadget_pull $path.unplug
  fwdl_end
  fact $path.unplug pulled_at "$pulled"
  fact $path.unplug ended_at "$(now)"
  fact $path.unplug ports_while_out "$(fwdl ports --json)"
  gadget_plug
  fact $path.replug ports "$(fwdl ports --json)"
  sim_start $path.replug $FAST_DVB
  fwdl_run $path.replug dvb --port "$port" $DVB
  sim_end $path.replug $DVB

  # The report came, then the cable went.
  sim_start $path.answer_first $FAST_DVB
  fwdl_start $path.answer_first dvb --port "$port" $DVB
  wait_for "grep -q 'report sent' $sim_dir/sim.err" 600
  sleep 0.5
  gadget_pull $path.answer_first
  fwdl_end
  gadget_plug
  rmmod g_serial
done

echo "@@done $(now)"
poweroff -f
