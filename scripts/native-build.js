'use strict';
// Builds the package's native parts with the project's CMake build and puts them side by
// side in one folder: the three plug-ins and the three programs.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { platformTag, root } = require('../lib/loader');

const PARTS = ['filmstrip.node', 'desktop_info.node', 'backdrop.node',
               'input_relay', 'flow_probe', 'mouth_probe'];
const prebuildFolder = path.join(root, 'prebuilds', platformTag);

function run(command, args) {
    console.log(`> ${command} ${args.join(' ')}`);
    const result = spawnSync(command, args, { stdio: 'inherit' });
    if (result.error) {
        throw new Error(`cannot run ${command}: ${result.error.message}`);
    }
    if (result.status !== 0) {
        throw new Error(`${command} ${args[0]} failed with status ${result.status ?? result.signal}`);
    }
}

function hasAllParts(folder) {
    return PARTS.every((part) => fs.existsSync(path.join(folder, part)));
}

// Copies the parts of an existing build (its `package_parts` target built) into `folder`.
function installParts(buildDir, folder) {
    run('cmake', ['--install', buildDir, '--component', 'package', '--strip', '--prefix', folder]);
    if (!hasAllParts(folder)) {
        throw new Error(`${buildDir} lacks some of ${PARTS.join(', ')}`);
    }
}

// A Release build of the parts in `buildDir`, copied into `folder`.
function buildParts(buildDir, folder) {
    const ninja = spawnSync('ninja', ['--version']).status === 0;
    run('cmake', ['-S', root, '-B', buildDir, ...(ninja ? ['-G', 'Ninja'] : []),
                  '-DCMAKE_BUILD_TYPE=Release',
                  `-DNODE_ADDON_API_DIR=${path.resolve(require('node-addon-api').include_dir)}`,
                  `-DNODE_API_HEADERS_DIR=${require('node-api-headers').include_dir}`]);
    run('cmake', ['--build', buildDir, '--target', 'package_parts', '--parallel']);
    installParts(buildDir, folder);
}

module.exports = { PARTS, prebuildFolder, hasAllParts, installParts, buildParts };
