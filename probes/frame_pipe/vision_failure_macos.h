// The text of a failed Vision request for the probes' macOS engines (Objective-C++ only).
#pragma once

#import <Foundation/Foundation.h>

#include <string>

namespace probes {

// Never empty: a nil error, or one without a description, still says which request failed.
inline std::string visionFailure(NSError* error, const char* request) {
    const char* description = error.localizedDescription.UTF8String;
    if (description != nullptr && *description != '\0') {
        return description;
    }
    return std::string("Vision's ") + request + " request failed without saying why";
}

}  // namespace probes
