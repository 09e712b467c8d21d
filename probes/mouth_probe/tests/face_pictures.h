#pragma once
// Pictures for the dlib engine's tests: the face photo scaled and placed on a textured ground.

#include <dlib/image_io.h>
#include <dlib/image_transforms.h>

#include <cstdint>
#include <vector>

namespace probes::testing {

using GreyArray = dlib::array2d<unsigned char>;

inline GreyArray facePhoto() {
    GreyArray photo;
    dlib::load_image(photo, FACE_PHOTO);
    return photo;
}

struct Placement {
    long left;
    long top;
    long width;  // of the photo; its face is about 40 % as wide
};

// A picture of `width` × `height`, textured so that every window has features to score, with the
// face photo scaled and placed as given.
inline GreyArray picture(long width, long height, const std::vector<Placement>& faces) {
    GreyArray frame(height, width);
    for (long r = 0; r < height; ++r) {
        for (long c = 0; c < width; ++c) {
            const auto noise = static_cast<std::uint32_t>(c * 2654435761U ^ r * 40503U);
            frame[r][c] = static_cast<unsigned char>(96 + (noise >> 13) % 64);
        }
    }
    const GreyArray photo = facePhoto();
    for (const Placement& face : faces) {
        GreyArray scaled(photo.nr() * face.width / photo.nc(), face.width);
        dlib::resize_image(photo, scaled);
        for (long r = 0; r < scaled.nr() && face.top + r < height; ++r) {
            for (long c = 0; c < scaled.nc() && face.left + c < width; ++c) {
                frame[face.top + r][face.left + c] = scaled[r][c];
            }
        }
    }
    return frame;
}

}  // namespace probes::testing
