'use strict';
// npm's install step: the prebuilt parts shipped for this platform and architecture when the
// package has them, a Release build on this machine otherwise (or when npm is asked to build
// from source). The build needs CMake, a C++20 compiler and the system libraries the README
// lists.
const path = require('node:path');
const { root, platformTag } = require('../lib/loader');
const { prebuildFolder, hasAllParts, buildParts } = require('./native-build');

if (!process.env.npm_config_build_from_source && hasAllParts(prebuildFolder)) {
    console.log(`using the prebuilt native parts for ${platformTag}`);
} else {
    try {
        buildParts(path.join(root, 'build', 'cmake'), path.join(root, 'build', 'Release'));
    } catch (error) {
        console.error(`cannot build the native parts for ${platformTag}: ${error.message}`);
        process.exit(1);
    }
}
