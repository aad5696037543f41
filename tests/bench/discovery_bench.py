#!/usr/bin/env python3
"""Benchmark (not a test): what one drive-list rebuild asks of the disks, as the bench counts it.

Usage: tests/bench/discovery_bench.py [--drives N] [--disks K,K,...] [--fwbench FWBENCH]

For each K it writes a bench with K SATA disks ahead of N native NVMe drives in the device tree
(the drives are disks 0 to N-1 and listed, the SATA disks follow them in number and are not),
runs `fwbench list --capture` on it, and counts the device requests and opens of the list
rebuild the dialog makes when it starts. That rebuild ends with the look at the volume letters
C: to Z:, so the count stops after \\\\.\\Z:. The budget is 60 requests and opens per listed
NVMe drive plus 4 per other disk.

Without --fwbench it builds fwbench in the optimised host build (build/host-release).
"""
import argparse, os, re, subprocess, sys, tempfile

root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PER_DRIVE, PER_OTHER_DISK = 60, 4


def bench_text(drives, disks):
    out = ['[pci host-bridge]', 'bus = 0', '', '[pci sata-controller]', 'parent = host-bridge', 'bus = 0', '']
    for k in range(disks):
        out += ['[disk sata-%d]' % k, 'parent = sata-controller', 'disk = %d' % (drives + k), 'bus-type = sata', '']
    for n in range(drives):
        out += ['[pci port-%d]' % n, 'parent = host-bridge', 'bus = 0', '',
                '[nvme controller-%d]' % n, 'parent = port-%d' % n, 'bus = %d' % (n + 1),
                'link-speed = 3', 'link-width = 4', '',
                '[drive q7-%d]' % n, 'parent = controller-%d' % n, 'disk = %d' % n,
                'model = QUORVELA Q7 1TB', 'serial = QV7A2411%04d' % n, 'firmware = 3.2.F.P7',
                'blocks = 1953525168', 'soc-id = 0x7C63', 'internal-version = 3.2.F.2C', '']
    return '\n'.join(out)


def rebuild_counts(capture, path):
    """Requests and opens from the start to the end of the first list rebuild."""
    requests = opens = 0
    seen_last_volume = False
    for line in open(capture, encoding='utf-8'):
        fields = line.split()
        device, what = fields[1], fields[2]
        if seen_last_volume and device != path:
            break
        seen_last_volume |= device == path and what == 'open'
        if what.startswith('0x'):
            requests += 1
        elif what == 'open':
            opens += 1
    return requests, opens


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--drives', type=int, default=19)
    parser.add_argument('--disks', default='0,50,200')
    parser.add_argument('--fwbench')
    args = parser.parse_args()
    fwbench = args.fwbench
    if fwbench is None:
        subprocess.run(['cmake', '--preset', 'host-release'], cwd=root, check=True, stdout=subprocess.DEVNULL)
        subprocess.run(['cmake', '--build', 'build/host-release', '-j%d' % (os.cpu_count() or 2), '--target', 'fwbench'],
                       cwd=root, check=True, stdout=subprocess.DEVNULL)
        fwbench = os.path.join(root, 'build/host-release/tools/fwbench/fwbench')

    print('%6s %6s | %9s %7s %9s | %9s %s' % ('drives', 'disks', 'requests', 'opens', 'together', 'budget', 'listed'))
    over = False
    with tempfile.TemporaryDirectory() as tmp:
        for disks in [int(k) for k in args.disks.split(',')]:
            bench, capture = os.path.join(tmp, 'b.bench'), os.path.join(tmp, 'c.txt')
            open(bench, 'w').write(bench_text(args.drives, disks))
            run = subprocess.run([fwbench, 'list', '--bench', bench, '--capture', capture],
                                 capture_output=True, text=True)
            if run.returncode != 0:
                sys.exit('fwbench list failed: ' + run.stderr)
            listed = re.search(r'(\d+) listed', run.stdout).group(1)
            requests, opens = rebuild_counts(capture, '\\\\.\\Z:')
            budget = PER_DRIVE * args.drives + PER_OTHER_DISK * disks
            over |= requests + opens > budget
            print('%6d %6d | %9d %7d %9d | %9d %s' % (args.drives, disks, requests, opens, requests + opens, budget, listed))
    return 1 if over else 0


if __name__ == '__main__':
    sys.exit(main())
