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

constexpr std::string_view MAGIC = "facepak1";

using Forests = std::vector<std::vector<dlib::impl::regression_tree>>;
using Anchors = std::vector<std::vector<unsigned long>>;
using Deltas = std::vector<std::vector<dlib::vector<float, 2>>>;

// dlib's shape predictor neither hands out its parts nor takes them without a deep copy (which
// would double the memory touched at start-up). An explicit instantiation may name private
// members, which gives both directions access to the four parts of the model.
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
    const std::vector<char>& data() const { return data_; }

  private:
    std::vector<char> data_;
};

class Reader {
  public:
    explicit Reader(std::string_view data) : data_(data) {}

    template <typename T>
    T get() {
        T value;
        std::memcpy(&value, take(sizeof value), sizeof value);
        return value;
    }
    void getFloats(float* into, std::size_t count) {
        std::memcpy(into, take(count * sizeof(float)), count * sizeof(float));
    }
    std::string_view getBytes(std::size_t count) { return {take(count), count}; }
    bool atEnd() const { return offset_ == data_.size(); }

  private:
    const char* take(std::size_t count) {
        if (count > data_.size() - offset_) {
            throw std::runtime_error("the packed face model is truncated");
        }
        const char* at = data_.data() + offset_;
        offset_ += count;
        return at;
    }

    std::string_view data_;
    std::size_t offset_ = 0;
};

void putMatrix(Writer& out, const dlib::matrix<float, 0, 1>& values) {
    out.put(static_cast<std::uint32_t>(values.size()));
    out.putFloats(&values(0), static_cast<std::size_t>(values.size()));
}

dlib::matrix<float, 0, 1> getMatrix(Reader& in) {
    dlib::matrix<float, 0, 1> values(in.get<std::uint32_t>());
    if (values.size() > 0) {
        in.getFloats(&values(0), static_cast<std::size_t>(values.size()));
    }
    return values;
}

void putTree(Writer& out, const dlib::impl::regression_tree& tree) {
    out.put(static_cast<std::uint32_t>(tree.splits.size()));
    for (const dlib::impl::split_feature& split : tree.splits) {
        out.put(static_cast<std::uint32_t>(split.idx1));
        out.put(static_cast<std::uint32_t>(split.idx2));
        out.put(split.thresh);
    }
    out.put(static_cast<std::uint32_t>(tree.leaf_values.size()));
    for (const dlib::matrix<float, 0, 1>& leaf : tree.leaf_values) {
        putMatrix(out, leaf);
    }
}

dlib::impl::regression_tree getTree(Reader& in) {
    dlib::impl::regression_tree tree;
    tree.splits.resize(in.get<std::uint32_t>());
    for (dlib::impl::split_feature& split : tree.splits) {
        split.idx1 = in.get<std::uint32_t>();
        split.idx2 = in.get<std::uint32_t>();
        split.thresh = in.get<float>();
    }
    tree.leaf_values.resize(in.get<std::uint32_t>());
    for (dlib::matrix<float, 0, 1>& leaf : tree.leaf_values) {
        leaf = getMatrix(in);
    }
    return tree;
}

void putPredictor(Writer& out, const dlib::shape_predictor& predictor) {
    const Forests& forests = predictor.*memberOf(ForestsOf{});
    const Anchors& anchors = predictor.*memberOf(AnchorsOf{});
    const Deltas& deltas = predictor.*memberOf(DeltasOf{});
    putMatrix(out, predictor.*memberOf(InitialShape{}));
    out.put(static_cast<std::uint32_t>(forests.size()));
    for (std::size_t cascade = 0; cascade < forests.size(); ++cascade) {
        out.put(static_cast<std::uint32_t>(anchors[cascade].size()));
        for (std::size_t i = 0; i < anchors[cascade].size(); ++i) {
            out.put(static_cast<std::uint32_t>(anchors[cascade][i]));
            out.put(deltas[cascade][i].x());
            out.put(deltas[cascade][i].y());
        }
        out.put(static_cast<std::uint32_t>(forests[cascade].size()));
        for (const dlib::impl::regression_tree& tree : forests[cascade]) {
            putTree(out, tree);
        }
    }
}

void getPredictor(Reader& in, dlib::shape_predictor& predictor) {
    predictor.*memberOf(InitialShape{}) = getMatrix(in);
    Forests& forests = predictor.*memberOf(ForestsOf{});
    Anchors& anchors = predictor.*memberOf(AnchorsOf{});
    Deltas& deltas = predictor.*memberOf(DeltasOf{});
    const std::size_t cascades = in.get<std::uint32_t>();
    forests.resize(cascades);
    anchors.resize(cascades);
    deltas.resize(cascades);
    for (std::size_t cascade = 0; cascade < cascades; ++cascade) {
        const std::size_t features = in.get<std::uint32_t>();
        anchors[cascade].resize(features);
        deltas[cascade].resize(features);
        for (std::size_t i = 0; i < features; ++i) {
            anchors[cascade][i] = in.get<std::uint32_t>();
            deltas[cascade][i].x() = in.get<float>();
            deltas[cascade][i].y() = in.get<float>();
        }
        forests[cascade].resize(in.get<std::uint32_t>());
        for (dlib::impl::regression_tree& tree : forests[cascade]) {
            tree = getTree(in);
        }
    }
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
        void* at = size_ > 0 ? ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0)
                             : MAP_FAILED;
        const int error = errno;
        ::close(fd);
        if (at == MAP_FAILED) {
            throw std::system_error(error, std::generic_category(), "cannot map " + path);
        }
        data_ = static_cast<const char*>(at);
    }
    ~MappedFile() { ::munmap(const_cast<char*>(data_), size_); }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    std::string_view bytes() const { return {data_, size_}; }

  private:
    const char* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace

void packFaceModel(const std::string& modelPath, const std::string& packedPath) {
    dlib::shape_predictor predictor;
    dlib::deserialize(modelPath) >> predictor;
    std::ostringstream detector;
    dlib::serialize(dlib::get_frontal_face_detector(), detector);

    Writer out;
    out.putBytes(MAGIC);
    putPredictor(out, predictor);
    out.put(static_cast<std::uint64_t>(detector.str().size()));
    out.putBytes(detector.str());

    std::ofstream file(packedPath, std::ios::binary | std::ios::trunc);
    file.write(out.data().data(), static_cast<std::streamsize>(out.data().size()));
    if (!file.flush()) {
        throw std::runtime_error("cannot write " + packedPath);
    }
}

FaceModel loadPackedFaceModel(const std::string& packedPath) {
    const MappedFile file(packedPath);
    Reader in(file.bytes());
    if (in.getBytes(MAGIC.size()) != MAGIC) {
        throw std::runtime_error(packedPath + " is not a packed face model");
    }
    FaceModel model;
    getPredictor(in, model.predictor);
    std::istringstream detector(std::string(in.getBytes(in.get<std::uint64_t>())));
    dlib::deserialize(model.detector, detector);
    if (!in.atEnd()) {
        throw std::runtime_error(packedPath + " has trailing bytes");
    }
    return model;
}

}  // namespace probes
