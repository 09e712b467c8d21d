'use strict';
// The recorder with promises in place of its error-first callbacks: each method resolves with
// what its callback would have been given and rejects with the very Error the callback would
// have received (its code and domain intact). A misfit argument, which the callback method
// throws as a TypeError, rejects the promise instead.

function settle(start) {
    return new Promise((resolve, reject) => {
        start((error, value) => (error ? reject(error) : resolve(value)));
    });
}

function withPromises(CallbackRecorder) {
    return class NativeScreenRecorder extends CallbackRecorder {
        startRecordingDisplay(displayID, outputPath, rect, options) {
            return settle((done) => super.startRecordingDisplay(displayID, outputPath, rect, options, done));
        }

        startRecordingWindow(windowID, outputPath, options) {
            return settle((done) => super.startRecordingWindow(windowID, outputPath, options, done));
        }

        stopRecording() {
            return settle((done) => super.stopRecording(done));
        }

        pauseRecording() {
            return settle((done) => super.pauseRecording(done));
        }

        resumeRecording() {
            return settle((done) => super.resumeRecording(done));
        }
    };
}

module.exports = { withPromises };
