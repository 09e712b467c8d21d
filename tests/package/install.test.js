'use strict';
// The npm package as an application gets it: packed with the prebuilt parts of this build,
// installed from the tarball into a fresh empty project, every export used from there, the
// declarations and the Electron example compiled strictly against them (the example's probe
// and relay code then run in Node), and the loader's errors for a plug-in that is missing or
// whose native dependency is.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const source = path.join(__dirname, '..', '..');
const buildDir = process.env.PACKAGE_BUILD_DIR;
// A wrapper giving the application a display of its own (Linux); none where there is always one.
const withDisplay = process.env.WITH_XVFB ? [process.env.WITH_XVFB] : [];
const { name: packageName } = require(path.join(source, 'package.json'));
const platformTag = `${process.platform}-${process.arch}`;

function run(command, args, cwd, env = process.env) {
    return execFileSync(command, args, { cwd, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'],
                                         env: { ...env, npm_config_update_notifier: 'false' } });
}

// Node in the application's folder, on the display of its own where it needs one.
function nodeInApp(app, args) {
    const [command, ...rest] = [...withDisplay, process.execPath, ...args];
    return run(command, rest, app);
}

// A PATH holding node, npm and a shell alone: no compiler, CMake or build tool to fall back on.
function pathWithoutCompilers(scratch) {
    const bin = path.join(scratch, 'bin');
    fs.mkdirSync(bin);
    const npm = execFileSync('sh', ['-c', 'command -v npm'], { encoding: 'utf8' }).trim();
    for (const [name, target] of [['node', process.execPath], ['npm', fs.realpathSync(npm)], ['sh', '/bin/sh']]) {
        fs.symlinkSync(target, path.join(bin, name));
    }
    return bin;
}

// The tarball of the checkout, unpacked, given this build's parts as its prebuilds, packed again.
function packWithPrebuilds(scratch) {
    const stage = path.join(scratch, 'stage');
    fs.mkdirSync(stage);
    const [plain] = JSON.parse(run('npm', ['pack', '--json', '--pack-destination', scratch], source));
    run('tar', ['-xzf', path.join(scratch, plain.filename), '-C', stage]);
    const unpacked = path.join(stage, 'package');
    run(process.execPath, [path.join(unpacked, 'scripts', 'prebuild.js'), buildDir], unpacked);
    const [full] = JSON.parse(run('npm', ['pack', '--json', '--pack-destination', stage], unpacked));
    return path.join(stage, full.filename);
}

function freshProject(scratch, tarball) {
    const app = path.join(scratch, 'app');
    fs.mkdirSync(app);
    fs.writeFileSync(path.join(app, 'package.json'), JSON.stringify({ name: 'app', private: true }));
    // The registry's packages (the Node types) as npm fetches them for any package, then the
    // package's own install step offline, with no way out to the network and nothing to build
    // with: the prebuilt parts are all it takes.
    run('npm', ['install', '--prefer-offline', '--ignore-scripts', '--no-audit', '--no-fund', tarball], app);
    const unreachable = 'http://127.0.0.1:9';
    run('npm', ['rebuild', '--offline', packageName], app,
        { ...process.env, PATH: pathWithoutCompilers(scratch), HTTP_PROXY: unreachable,
          HTTPS_PROXY: unreachable, npm_config_proxy: unreachable, npm_config_https_proxy: unreachable });
    return app;
}

// Run in the application: every subpath required, one call of each plug-in, each program
// started through its exported path with no arguments (each answers with its usage failure), and
// each probe run on a few frames.
const useEverything = `
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const programs = require('${packageName}');
const { NativeScreenRecorder } = require('${packageName}/filmstrip');
const desktop = require('${packageName}/desktop_info');
const backdrop = require('${packageName}/backdrop');
const windows = desktop.getWindowList();
assert.ok(Array.isArray(windows));
assert.equal(typeof desktop.getCurrentCursorType(), 'string');
assert.equal(backdrop.initializeBackdrop(Buffer.alloc(8)), false);
const statuses = {};
for (const name of ['input_relay', 'flow_probe', 'mouth_probe']) {
    assert.ok(programs[name].startsWith(process.cwd()), programs[name]);
    const run = spawnSync(programs[name], [], { encoding: 'utf8', env: { ...process.env, DBUS_SESSION_BUS_ADDRESS: 'disabled:' } });
    statuses[name] = [run.status, run.stderr.trim()];
}
// Each probe on a stream of plain frames from a scripted decoder, which needs its engine module.
const fs = require('node:fs');
function plainBmp(width, height) {
    const stride = (width * 3 + 3) & ~3;
    const file = Buffer.alloc(54 + stride * height, 0x80);
    file.fill(0, 0, 54);
    file.write('BM', 0);
    file.writeUInt32LE(file.length, 2);
    file.writeUInt32LE(54, 10);
    file.writeUInt32LE(40, 14);
    file.writeInt32LE(width, 18);
    file.writeInt32LE(height, 22);
    file.writeUInt16LE(1, 26);
    file.writeUInt16LE(24, 28);
    file.writeUInt32LE(stride * height, 34);
    return file;
}
fs.writeFileSync('decoder.sh', '#!/bin/sh\\ncat "$5"\\n', { mode: 0o755 });
fs.writeFileSync('flow.bmp', Buffer.concat([plainBmp(320, 180), plainBmp(320, 180)]));
fs.writeFileSync('mouth.bmp', plainBmp(960, 540));
const analysed = {};
for (const [name, stream, rate] of [['flow_probe', 'flow.bmp', '4'], ['mouth_probe', 'mouth.bmp', '500']]) {
    const run = spawnSync(programs[name], ['./decoder.sh', stream, rate], { encoding: 'utf8' });
    analysed[name] = [run.status, run.stdout.split('\\n').filter(Boolean).length, run.stderr];
}
const promises = require('${packageName}/filmstrip/promises');
new NativeScreenRecorder().stopRecording((error, outputPath) => {
    new promises.NativeScreenRecorder().stopRecording().catch((rejected) => {
        const promised = [rejected instanceof Error, rejected.message, rejected.code, rejected.domain];
        console.log(JSON.stringify({ stop: [error && error.message, outputPath], promised, statuses, analysed }));
    });
});
`;

test('the packed package installs into a fresh project and works from there', (t) => {
    const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'package-install-'));
    t.after(() => fs.rmSync(scratch, { recursive: true, force: true }));
    const app = freshProject(scratch, packWithPrebuilds(scratch));
    const installed = path.join(app, 'node_modules', packageName);
    assert.ok(fs.existsSync(path.join(installed, 'prebuilds', platformTag, 'filmstrip.node')));
    assert.ok(!fs.existsSync(path.join(installed, 'build')), 'nothing was built on install');

    fs.writeFileSync(path.join(app, 'use.js'), useEverything);
    const result = JSON.parse(nodeInApp(app, ['use.js']));
    assert.deepEqual(result.stop, ['Not recording', null]);
    assert.deepEqual(result.promised, [true, 'Not recording', 4, 'ScreenRecorder']);
    assert.deepEqual(result.statuses.input_relay,
                     [2, 'Packaged input requires a selected capture window.']);
    for (const probe of ['flow_probe', 'mouth_probe']) {
        assert.equal(result.statuses[probe][0], 64, probe);
        assert.match(result.statuses[probe][1], new RegExp(`^usage: ${probe} `));
        assert.deepEqual(result.analysed[probe], [0, 1, ''], probe);
    }

    // The declarations, strictly, against a consumer of every export, with the Node types the
    // package brings and nothing of the checkout's.
    fs.copyFileSync(path.join(__dirname, 'consumer.ts'), path.join(app, 'consumer.ts'));
    fs.writeFileSync(path.join(app, 'tsconfig.json'), JSON.stringify({
        compilerOptions: { strict: true, noEmit: true, module: 'node16', moduleResolution: 'node16',
                           target: 'es2022', types: ['node'] },
        files: ['consumer.ts'],
    }));
    const tsc = (...args) => spawnSync(process.execPath,
                                       [path.join(source, 'node_modules', 'typescript', 'bin', 'tsc'),
                                        '--strict', ...args], { encoding: 'utf8' });
    const consumer = tsc('--noEmit', '-p', app);
    assert.equal(consumer.status, 0, consumer.stdout + consumer.stderr);

    // The Electron example against Electron's own declarations (its package, without the
    // binary), beside the installed package.
    const example = path.join(app, 'electron-example');
    fs.cpSync(path.join(source, 'examples', 'electron'), example,
              { recursive: true, filter: (file) => !/(^|\/)(node_modules|dist)(\/|$)/.test(file) });
    fs.symlinkSync(path.join(source, 'node_modules', 'electron'), path.join(app, 'node_modules', 'electron'));
    const electronApp = tsc('-p', example);
    assert.equal(electronApp.status, 0, electronApp.stdout + electronApp.stderr);

    // Its child-process halves, which need no Electron, in plain Node: both probes on a short
    // clip, and a take whose window is not there.
    run('ffmpeg', ['-v', 'error', '-f', 'lavfi', '-i', 'testsrc=size=320x240:rate=10:duration=2',
                   '-pix_fmt', 'yuv420p', path.join(app, 'clip.mp4')]);
    const children = JSON.parse(nodeInApp(app, ['-e', `
        const { runProbes } = require('./electron-example/dist/probes');
        const { startTake } = require('./electron-example/dist/take');
        const events = [];
        const take = startTake({ windowId: 4000000000, name: '', ownerName: '', x: 0, y: 0, width: 10, height: 10 },
                               (event) => events.push(event));
        Promise.all([runProbes('clip.mp4'), take.ended]).then(([probes, end]) => console.log(JSON.stringify({
            probes: probes.map(({ probe, lines, failure }) => [probe, lines.length, failure]), end, events })));
    `]));
    // 2 s sampled at 4 frames a second (flow: 8 frames, 7 pairs) and every 500 ms (mouth).
    assert.deepEqual(children.probes, [['flow_probe', 7, null], ['mouth_probe', 4, null]]);
    // Which check refuses first depends on the machine (its accessibility switch, the window);
    // the take reports the relay's own sentence.
    assert.equal(children.end.outcome, 'failed');
    assert.match(children.end.reason, /^[A-Z][^\n]*\.$/);
    assert.deepEqual(children.events, []);

    // A plug-in that is not there, and (made with the ELF linker's flags) one whose native
    // library is gone.
    const prebuilds = path.join(installed, 'prebuilds', platformTag);
    fs.rmSync(path.join(prebuilds, 'backdrop.node'));
    const elf = process.platform === 'linux';
    if (elf) {
        const libraries = path.join(scratch, 'lib');
        fs.mkdirSync(libraries);
        const gone = path.join(libraries, 'libnative_layer_gone.so');
        run('cc', ['-shared', '-x', 'c', '/dev/null', '-o', gone]);
        run('cc', ['-shared', '-x', 'c', '/dev/null', '-o', path.join(prebuilds, 'desktop_info.node'),
                   `-L${libraries}`, '-Wl,--no-as-needed', '-lnative_layer_gone']);
        fs.rmSync(gone);
    }
    const failures = spawnSync(process.execPath, ['-e', `
        for (const part of ['backdrop', 'desktop_info']) {
            try { require('${packageName}/' + part); } catch (error) {
                console.log(error instanceof Error ? error.message : 'not an Error');
            }
        }`], { cwd: app, encoding: 'utf8' });
    const [missing, brokenDependency] = failures.stdout.trim().split('\n');
    assert.match(missing, new RegExp(`the plug-in backdrop is not built for ${platformTag}`));
    if (elf) {
        assert.match(brokenDependency,
                     /cannot load the desktop_info plug-in .*its native dependency libnative_layer_gone\.so is missing/);
    }
});
