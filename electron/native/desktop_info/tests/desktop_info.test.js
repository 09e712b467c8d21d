'use strict';
// The real desktop_info module on a private X server (under openbox when
// DESKTOP_INFO_WINDOW_MANAGER is set), with test windows of every kind.
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const { startDisplay, startClient } = require(path.join(__dirname, '../../tests/x11_display.js'));

const managed = Boolean(process.env.DESKTOP_INFO_WINDOW_MANAGER);
let display;
let plugin;

test.before(async () => {
    display = await startDisplay({ windowManager: managed });
    process.env.DISPLAY = display.display;
    plugin = require(process.env.DESKTOP_INFO_MODULE);
});
test.after(async () => display.stop());

async function withClient(args, body) {
    const client = await startClient(display.display, args);
    try {
        return await body(client.windows);
    } finally {
        await client.stop();
    }
}

test('the six functions are exported in order', () => {
    assert.deepStrictEqual(Object.keys(plugin), [
        'getWindowList',
        'getCurrentCursorType',
        'hasAccessibilityPermissions',
        'requestAccessibilityPermissions',
        'hasInputMonitoringPermissions',
        'requestInputMonitoringPermissions',
    ]);
});

test('no ordinary window on screen gives an empty list', async () => {
    assert.deepStrictEqual(plugin.getWindowList(), []);
    await withClient(['dock:0,1040,1920,40:Panel', 'override:10,10,50,50:Menu'], () => {
        assert.deepStrictEqual(plugin.getWindowList(), []);
    });
});

test('getWindowList lists exactly the ordinary windows, front-most first', async () => {
    const specs = [
        { spec: 'normal:100,120,400,300:First', name: 'First', ordinary: true },
        { spec: 'dock:0,1040,1920,40:Panel', ordinary: false },
        { spec: 'dialog:300,200,250,120:Question', name: 'Question', ordinary: true },
        { spec: 'above:900,100,200,200:Floating', ordinary: false },
        { spec: 'legacy:600,500,320,240:Old title', name: 'Old title', ordinary: true },
        { spec: 'override:50,50,80,40:Tooltip', ordinary: false },
        { spec: 'normal:1000,600,160,90', name: '', ordinary: true },
    ];
    await withClient(specs.map((s) => s.spec), (windows) => {
        const list = plugin.getWindowList();
        const expected = specs
            .map((s, i) => ({ ...s, id: windows[i] }))
            .filter((s) => s.ordinary)
            .reverse(); // mapped one after another: the last is in front
        assert.deepStrictEqual(list.map((w) => w.windowId), expected.map((s) => s.id));
        for (const [i, record] of list.entries()) {
            assert.deepStrictEqual(Object.keys(record), ['windowId', 'name', 'ownerName', 'x', 'y', 'width', 'height']);
            assert.strictEqual(typeof record.windowId, 'number');
            assert.strictEqual(record.name, expected[i].name);
            assert.strictEqual(record.ownerName, 'x11_test_client');
            const [x, y, width, height] = expected[i].spec.split(':')[1].split(',').map(Number);
            assert.strictEqual(record.x, x);
            assert.strictEqual(record.y, y);
            if (managed) {
                assert.ok(record.width > width && record.height > height, 'the frame is part of the bounds');
            } else {
                assert.deepStrictEqual([record.width, record.height], [width, height]);
            }
        }
    });
});

test('the cursor of a frontmost window of this process is named', async () => {
    const cases = [
        ['left_ptr', 'default'],
        ['hand2', 'pointer'],
        ['xterm', 'text'],
        ['grabbing', 'grabbing'],
        ['sb_h_double_arrow', 'ew-resize'],
        ['bottom_left_corner', 'nesw-resize'],
        ['not-allowed', 'not-allowed'],
        ['watch', 'default'],
    ];
    for (const [xName, expected] of cases) {
        const args = ['--pid', String(process.pid), '--focus', '--cursor', xName, 'normal:200,200,300,200:Host'];
        await withClient(args, () => {
            assert.strictEqual(plugin.getCurrentCursorType(), expected, xName);
        });
    }
});

test('another application in front without accessibility gives "default"', async () => {
    await withClient(['--focus', '--cursor', 'hand2', 'normal:200,200,300,200:Other'], () => {
        assert.strictEqual(plugin.getCurrentCursorType(), 'default');
    });
});

test('permissions: no accessibility bus, and X lets this display listen to input', () => {
    assert.strictEqual(plugin.hasAccessibilityPermissions(), false);
    assert.strictEqual(plugin.requestAccessibilityPermissions(), false);
    assert.strictEqual(plugin.hasInputMonitoringPermissions(), true);
    assert.strictEqual(plugin.requestInputMonitoringPermissions(), true);
});

test('extra arguments are ignored', async () => {
    await withClient(['normal:10,10,100,100:Extra'], () => {
        const extra = [1, 'two', { three: 3 }, null, undefined, () => {}];
        for (const name of Object.keys(plugin)) {
            assert.deepStrictEqual(plugin[name](...extra), plugin[name](), name);
        }
    });
});

test('once the X server is gone every answer is neutral', async () => {
    await display.stop();
    // A parallel test's server may take over the freed display number: reconnect to nothing.
    process.env.DISPLAY = ':65000';
    assert.deepStrictEqual(plugin.getWindowList(), []);
    assert.strictEqual(plugin.getCurrentCursorType(), 'default');
    assert.strictEqual(plugin.hasInputMonitoringPermissions(), false);
    assert.strictEqual(plugin.requestInputMonitoringPermissions(), false);
});
