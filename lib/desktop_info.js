'use strict';
const binding = require('./loader').loadPlugin('desktop_info');

exports.getWindowList = binding.getWindowList;
exports.getCurrentCursorType = binding.getCurrentCursorType;
exports.hasAccessibilityPermissions = binding.hasAccessibilityPermissions;
exports.requestAccessibilityPermissions = binding.requestAccessibilityPermissions;
exports.hasInputMonitoringPermissions = binding.hasInputMonitoringPermissions;
exports.requestInputMonitoringPermissions = binding.requestInputMonitoringPermissions;
