'use strict';
// The three programs of the layer, as absolute paths for the host to spawn. Each path is
// looked up when it is read, so that a missing program fails where it is needed.
const { programPath } = require('./loader');

for (const name of ['input_relay', 'flow_probe', 'mouth_probe']) {
    Object.defineProperty(exports, name, { enumerable: true, get: () => programPath(name) });
}
