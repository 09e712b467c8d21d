'use strict';
// Makes the prebuilt parts for the machine it runs on, in prebuilds/<platform>-<arch>/,
// which `npm pack` then ships:
//
//   node scripts/prebuild.js              a Release build of its own (in build/prebuild)
//   node scripts/prebuild.js BUILD_DIR    the parts of an existing build of this checkout
const path = require('node:path');
const { root } = require('../lib/loader');
const { prebuildFolder, installParts, buildParts } = require('./native-build');

const existing = process.argv[2];
try {
    if (existing) {
        installParts(path.resolve(existing), prebuildFolder);
    } else {
        buildParts(path.join(root, 'build', 'prebuild'), prebuildFolder);
    }
    console.log(`prebuilt parts in ${prebuildFolder}`);
} catch (error) {
    console.error(`prebuild: ${error.message}`);
    process.exit(1);
}
