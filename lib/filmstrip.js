'use strict';
const binding = require('./loader').loadPlugin('filmstrip');

exports.NativeScreenRecorder = binding.NativeScreenRecorder;
