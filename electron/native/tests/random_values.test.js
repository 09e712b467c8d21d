'use strict';
// Calls every export of a plug-in (and every method of the classes named in
// RANDOM_VALUES_CONSTRUCT) with thousands of random JavaScript values: each call must return
// or throw a JavaScript Error, never crash the process.
//   RANDOM_VALUES_MODULE     path of the .node file
//   RANDOM_VALUES_CONSTRUCT  comma-separated class exports to instantiate (optional)
//   RANDOM_VALUES_CALLS      calls per function (default 1500)
//   RANDOM_VALUES_SEED       seed, to replay a failure (default: random, printed)
//   WITH_XVFB                when set, the module runs against a private X server
const test = require('node:test');
const assert = require('node:assert');

const CALLS = Number(process.env.RANDOM_VALUES_CALLS || 1500);
const SEED = Number(process.env.RANDOM_VALUES_SEED || Math.floor(Math.random() * 2 ** 31));

// xorshift32: small, seedable, good enough to pick values.
let state = SEED || 1;
function next() {
    state ^= state << 13;
    state ^= state >>> 17;
    state ^= state << 5;
    return (state >>> 0) / 2 ** 32;
}
const int = (n) => Math.floor(next() * n);
const pick = (items) => items[int(items.length)];

const NUMBERS = [0, -0, 1, -1, 0.5, 7, 255, 2 ** 31, 2 ** 32, 2 ** 53, -(2 ** 63), 1e308, -1e-308,
    NaN, Infinity, -Infinity, Number.EPSILON];
const KEYS = ['id', 'x', 'y', 'width', 'height', 'cornerRadius', 'tintColor', 'framerate',
    'lowMemoryEncoder', 'hevcEncoder', 'systemAudio', 'length', '0', 'toString', 'valueOf'];

function randomString() {
    switch (int(5)) {
        case 0: return '';
        case 1: return pick(['#A0B0C0', '#A0B0C080', 'A0B0C080', '#GG0000', '#', '#ffffffff0', 'é€😀']);
        case 2: return 'x'.repeat(int(5000));
        case 3: return String.fromCharCode(...Array.from({ length: int(20) }, () => int(0x10000)));
        default: return String(next());
    }
}

let bufferLength = 0;
function randomBuffer() {
    // Every length from 0 to 64 in turn, then the odd large one.
    const length = bufferLength <= 64 ? bufferLength++ : int(4096);
    const bytes = Buffer.alloc(length);
    for (let i = 0; i < length; i++) bytes[i] = int(256);
    switch (int(4)) {
        case 0: return new Uint8Array(bytes);
        case 1: return new DataView(bytes.buffer, bytes.byteOffset, bytes.length);
        default: return bytes;
    }
}

function randomObject(depth) {
    const object = int(10) === 0 ? Object.create(null) : {};
    for (let i = int(8); i > 0; i--) {
        const key = int(3) === 0 ? randomString() : pick(KEYS);
        const property = int(15) === 0 ? { get() { throw new Error('getter'); } } : { value: randomValue(depth + 1) };
        Object.defineProperty(object, key, { enumerable: true, configurable: true, ...property });
    }
    return object;
}

function randomValue(depth = 0) {
    const deep = depth > 3;
    switch (int(deep ? 8 : 12)) {
        case 0: return pick(NUMBERS);
        case 1: return (next() - 0.5) * 10 ** int(12);
        case 2: return randomString();
        case 3: return randomBuffer();
        case 4: return pick([null, undefined, true, false]);
        case 5: return pick([Symbol('s'), 10n, -(2n ** 70n)]);
        case 6: return pick([() => 1, function named() { return this; }, class {}, Math.max]);
        case 7: return pick([new Date(), /re/, new Map(), new Set(), new ArrayBuffer(int(16)), Promise.resolve()]);
        case 8: return Array.from({ length: int(10) }, () => randomValue(depth + 1));
        case 9: { const sparse = []; sparse[int(1000)] = randomValue(depth + 1); return sparse; }
        case 10: return randomObject(depth);
        default: return new Proxy(randomObject(depth), {});
    }
}

function hammer(name, fn, self) {
    for (let i = 0; i < CALLS; i++) {
        const args = Array.from({ length: int(7) }, () => randomValue());
        try {
            fn.apply(self, args);
        } catch (error) {
            assert.ok(error instanceof Error, `${name} threw a non-Error: ${String(error)}`);
        }
    }
}

let display;
test.before(async () => {
    if (process.env.WITH_XVFB) {
        display = await require('./x11_display.js').startDisplay();
        process.env.DISPLAY = display.display;
    }
});
test.after(async () => display && display.stop());

test(`every export survives random arguments (seed ${SEED})`, () => {
    const plugin = require(process.env.RANDOM_VALUES_MODULE);
    const classes = (process.env.RANDOM_VALUES_CONSTRUCT || '').split(',').filter(Boolean);
    for (const [name, fn] of Object.entries(plugin)) {
        assert.strictEqual(typeof fn, 'function', `${name} is not a function`);
        hammer(name, fn, plugin);
        if (classes.includes(name)) {
            const instance = new fn();
            for (const method of Object.getOwnPropertyNames(fn.prototype)) {
                if (method !== 'constructor') {
                    hammer(`${name}.${method}`, instance[method], instance);
                }
            }
        }
    }
});
