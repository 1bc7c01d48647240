#!/usr/bin/python3
# Asks kestd to open SERIAL COUNT times; prints the listener ports, comma separated. kestd may
# not have discovered the device yet when first asked, so "find" is asked for a while.
# Usage: open_device.py SERIAL COUNT
import socket, sys, time
serial, count = sys.argv[1], int(sys.argv[2])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(2)
rpc = None
deadline = time.monotonic() + 20
while rpc is None and time.monotonic() < deadline:
    s.sendto(b"2 find", ("127.0.0.1", 26741))
    try:
        lines = s.recv(65536).decode().split("\n")
    except OSError:
        continue
    found = [int(l.split()[2]) for l in lines if l.startswith(serial + " ")]
    if found:
        rpc = found[0]
    else:
        time.sleep(0.1)
if rpc is None:
    sys.exit("open_device.py: kestd did not find " + serial)
ports = []
for _ in range(count):
    s.sendto(b"2 open", ("127.0.0.1", rpc))
    ports.append(s.recv(4096).decode().split()[1])
print(",".join(ports))
