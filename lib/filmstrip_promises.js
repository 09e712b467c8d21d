'use strict';
const { NativeScreenRecorder } = require('./filmstrip');
const { withPromises } = require('./with_promises');

exports.NativeScreenRecorder = withPromises(NativeScreenRecorder);
