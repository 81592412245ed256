#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The reference model's scenarios, exported as kxplay scenes, played by `kxplay --fast`.

For a handful of seeds at 1024, 256 and 4096 frames per period, model_scene writes the scene, its
files and the model's prediction; kxplay's output must equal the predicted samples exactly and
its p<K> log lines must equal the predicted lines, in order. This proves the export faithful, so
that the emulated target can be held to the model through the same scenes (make test-metal).

usage: check_export.py MODEL_SCENE KXPLAY WORKDIR [--seeds N]
"""
import argparse, os, shutil, subprocess, sys, wave


def samples(path):
    with wave.open(path, 'rb') as w:
        return (w.getnchannels(), w.getsampwidth(), w.getframerate()), w.readframes(w.getnframes())


def plines(text):
    return [l for l in text.splitlines() if len(l) > 1 and l[0] == 'p' and l[1].isdigit()]


def check(model_scene, kxplay, directory, seed, frames):
    """Returns '' when kxplay plays the exported scene as the model predicts, else the fault."""
    shutil.rmtree(directory, ignore_errors=True)
    made = subprocess.run([model_scene, str(seed), str(frames), directory], capture_output=True,
                          text=True)
    if made.returncode != 0:
        return 'model_scene failed: ' + made.stderr.strip()
    out = os.path.join(directory, 'fast.wav')
    run = subprocess.run([kxplay, '--fast', '--frames', str(frames), '--dir', directory,
                          '--script', os.path.join(directory, 'scene.kxs'), '-o', out],
                         capture_output=True, text=True, timeout=300)
    # A scenario creates missing and unplayable files on purpose: kxplay reports them (exit 1).
    if run.returncode not in (0, 1) or not os.path.exists(out):
        return 'kxplay exited %d: %s' % (run.returncode, run.stderr.strip()[-400:])
    with open(os.path.join(directory, 'expected.log')) as f:
        want_log = f.read().splitlines()
    got_log = plines(run.stderr)
    if got_log != want_log:
        for k, (g, w) in enumerate(zip(got_log + [''] * len(want_log),
                                       want_log + [''] * len(got_log))):
            if g != w:
                return 'log line %d: kxplay "%s", model "%s"' % (k + 1, g, w)
    fmt, got = samples(out)
    want_fmt, want = samples(os.path.join(directory, 'expected.wav'))
    if fmt != want_fmt:
        return 'format %s, model %s' % (fmt, want_fmt)
    if got != want:
        first = next((i for i in range(min(len(got), len(want))) if got[i] != want[i]),
                     min(len(got), len(want)))
        return '%d sample bytes, model %d; first difference at byte %d (period %d)' % (
            len(got), len(want), first, first // (frames * 4))
    return ''


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('model_scene')
    ap.add_argument('kxplay')
    ap.add_argument('workdir')
    ap.add_argument('--seeds', type=int, default=4)
    args = ap.parse_args()
    failed = 0
    checked = 0
    for frames in (1024, 256, 4096):
        for seed in range(1, args.seeds + 1):
            directory = os.path.join(args.workdir, '%d-%d' % (frames, seed))
            fault = check(args.model_scene, args.kxplay, directory, seed, frames)
            checked += 1
            if fault:
                failed += 1
                print('seed %d at %d frames: %s (scene in %s)' % (seed, frames, fault,
                                                                   directory))
            else:
                shutil.rmtree(directory, ignore_errors=True)
    print('%d scenes, %d failed' % (checked, failed))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
