#include "face_model_dlib.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <vector>

namespace probes {
namespace {

constexpr std::string_view MAGIC = "facepak2";
// Bounds a tree's depth so that node indices stay far from overflowing; dlib's models use 15.
constexpr std::uint32_t MAX_SPLITS = 1U << 16;

using Forests = std::vector<std::vector<dlib::impl::regression_tree>>;
using Anchors = std::vector<std::vector<unsigned long>>;
using Deltas = std::vector<std::vector<dlib::vector<float, 2>>>;

// dlib's shape predictor does not hand out its parts. An explicit instantiation may name private
// members, which lets the packer read the four parts of the model.
template <typename Tag, typename Tag::Member member>
struct MemberAccess {
    friend typename Tag::Member memberOf(Tag) { return member; }
};
struct InitialShape {
    using Member = dlib::matrix<float, 0, 1> dlib::shape_predictor::*;
    friend Member memberOf(InitialShape);
};
struct ForestsOf {
    using Member = Forests dlib::shape_predictor::*;
    friend Member memberOf(ForestsOf);
};
struct AnchorsOf {
    using Member = Anchors dlib::shape_predictor::*;
    friend Member memberOf(AnchorsOf);
};
struct DeltasOf {
    using Member = Deltas dlib::shape_predictor::*;
    friend Member memberOf(DeltasOf);
};
template struct MemberAccess<InitialShape, &dlib::shape_predictor::initial_shape>;
template struct MemberAccess<ForestsOf, &dlib::shape_predictor::forests>;
template struct MemberAccess<AnchorsOf, &dlib::shape_predictor::anchor_idx>;
template struct MemberAccess<DeltasOf, &dlib::shape_predictor::deltas>;

class Writer {
  public:
    template <typename T>
    void put(T value) {
        const auto* bytes = reinterpret_cast<const char*>(&value);
        data_.insert(data_.end(), bytes, bytes + sizeof value);
    }
    void putFloats(const float* values, std::size_t count) {
        const auto* bytes = reinterpret_cast<const char*>(values);
        data_.insert(data_.end(), bytes, bytes + count * sizeof(float));
    }
    void putBytes(std::string_view bytes) { data_.insert(data_.end(), bytes.begin(), bytes.end()); }
    std::vector<char> release() { return std::move(data_); }

  private:
    std::vector<char> data_;
};

class Reader {
  public:
    explicit Reader(std::string_view data) : data_(data) {}

    template <typename T>
    T get() {
        T value;
        std::memcpy(&value, take(1, sizeof value), sizeof value);
        return value;
    }
    void getFloats(float* into, std::size_t count) {
        std::memcpy(into, take(count, sizeof(float)), count * sizeof(float));
    }
    std::string_view getBytes(std::size_t count) { return {take(count, 1), count}; }
    // `count` values of T read where they lie, which must suit T's alignment.
    template <typename T>
    const T* getInPlace(std::uint64_t count) {
        const char* at = take(count, sizeof(T));
        if (reinterpret_cast<std::uintptr_t>(at) % alignof(T) != 0) {
            throw std::runtime_error("the packed face model is misaligned");
        }
        return reinterpret_cast<const T*>(at);
    }
    std::string_view rest() const { return data_.substr(offset_); }
    bool atEnd() const { return offset_ == data_.size(); }

  private:
    const char* take(std::uint64_t count, std::size_t size) {
        if (count > (data_.size() - offset_) / size) {
            throw std::runtime_error("the packed face model is truncated");
        }
        const char* at = data_.data() + offset_;
        offset_ += count * size;
        return at;
    }

    std::string_view data_;
    std::size_t offset_ = 0;
};

// The model's sizes, which every cascade and tree shares.
struct Shape {
    std::uint32_t shapeSize;  // two coordinates per landmark
    std::uint32_t cascades;
    std::uint32_t featuresPerCascade;
    std::uint32_t treesPerCascade;
    std::uint32_t splitsPerTree;

    std::uint64_t leavesPerTree() const { return std::uint64_t{splitsPerTree} + 1; }
};

Shape shapeOf(const dlib::shape_predictor& predictor) {
    const Forests& forests = predictor.*memberOf(ForestsOf{});
    const Anchors& anchors = predictor.*memberOf(AnchorsOf{});
    if (forests.empty() || forests.front().empty() || anchors.size() != forests.size()) {
        throw std::runtime_error("the landmark model has no forests");
    }
    const dlib::impl::regression_tree& first = forests.front().front();
    return {static_cast<std::uint32_t>((predictor.*memberOf(InitialShape{})).size()),
            static_cast<std::uint32_t>(forests.size()),
            static_cast<std::uint32_t>(anchors.front().size()),
            static_cast<std::uint32_t>(forests.front().size()),
            static_cast<std::uint32_t>(first.splits.size())};
}

// The packed form walks every tree at one stride, so every cascade and tree must share the
// first one's sizes, as dlib's trained models do.
void checkUniform(const dlib::shape_predictor& predictor, const Shape& shape) {
    const Forests& forests = predictor.*memberOf(ForestsOf{});
    const Anchors& anchors = predictor.*memberOf(AnchorsOf{});
    for (std::size_t cascade = 0; cascade < forests.size(); ++cascade) {
        bool uniform = anchors[cascade].size() == shape.featuresPerCascade &&
                       forests[cascade].size() == shape.treesPerCascade;
        for (const dlib::impl::regression_tree& tree : forests[cascade]) {
            uniform = uniform && tree.splits.size() == shape.splitsPerTree &&
                      tree.leaf_values.size() == shape.leavesPerTree();
            for (const dlib::matrix<float, 0, 1>& leaf : tree.leaf_values) {
                uniform = uniform && static_cast<std::uint64_t>(leaf.size()) == shape.shapeSize;
            }
        }
        if (!uniform) {
            throw std::runtime_error("the landmark model's trees differ in size");
        }
    }
}

void putFloats(Writer& out, const dlib::matrix<float, 0, 1>& values) {
    out.putFloats(&values(0), static_cast<std::size_t>(values.size()));
}

void putPredictor(Writer& out, const dlib::shape_predictor& predictor) {
    const Shape shape = shapeOf(predictor);
    checkUniform(predictor, shape);
    out.put(shape);
    putFloats(out, predictor.*memberOf(InitialShape{}));
    const Forests& forests = predictor.*memberOf(ForestsOf{});
    const Anchors& anchors = predictor.*memberOf(AnchorsOf{});
    const Deltas& deltas = predictor.*memberOf(DeltasOf{});
    for (std::size_t cascade = 0; cascade < forests.size(); ++cascade) {
        for (const unsigned long anchor : anchors[cascade]) {
            out.put(static_cast<std::uint32_t>(anchor));
        }
        for (const dlib::vector<float, 2>& delta : deltas[cascade]) {
            out.put(delta.x());
            out.put(delta.y());
        }
    }
    for (const std::vector<dlib::impl::regression_tree>& forest : forests) {
        for (const dlib::impl::regression_tree& tree : forest) {
            for (const dlib::impl::split_feature& split : tree.splits) {
                out.put(static_cast<std::uint32_t>(split.idx1));
                out.put(static_cast<std::uint32_t>(split.idx2));
                out.put(split.thresh);
            }
        }
    }
    for (const std::vector<dlib::impl::regression_tree>& forest : forests) {
        for (const dlib::impl::regression_tree& tree : forest) {
            for (const dlib::matrix<float, 0, 1>& leaf : tree.leaf_values) {
                putFloats(out, leaf);
            }
        }
    }
}

std::vector<char> packedBytes(const std::string& modelPath) {
    dlib::shape_predictor predictor;
    dlib::deserialize(modelPath) >> predictor;
    std::ostringstream detector;
    dlib::serialize(dlib::get_frontal_face_detector(), detector);

    Writer out;
    out.putBytes(MAGIC);
    putPredictor(out, predictor);
    out.put(static_cast<std::uint64_t>(detector.str().size()));
    out.putBytes(detector.str());
    return out.release();
}

// Packed bytes, `owner` keeping them alive, as the detector and the landmark model.
FaceModel faceModelFrom(std::shared_ptr<const void> owner, std::string_view bytes,
                        const std::string& name) {
    if (bytes.substr(0, MAGIC.size()) != MAGIC) {
        throw std::runtime_error(name + " is not a packed face model");
    }
    bytes.remove_prefix(MAGIC.size());
    FaceModel model;
    model.landmarks = std::make_unique<LandmarkModel>(std::move(owner), bytes);
    Reader in(bytes);
    std::istringstream detector(std::string(in.getBytes(in.get<std::uint64_t>())));
    dlib::deserialize(model.detector, detector);
    if (!in.atEnd()) {
        throw std::runtime_error(name + " has trailing bytes");
    }
    return model;
}

// The packed file mapped read-only, its pages read in at once rather than fault by fault.
class MappedFile {
  public:
    explicit MappedFile(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat status {};
        if (fd < 0 || ::fstat(fd, &status) != 0) {
            const int error = errno;
            if (fd >= 0) {
                ::close(fd);
            }
            throw std::system_error(error, std::generic_category(), "cannot open " + path);
        }
        size_ = static_cast<std::size_t>(status.st_size);
        if (size_ == 0) {  // nothing to map: read as no bytes
            ::close(fd);
            return;
        }
        void* at = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        const int error = errno;
        ::close(fd);
        if (at == MAP_FAILED) {
            throw std::system_error(error, std::generic_category(), "cannot map " + path);
        }
        data_ = static_cast<const char*>(at);
    }
    ~MappedFile() {
        if (size_ > 0) {
            ::munmap(const_cast<char*>(data_), size_);
        }
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    std::string_view bytes() const { return {data_, size_}; }

  private:
    const char* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace

LandmarkModel::LandmarkModel(std::shared_ptr<const void> owner, std::string_view& bytes)
    : owner_(std::move(owner)) {
    Reader in(bytes);
    const auto shape = in.get<Shape>();
    if (shape.shapeSize == 0 || shape.shapeSize % 2 != 0 || shape.cascades == 0 ||
        shape.treesPerCascade == 0 || shape.splitsPerTree == 0 ||
        shape.splitsPerTree > MAX_SPLITS) {
        throw std::runtime_error("the packed landmark model has impossible sizes");
    }
    initialShape_.set_size(shape.shapeSize);
    in.getFloats(&initialShape_(0), shape.shapeSize);
    pixels_.resize(shape.cascades);
    for (FeaturePixels& pixels : pixels_) {
        pixels.anchors.resize(shape.featuresPerCascade);
        for (unsigned long& anchor : pixels.anchors) {
            anchor = in.get<std::uint32_t>();
            if (anchor >= shape.shapeSize / 2) {
                throw std::runtime_error("the packed landmark model reads a missing landmark");
            }
        }
        pixels.deltas.resize(shape.featuresPerCascade);
        for (dlib::vector<float, 2>& delta : pixels.deltas) {
            delta.x() = in.get<float>();
            delta.y() = in.get<float>();
        }
    }
    treesPerCascade_ = shape.treesPerCascade;
    splitsPerTree_ = shape.splitsPerTree;
    const std::uint64_t trees = std::uint64_t{shape.cascades} * shape.treesPerCascade;
    splits_ = in.getInPlace<Split>(trees * shape.splitsPerTree);
    for (std::uint64_t i = 0; i < trees * shape.splitsPerTree; ++i) {
        if (splits_[i].idx1 >= shape.featuresPerCascade ||
            splits_[i].idx2 >= shape.featuresPerCascade) {
            throw std::runtime_error("the packed landmark model reads a missing feature");
        }
    }
    leaves_ = in.getInPlace<float>(trees * shape.leavesPerTree() * shape.shapeSize);
    bytes = in.rest();
}

dlib::full_object_detection LandmarkModel::operator()(const dlib::array2d<unsigned char>& image,
                                                      const dlib::rectangle& box) const {
    const long shapeSize = initialShape_.size();
    dlib::matrix<float, 0, 1> shape = initialShape_;
    std::vector<float> features;
    const Split* splits = splits_;
    const float* leaves = leaves_;
    for (const FeaturePixels& pixels : pixels_) {
        dlib::impl::extract_feature_pixel_values(image, box, shape, initialShape_, pixels.anchors,
                                                 pixels.deltas, features);
        for (std::uint32_t tree = 0; tree < treesPerCascade_; ++tree) {
            std::uint32_t node = 0;
            while (node < splitsPerTree_) {
                const Split& split = splits[node];
                node = features[split.idx1] - features[split.idx2] > split.thresh
                           ? dlib::impl::left_child(node)
                           : dlib::impl::right_child(node);
            }
            const float* leaf = leaves + std::size_t{node - splitsPerTree_} * shapeSize;
            for (long i = 0; i < shapeSize; ++i) {
                shape(i) += leaf[i];
            }
            splits += splitsPerTree_;
            leaves += std::size_t{splitsPerTree_ + 1} * shapeSize;
        }
    }
    const dlib::point_transform_affine toImage = dlib::impl::unnormalizing_tform(box);
    std::vector<dlib::point> parts(static_cast<std::size_t>(shapeSize / 2));
    for (std::size_t i = 0; i < parts.size(); ++i) {
        parts[i] = toImage(dlib::impl::location(shape, i));
    }
    return dlib::full_object_detection(box, parts);
}

void packFaceModel(const std::string& modelPath, const std::string& packedPath) {
    const std::vector<char> packed = packedBytes(modelPath);
    std::ofstream file(packedPath, std::ios::binary | std::ios::trunc);
    file.write(packed.data(), static_cast<std::streamsize>(packed.size()));
    if (!file.flush()) {
        throw std::runtime_error("cannot write " + packedPath);
    }
}

FaceModel loadPackedFaceModel(const std::string& packedPath) {
    auto file = std::make_shared<const MappedFile>(packedPath);
    const std::string_view bytes = file->bytes();
    return faceModelFrom(std::move(file), bytes, packedPath);
}

FaceModel loadDlibFaceModel(const std::string& modelPath) {
    auto packed = std::make_shared<const std::vector<char>>(packedBytes(modelPath));
    const std::string_view bytes(packed->data(), packed->size());
    return faceModelFrom(std::move(packed), bytes, modelPath);
}

}  // namespace probes
