'use strict';
// Finds the native parts of this package and loads the plug-ins. A build made on this
// machine (build/Release, by the install script) wins over a prebuilt binary shipped for
// this platform and architecture (prebuilds/<platform>-<arch>/).
const fs = require('node:fs');
const path = require('node:path');
const { name: packageName } = require('../package.json');

const root = path.join(__dirname, '..');
const platformTag = `${process.platform}-${process.arch}`;
const searched = [path.join('build', 'Release'), path.join('prebuilds', platformTag)];

// Electron cannot load or run native files from inside an asar archive; packagers put them
// beside it in app.asar.unpacked.
function outsideAsar(file) {
    return file.replace(/\.asar([\\/])/, '.asar.unpacked$1');
}

function locate(kind, name, file) {
    for (const folder of searched) {
        const candidate = outsideAsar(path.join(root, folder, file));
        if (fs.existsSync(candidate)) {
            return candidate;
        }
    }
    throw new Error(
        `${packageName}: the ${kind} ${name} is not built for ${platformTag} ` +
            `(no ${file} in ${searched.join(' or ')} of ${outsideAsar(root)}); ` +
            `rebuild it on this machine with \`npm rebuild ${packageName}\``);
}

// What went wrong in a failed dlopen, in words: the usual causes first, the system's own
// text otherwise.
function loadFailure(message) {
    const missing = /([^\s:/]+\.so[.\d]*): cannot open shared object file/.exec(message) ||
        /Library not loaded: (\S+)/.exec(message);
    if (missing) {
        return `its native dependency ${missing[1]} is missing`;
    }
    if (/wrong ELF class|invalid ELF header|incompatible architecture/.test(message)) {
        return `it was built for another architecture or the file is damaged (${message})`;
    }
    return message;
}

function loadPlugin(name) {
    const file = locate('plug-in', name, `${name}.node`);
    const module = { exports: {} };
    try {
        process.dlopen(module, file);
    } catch (error) {
        throw new Error(`${packageName}: cannot load the ${name} plug-in (${file}): ` +
                            loadFailure(String(error.message)),
                        { cause: error });
    }
    return module.exports;
}

function programPath(name) {
    return locate('program', name, name);
}

module.exports = { loadPlugin, programPath, platformTag, root };
