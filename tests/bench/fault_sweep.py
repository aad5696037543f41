#!/usr/bin/env python3
"""One injected fault per update, on every path: no update may report success unless the drive
really got the whole image, committed without an error, with its own configuration in it.

Usage: fault_sweep.py FWBENCH FWCAP [BENCH]   (BENCH: emu/benches/default.bench)

For each drive of the default bench (the JMicron one given the Micron flash the sample package has
an image for), each request kind, several occurrences and each way of failing, it writes a bench
file with one `fault` line, runs `fwbench update N --capture`, and checks a claimed success against
the capture with fwcap: the commit completed with status 0, the image of the last download
reassembles whole, and it carries the serial number (the configuration block) of the drive it was
committed to. A commit completed with 0x10B, 0x110 or 0x111 (the image is committed and a reset
activates it; natively the activate request fails with 0x30207) counts as completed; 0x106, 0x107
and every other status do not.
Prints one line per false success and a summary; exits 1 when there is one.
"""
import os, re, subprocess, sys, tempfile

fwbench, fwcap = sys.argv[1], sys.argv[2]
root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
base = open(sys.argv[3] if len(sys.argv) > 3 else os.path.join(root, 'emu/benches/default.bench')).read()
at = base.index('[drive q7-jmicron]')
base = base[:at] + base[at:].replace('flash-id = 98 3E 98 B3 76 E3', 'flash-id = 2C C3 08 32 EA 00', 1)

drives = [(0, 'q7-native', False), (1, 'q7-asmedia', True), (2, 'q7-jmicron', True)]
serials = {'1': 'QV7A24110001', '2': 'QV7A24110002', '3': 'QV7A24110003'}
kinds = ['identify', 'vendor-read', 'vendor-write', 'firmware-download', 'firmware-commit',
         'power-control', 'inquiry', 'device-number', 'device-property']
occurrences = [1, 2, 3, 4, 5, 6, 7, 8, 9, 82, 163]
IMAGE_BYTES = 667648


# Statuses with which a drive reports a commit that a reset activates: the command was carried out.
RESET_STATUSES = ('010B', '0110', '0111')


def actions(bridged):
    out = ['action=fail', 'action=error-completion status=0x0002',
           'action=error-completion status=0x0006', 'action=error-completion status=0x0106',
           'action=error-completion status=0x0107']
    out += ['action=error-completion status=0x%s performed=yes' % s for s in RESET_STATUSES]
    if bridged:
        out += ['action=check-condition phase=%d' % p for p in (1, 2, 3)]
        out += ['action=fail phase=%d' % p for p in (2, 3)]
    return out


def with_fault(name, line):
    at = base.index('[drive %s]' % name)
    at = base.index('\n', at) + 1
    return base[:at] + 'fault = %s\n' % line + base[at:]


def real_success(capture):
    listing = subprocess.run([fwcap, 'list', capture], capture_output=True, text=True).stdout.splitlines()
    commits = [l for l in listing if re.match(r'\s*\d+ \S+\s+\S+\s+10 ', l)]
    if not commits or not commits[-1].rstrip().endswith(('0000', 'carried') + RESET_STATUSES):
        return 'the last commit did not complete with status 0 or one a reset completes'
    # A fault that keeps a drive out of the list moves the entries up: judge the drive that the
    # commit went to, by its disk number.
    disk = re.search(r'PhysicalDrive(\d+)', commits[-1]).group(1)
    serial = serials.get(disk)
    if serial is None:
        return 'the commit went to disk %s, which holds no drive of the package' % disk
    image = capture + '.bin'
    if subprocess.run([fwcap, 'image', capture, image], capture_output=True).returncode != 0:
        return 'no whole image was downloaded'
    data = open(image, 'rb').read()
    if len(data) != IMAGE_BYTES:
        return 'the downloaded image has %d bytes' % len(data)
    if serial.encode() not in data:
        return "the image does not carry the drive's configuration"
    return None


runs = false_ok = successes = 0
with tempfile.TemporaryDirectory() as tmp:
    for entry, name, bridged in drives:
        for kind in kinds:
            for nth in occurrences:
                for action in actions(bridged):
                    bench = os.path.join(tmp, 'b.bench')
                    capture = os.path.join(tmp, 'c.txt')
                    open(bench, 'w').write(with_fault(name, '%s nth=%d %s' % (kind, nth, action)))
                    if os.path.exists(capture):
                        os.remove(capture)
                    out = subprocess.run([fwbench, 'update', str(entry), '--bench', bench, '--capture', capture],
                                         capture_output=True, text=True).stdout
                    runs += 1
                    m = re.search(r'^result (-?\d+)', out, re.M)
                    if not m or m.group(1) != '1':
                        continue
                    successes += 1
                    why = real_success(capture)
                    if why:
                        false_ok += 1
                        print('FALSE SUCCESS: %s fault = %s nth=%d %s: %s' % (name, kind, nth, action, why))
print('%d updates with one fault each: %d reported success, %d of them falsely' % (runs, successes, false_ok))
sys.exit(1 if false_ok else 0)
