// Build tool: packs dlib's face landmark model for fast loading by the mouth probe.
//   pack_face_model MODEL.dat PACKED
#include <exception>
#include <iostream>

#include "face_model_dlib.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: pack_face_model MODEL.dat PACKED\n";
        return 64;
    }
    try {
        probes::packFaceModel(argv[1], argv[2]);
    } catch (const std::exception& error) {
        std::cerr << "pack_face_model: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
