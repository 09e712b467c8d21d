'use strict';
// The real backdrop module. On Linux there is no glass: every call checks its arguments
// first, then answers as on a system without glass.
const test = require('node:test');
const assert = require('node:assert');

const plugin = require(process.env.BACKDROP_MODULE);
const handle = Buffer.alloc(8, 0x11);

test('the three functions are exported in order', () => {
    assert.deepStrictEqual(Object.keys(plugin), ['initializeBackdrop', 'updateGlassRects', 'removeAllBackdrops']);
});

test('wrong arguments throw the TypeError of the call', () => {
    const init = 'initializeBackdrop(handleBuffer)';
    const update = 'updateGlassRects(handleBuffer, rectsArray)';
    const remove = 'removeAllBackdrops(handleBuffer)';
    const cases = [
        ['initializeBackdrop', [], init],
        ['initializeBackdrop', [null], init],
        ['initializeBackdrop', ['0x1122334455667788'], init],
        ['initializeBackdrop', [[1, 2, 3, 4, 5, 6, 7, 8]], init],
        ['initializeBackdrop', [new ArrayBuffer(8)], init],
        ['updateGlassRects', [], update],
        ['updateGlassRects', [handle], update],
        ['updateGlassRects', [handle, {}], update],
        ['updateGlassRects', [handle, 'rects'], update],
        ['updateGlassRects', [[], []], update],
        ['updateGlassRects', [undefined, []], update],
        ['removeAllBackdrops', [], remove],
        ['removeAllBackdrops', [{}], remove],
        ['removeAllBackdrops', [8], remove],
    ];
    for (const [name, args, message] of cases) {
        assert.throws(() => plugin[name](...args), (error) => {
            assert.ok(error instanceof TypeError, `${name}(${args.length} args) threw ${error}`);
            assert.strictEqual(error.message, message);
            return true;
        });
    }
});

test('without glass, initializing and updating return false and read nothing', () => {
    const untouchable = {
        get id() {
            throw new Error('read');
        },
    };
    const buffers = [handle, Buffer.alloc(0), Buffer.alloc(4, 1), new Uint8Array(16).fill(3)];
    for (const buffer of buffers) {
        assert.strictEqual(plugin.initializeBackdrop(buffer), false);
        assert.strictEqual(plugin.updateGlassRects(buffer, [untouchable, { id: 'a', width: 10, height: 10 }]), false);
        assert.strictEqual(plugin.updateGlassRects(buffer, []), false);
    }
});

test('removing works: true for a handle, false for a buffer that holds no view', () => {
    const cases = [
        [handle, true],
        [new Uint8Array(8).fill(0xff), true],
        [Buffer.alloc(16, 2), true],
        [Buffer.alloc(8), false], // a null address
        [Buffer.alloc(7, 1), false], // too short to hold an address: never read past its end
        [Buffer.alloc(0), false],
    ];
    for (const [buffer, expected] of cases) {
        assert.strictEqual(plugin.removeAllBackdrops(buffer), expected, `${buffer.length} bytes`);
    }
});

test('extra arguments are ignored', () => {
    assert.strictEqual(plugin.initializeBackdrop(handle, 1, 'two'), false);
    assert.strictEqual(plugin.updateGlassRects(handle, [], {}, null), false);
    assert.strictEqual(plugin.removeAllBackdrops(handle, [], () => {}), true);
});
