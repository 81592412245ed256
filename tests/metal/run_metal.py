#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The emulated target against the host's stepped render (make test-metal).

Every scene is played twice, by `kxplay --fast` on the host and by `kxplay --target qemu` on the
bootable image under QEMU; the two outputs and their p<K> log lines must be equal byte for byte.
The scenes are the demo and the reference model's seeded scenarios at 1024, 256 and 4096 frames
per period, exported as kxplay scenes by model_scene (tests/model/scene/); for those, the output and
the p<K> lines must also equal the model's prediction. Then:
two demo runs give the same output, relayed log and whole serial log; the image's own kernel checks pass;
archives cut short or malformed are refused with a message, never a crash; a task that hogs the
processor makes late periods that are heard as whole periods of silence, nothing lost; a heap too
small makes calls fail with their status.

usage: run_metal.py KXPLAY IMAGE [--model-scene PROGRAM] [--scenes N] [--jobs J] [--seed S]
"""
import argparse, concurrent.futures, difflib, os, shutil, struct, subprocess, sys, tempfile, wave

QEMU = ['qemu-system-i386', '-accel', 'tcg', '-m', '128', '-display', 'none', '-serial', 'stdio',
        '-monitor', 'none', '-net', 'none', '-no-reboot',
        '-device', 'isa-debug-exit,iobase=0xf4,iosize=0x04', '-device', 'intel-hda',
        '-device', 'hda-output,audiodev=snd0', '-icount', 'shift=0,sleep=off']
RATE = 44100


def write_wav(path, frames, rate=RATE, channels=2, seed=0):
    """A sound that never repeats a frame: a ramp per channel, offset by the seed."""
    with wave.open(path, 'wb') as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        data = bytearray()
        for i in range(frames):
            for c in range(channels):
                v = ((i * (7 + seed) + c * 1000 + seed * 4099) % 40000) - 20000
                data += struct.pack('<h', v)
        w.writeframes(bytes(data))


def make_files(directory):
    lengths = [3000, 9000, 20000, 45000, 70000]
    names = []
    for k, n in enumerate(lengths):
        name = 's%d.wav' % k
        write_wav(os.path.join(directory, name), n, seed=k)
        names.append(name)
    write_wav(os.path.join(directory, 'mono.wav'), 5000, channels=1)  # refused: format
    with open(os.path.join(directory, 'junk.wav'), 'wb') as f:
        f.write(b'RIFF\x04\x00\x00\x00WAVE')  # refused: no chunks
    return names + ['mono.wav', 'junk.wav', 'missing.wav']


def log_lines(text):
    return [l for l in text.splitlines() if (l[:1] == 'p' and l[1:2].isdigit()) or
            l.startswith('kxaudio: ')]


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, timeout=600, **kw)


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = []

    def check(self, ok, what):
        if ok:
            self.passed += 1
        else:
            self.failed.append(what)
            print('FAIL: ' + what, flush=True)


def pcm(path):
    with wave.open(path, 'rb') as w:
        return (w.getnchannels(), w.getsampwidth(), w.getframerate()), w.readframes(w.getnframes())


def p_lines(lines):
    return [l for l in lines if l[:1] == 'p' and l[1:2].isdigit()]


def compare_model_scene(kxplay, image, model_scene, seed, frames):
    """True, '' when the model's scenario plays on --target qemu exactly as on --fast and as the
    model predicts; False and the difference otherwise. A scenario makes missing and unplayable
    files on purpose, so both runs exit 1 (kxplay reports them) and are compared all the same."""
    label = 'model scene seed %d, %d frames' % (seed, frames)
    work = tempfile.mkdtemp(prefix='kxmetal-model-')
    try:
        made = run([model_scene, str(seed), str(frames), work])
        if made.returncode != 0:
            return False, '%s: model_scene failed: %s' % (label, made.stderr.decode())
        common = ['--script', os.path.join(work, 'scene.kxs'), '--dir', work, '--frames',
                  str(frames)]
        fast = run([kxplay, '--fast'] + common + ['-o', os.path.join(work, 'fast.out')])
        target = run([kxplay, '--target', 'qemu', '--image', image] + common +
                     ['-o', os.path.join(work, 'target.out')])
        if fast.returncode != target.returncode or fast.returncode not in (0, 1):
            return False, '%s: exit %d (fast) vs %d (target): %s' % (
                label, fast.returncode, target.returncode, target.stderr.decode()[-2000:])
        outs = [os.path.join(work, n) for n in ('fast.out', 'target.out')]
        if not all(os.path.exists(o) for o in outs):
            return False, '%s: no output: %s' % (label, target.stderr.decode()[-2000:])
        a, b = (open(o, 'rb').read() for o in outs)
        la, lb = log_lines(fast.stderr.decode()), log_lines(target.stderr.decode())
        if la != lb:
            return False, '%s: log lines differ\n%s\n--- vs ---\n%s' % (label, la, lb)
        if a != b:
            first = next((i for i in range(min(len(a), len(b))) if a[i] != b[i]), None)
            return False, '%s: outputs differ (%d vs %d bytes, first difference at byte %s)' % (
                label, len(a), len(b), first)
        with open(os.path.join(work, 'expected.log')) as f:
            want = f.read().splitlines()
        if p_lines(lb) != want:
            diff = next((k for k, (x, y) in enumerate(zip(p_lines(lb) + [''] * len(want),
                                                          want + [''] * len(lb))) if x != y))
            return False, '%s: log line %d is "%s", the model says "%s"' % (
                label, diff + 1, (p_lines(lb) + [''] * len(want))[diff],
                (want + [''] * len(lb))[diff])
        got, predicted = pcm(outs[1]), pcm(os.path.join(work, 'expected.wav'))
        if got != predicted:
            n = min(len(got[1]), len(predicted[1]))
            first = next((i for i in range(n) if got[1][i] != predicted[1][i]), n)
            return False, '%s: the output is not the model\'s (%s, %d sample bytes; model %s, %d'\
                ' bytes; first difference at byte %d, period %d)' % (
                    label, got[0], len(got[1]), predicted[0], len(predicted[1]), first,
                    first // (frames * 4))
        return True, ''
    finally:
        shutil.rmtree(work, ignore_errors=True)


def serial_shim(work):
    """A directory holding a qemu-system-i386 that runs the real one (found on PATH now) and
    copies what it writes on the serial port to $KXMETAL_SERIAL."""
    real = shutil.which('qemu-system-i386')
    shim = os.path.join(work, 'shim')
    os.makedirs(shim, exist_ok=True)
    path = os.path.join(shim, 'qemu-system-i386')
    with open(path, 'w') as fh:
        fh.write('#!/usr/bin/env python3\n'
                 'import os, subprocess, sys\n'
                 'p = subprocess.Popen([%r] + sys.argv[1:], stdout=subprocess.PIPE)\n'
                 'with open(os.environ["KXMETAL_SERIAL"], "wb") as copy:\n'
                 '    for chunk in iter(lambda: p.stdout.read1(65536), b""):\n'
                 '        copy.write(chunk)\n'
                 '        sys.stdout.buffer.write(chunk)\n'
                 '        sys.stdout.buffer.flush()\n'
                 'sys.exit(p.wait())\n' % real)
    os.chmod(path, 0o755)
    return shim


def boot(image, archive, append='', capture=None):
    audiodev = 'wav,id=snd0,path=' + (capture or os.devnull)
    cmd = QEMU + ['-audiodev', audiodev, '-kernel', image, '-initrd', archive]
    if append:
        cmd += ['-append', append]
    r = run(cmd)
    return r.returncode, r.stdout.decode(errors='replace').replace('\r', '')


def cpio(members):
    out = b''
    def add(name, data, mode):
        nonlocal out
        nb = name.encode() + b'\0'
        fields = [0, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(nb), 0]
        out += ('070701' + ''.join('%08x' % v for v in fields)).encode() + nb
        out += b'\0' * (-len(out) % 4) + data
        out += b'\0' * (-len(out) % 4)
    for name, data in members:
        add(name, data, 0o100644)
    add('TRAILER!!!', b'', 0)
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('kxplay')
    ap.add_argument('image')
    ap.add_argument('--model-scene', help='model_scene (default: beside KXPLAY\'s build, '
                    'in tests/)')
    ap.add_argument('--scenes', type=int, default=50)
    ap.add_argument('--jobs', type=int, default=2)
    ap.add_argument('--seed', type=int, default=1)
    args = ap.parse_args()
    model_scene = args.model_scene or os.path.join(
        os.path.dirname(os.path.dirname(os.path.abspath(args.kxplay))), 'tests', 'model_scene')
    if not os.access(model_scene, os.X_OK):
        print('metal: %s is not built (cmake --build --preset default --target model_scene)' %
              model_scene)
        return 1
    checks = Checks()
    work = tempfile.mkdtemp(prefix='kxmetal-files-')
    try:
        files = make_files(work)

        # The demo, twice: equal to --fast, and the two target runs equal to each other, output
        # and whole serial log (the measured figures included) byte for byte. The serial port is
        # copied by a stand-in for qemu-system-i386 that runs the real one.
        outs = []
        serials = []
        shim = serial_shim(work)
        for n in range(2):
            o = os.path.join(work, 'demo%d.wav' % n)
            serial = os.path.join(work, 'demo%d.serial' % n)
            r = run([args.kxplay, '--demo', '--target', 'qemu', '--image', args.image, '-o', o],
                    env=dict(os.environ, PATH=shim + os.pathsep + os.environ.get('PATH', ''),
                             KXMETAL_SERIAL=serial))
            checks.check(r.returncode == 0, 'demo on the target exits 0')
            # Only wall time and the demo's temporary directory may differ in kxplay's own lines.
            log = [l for l in r.stderr.decode().splitlines()
                   if not l.startswith('kxplay: target: rendered') and 'sounds made in' not in l]
            outs.append((open(o, 'rb').read() if os.path.exists(o) else b'', log))
            serials.append(open(serial, 'rb').read() if os.path.exists(serial) else b'')
        f = run([args.kxplay, '--demo', '--fast', '-o', os.path.join(work, 'demof.wav')])
        fast = open(os.path.join(work, 'demof.wav'), 'rb').read()
        checks.check(outs[0][0] == fast, 'the demo on the target equals --fast byte for byte')
        checks.check(log_lines(f.stderr.decode()) == log_lines('\n'.join(outs[0][1])),
                     'the demo\'s log lines on the target equal --fast\'s')
        checks.check(outs[0] == outs[1], 'two demo runs give the same output and relayed log')
        checks.check(serials[0] != b'' and serials[0] == serials[1] and
                     b'summary: completion interrupt' in serials[0],
                     'two demo runs give the same serial log byte for byte:\n%s' % '\n'.join(
                         difflib.unified_diff(serials[0].decode(errors='replace').splitlines(),
                                              serials[1].decode(errors='replace').splitlines(),
                                              lineterm='', n=0)))

        # What --target refuses before boot, each in one line with exit status 1.
        refusals = [
            (['--script', 'esc.kx', '-o', 'o.wav'], {}, 'the target opens files below --dir'),
            (['--script', 'ok.kx', '-o', 's0.wav'], {}, 'it is also the output'),
            (['--script', 'ok.kx', '-o', 'o.wav'], {'PATH': '/nonexistent'},
             'qemu-system-i386 is not installed'),
        ]
        with open(os.path.join(work, 'esc.kx'), 'w') as fh:
            fh.write('sound a ../s0.wav\nplay a\n')
        with open(os.path.join(work, 'ok.kx'), 'w') as fh:
            fh.write('sound a s0.wav\nplay a\n')
        for extra, env, says in refusals:
            r = subprocess.run([os.path.abspath(args.kxplay), '--target', 'qemu', '--image',
                                os.path.abspath(args.image)] + extra, cwd=work,
                               capture_output=True, env=dict(os.environ, **env), timeout=600)
            err = r.stderr.decode()
            checks.check(r.returncode == 1 and says in err and
                         len([l for l in err.splitlines() if l.startswith('kxplay: ')]) == 1,
                         'refused before boot (%s): exit %d, %s' % (says, r.returncode, err))

        # The reference model's scenarios at three period sizes: the target against --fast and
        # against the model's prediction.
        jobs = []
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            for frames in (1024, 256, 4096):
                for k in range(args.scenes):
                    seed = args.seed * 100000 + k
                    jobs.append(pool.submit(compare_model_scene, args.kxplay, args.image,
                                            model_scene, seed, frames))
            for j in jobs:
                ok, why = j.result()
                checks.check(ok, why)

        # The image's kernel checks.
        arc = os.path.join(work, 'empty.cpio')
        with open(arc, 'wb') as fh:
            fh.write(cpio([]))
        code, out = boot(args.image, arc, 'selftest')
        summary = [l for l in out.splitlines() if l.startswith('selftest: ') and 'passed' in l]
        checks.check(code == 1 and summary and summary[-1].endswith(' 0 failed'),
                     'the kernel checks in the image pass: %s' % (summary or out[-800:]))
        # The shared contract cases ran there, for every clause of the kernel's list.
        clauses = ('Tasks', 'Task events', 'Critical sections', 'Sleep', 'Byte queues', 'Lists')
        ran = [c for c in clauses if ('selftest: ok  : %s: ' % c) in out]
        checks.check(ran == list(clauses), 'the image runs the shared contract cases of every '
                     'clause: %s of %s' % (ran, clauses))

        # Archives cut short or malformed: a message, no crash.
        good = cpio([('scene.cmd', b'kxscene|1024|10\n'), ('s0.wav', open(
            os.path.join(work, 's0.wav'), 'rb').read())])
        bad = {
            'truncated': good[:len(good) // 2],
            'header cut': good[:60],
            'bad magic': b'070702' + good[6:],
            'bad digit': good[:20] + b'z' + good[21:],
            'empty': b'',
        }
        for label, data in bad.items():
            path = os.path.join(work, 'bad.cpio')
            with open(path, 'wb') as fh:
                fh.write(data if data else b'\0')
            code, out = boot(args.image, path)
            checks.check(code == 11 and 'the archive cannot be read: ' in out and
                         'exception' not in out,
                         'archive %s: refused with a message (exit %d): %s' % (
                             label, code, out[-300:]))

        # A task above the mixer that hogs the processor longer than the ring lasts.
        hog_check(checks, args.image, work)
        # A heap too small: calls fail with their status, nothing crashes.
        heap_check(checks, args.image, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print('metal: %d passed, %d failed' % (checks.passed, len(checks.failed)))
    return 1 if checks.failed else 0


def scene_archive(work, records, frames, last, files):
    text = 'kxscene|%d|%d\n' % (frames, last) + ''.join(r + '\n' for r in records)
    members = [('scene.cmd', text.encode())]
    for f in files:
        members.append((f, open(os.path.join(work, f), 'rb').read()))
    path = os.path.join(work, 'rec.cpio')
    with open(path, 'wb') as fh:
        fh.write(cpio(members))
    return path


def pcm_after_ring(capture, out, frames):
    data = open(capture, 'rb').read()[44:]
    ring = int(next(l.split()[2] for l in out.splitlines() if l.startswith('kxaudio-metal: ring')))
    return data[ring * frames * 4:]


def hog_check(checks, image, work):
    frames, last = 1024, 80
    base = ['0|sound|a|s4.wav|1|||sound a s4.wav', '0|play|a|||l||play a loop']
    cap0, cap1 = os.path.join(work, 'h0.wav'), os.path.join(work, 'h1.wav')
    code0, out0 = boot(image, scene_archive(work, base, frames, last, ['s4.wav']), '', cap0)
    hog = base + ['20|hog|||||150|hog 150']
    code1, out1 = boot(image, scene_archive(work, hog, frames, last, ['s4.wav']), '', cap1)
    late = [int(l.split(',')[1].split()[0]) for l in out1.splitlines()
            if 'periods accepted' in l]
    ok = code0 == 1 and code1 == 1 and late and late[0] > 0
    if ok:
        p = frames * 4
        a, b = pcm_after_ring(cap0, out0, frames), pcm_after_ring(cap1, out1, frames)
        n = late[0]
        # Find where the silence was inserted: b equals a with n silent periods at one place.
        at = next((k for k in range(last) if a[k * p:(k + 1) * p] != b[k * p:(k + 1) * p]), None)
        ok = (at is not None and b[at * p:(at + n) * p] == bytes(n * p) and
              b[(at + n) * p:(last + 1 + n) * p] == a[at * p:(last + 1) * p])
    checks.check(ok, 'a hog of 150 ms above the mixer: late periods %s heard as whole periods '
                 'of silence, nothing lost or repeated' % late)


def heap_check(checks, image, work):
    records = ['0|sound|%s|s%d.wav|1|||sound %s s%d.wav' % (n, k, n, k)
               for k, n in enumerate('abcde')] + ['0|play|a|||||play a']
    code, out = boot(image, scene_archive(work, records, 1024, 20, ['s%d.wav' % k for k in
                                                                     range(5)]), 'heap=48')
    refused = [l for l in out.splitlines() if 'SND_ERR_NO_MEMORY' in l or 'did not start' in l]
    checks.check(code in (1, 19) and refused and 'exception' not in out,
                 'a 48 KiB heap: calls fail with their status, no crash: %s' % out[-500:])


if __name__ == '__main__':
    sys.exit(main())
