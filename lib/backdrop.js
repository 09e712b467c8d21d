'use strict';
const binding = require('./loader').loadPlugin('backdrop');

exports.initializeBackdrop = binding.initializeBackdrop;
exports.updateGlassRects = binding.updateGlassRects;
exports.removeAllBackdrops = binding.removeAllBackdrops;
